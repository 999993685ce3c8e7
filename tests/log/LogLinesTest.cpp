#include "log/LogLines.h"

#include <gtest/gtest.h>

#include "log/Summary.h"

namespace vorla {
namespace {

TEST(LogLines, EventTextsHaveTheirFixedForms) {
    const TDateTime date = EncodeDateTime(2026, 12, 7, 12, 22, 26);  // a Monday
    const std::pair<std::string, std::string> cases[] = {
        {MessageEventText("box", kCategoryAccepted, "Filter: x", date, "a@b.c", "Hi"),
         "box\tAccepted - (Filter: x) Date: Mon, 07 Dec 2026 12:22:26 From: a@b.c Subject: Hi"},
        {MessageEventText("box", kCategoryQuarantined, std::nullopt, date, "a@b.c", "Hi"),
         "box\tQuarantined - Date: Mon, 07 Dec 2026 12:22:26 From: a@b.c Subject: Hi"},
        {MessageEventText("box", kCategoryRedirected, "other", date, "Name", "Hi", "To: "),
         "box\tRedirected - (other) Date: Mon, 07 Dec 2026 12:22:26 To: Name Subject: Hi"},
        {ErrorEventText("box", "connect failed\r\nreason"), "box\tError - box - connect failed reason"},
        {AutoReplyErrorEventText("box", kAutoReplyAway, "x"), "box\tError - Auto Reply - Away - x"},
        {AutoReplyEventText("box", kAutoReplyRejected, "a@b.c"), "box\tAutoReply - Rejected - To: a@b.c"},
        {MailbotEventText("box", "a@b.c"), "box\tMailbot - box - To: a@b.c"},
        {QueuedEventText("box", "a@b.c"), "box\tQueued - box - To: a@b.c"},
        {AddFilterEventText("box", "1.2.3.4"), "box\tAddFilter - (1.2.3.4) "},
        {StatusEventText(kServiceVorla, "", "Vorla v1.0 initiated"), "\tVORLA\t\tVorla v1.0 initiated"},
        {FormatStatusLine(date, StatusEventText(kServiceSend, "box", "Error: a\r\nb")),
         "07 Dec 2026 12:22:26 \tSEND\tbox\tError: a b"},
        {FormatLogLine(date, "box\tOk"), "07 Dec 2026 12:22:26\tbox\tOk"},
    };
    for (const auto& [built, expected] : cases) {
        SCOPED_TRACE(expected);
        EXPECT_EQ(built, expected);
    }
}

TEST(LogLines, FieldsOfALine) {
    struct TCase {
        std::string line;
        bool dated;
        std::string day, account, category;
    };
    const TCase cases[] = {
        {"07 Dec 2026 12:22:26\tbox\tAccepted - (x) Date: y", true, "07", "box", "Accepted"},
        {"07 Dec 2026 12:22:26\tMy Box\tTrashed - (x)", true, "07", "My Box", "Trashed"},
        {"07 Dec 2026 12:22:26\t\tRejected - x", true, "07", "", "Rejected"},
        {"07 Dec 2026 12:22:26\tError - no account", true, "07", "Error", "Error"},
        {"07 Dec 2026 12:22:26\tbox\tfine - Accepted", true, "07", "box", ""},
        {"07 Dec 2026 12:22:26 box Mailbot", true, "07", "box", "Mailbot"},
        {"07 Dec 2026 12:22:26\taccepted\tx", true, "07", "accepted", ""},  // exact comparison
        {"31 Feb 2026 12:22:26\tbox\tAccepted", false, "31", "box", "Accepted"},
        {"07 Dec 20", false, "07", "", ""},
        {"", false, "", "", ""},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.line);
        const TLogFields f = ParseLogFields(c.line);
        EXPECT_EQ(f.dated, c.dated);
        EXPECT_EQ(f.day, c.day);
        EXPECT_EQ(f.account, c.account);
        EXPECT_EQ(f.category, c.category);
    }
}

}  // namespace
}  // namespace vorla
