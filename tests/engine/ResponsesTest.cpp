#include "engine/Responses.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <regex>
#include <sstream>

#include "engine/EventQueue.h"
#include "engine/Zivad.h"
#include "engine/ZivadAccount.h"
#include "engine/ZivadAccounts.h"
#include "log/LogLines.h"
#include "log/ZivadLog.h"
#include "mail/MailMessage.h"
#include "mail/MessageStore.h"
#include "platform/DateTime.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Home.h"
#include "platform/TempFolder.h"
#include "support/TempDir.h"

namespace vorla {
namespace {

using test::ReadFile;
using test::TTempDir;
using test::WriteFile;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr char kIncoming[] =
    "Received: from mx.example.org ([192.0.2.7]) by mail.example.com\r\n"
    "From: Ann Smith <ann@example.org>\r\n"
    "To: Me <me@example.com>\r\n"
    "Subject: Hello\r\n"
    "Date: Mon, 07 Dec 2026 12:22:26 +0100\r\n"
    "\r\n"
    "Body line\r\n";

// Replaces the first header line of that name (or adds the line when name is empty or absent).
std::string WithHeader(const std::string& message, const std::string& name, const std::string& line) {
    std::string text = message;
    const std::size_t end = text.find("\r\n\r\n");
    if (!name.empty()) {
        const std::size_t at = text.find("\r\n" + name + ":");
        if (at != std::string::npos && at < end) {
            const std::size_t lineEnd = text.find("\r\n", at + 2);
            return text.replace(at + 2, lineEnd - at - 2, line);
        }
    }
    return text.insert(end + 2, line + "\r\n");
}

std::unique_ptr<TMailMessage> Mail(const std::string& text) {
    auto message = std::make_unique<TMailMessage>();
    message->LoadFromMailText(text);
    return message;
}

std::vector<std::string> HeaderLines(const std::string& fileText) {
    std::vector<std::string> lines;
    std::istringstream in(fileText);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) break;
        lines.push_back(line);
    }
    return lines;
}

int CountPrefixed(const std::vector<std::string>& lines, const std::string& prefix) {
    int n = 0;
    for (const std::string& line : lines)
        if (line.rfind(prefix, 0) == 0) ++n;
    return n;
}

// Every test gets its own home with an account list of two accounts, "Work" (the one that
// responds) and "Bob", and a log file.
class ResponsesTest : public ::testing::Test {
protected:
    ResponsesTest() {
        SetHomeFolder(m_home.Path());
        ForceDirectories(m_home / "tmp/");
        SetPrivateTempFolder(m_home / "tmp/");
        m_list = std::make_unique<TZivadAccounts>(nullptr, m_home / "accounts/");
        m_work = &m_list->Add("work");
        m_work->Edit([&](TAccountSettings& s) {
            s.name = "Work";
            s.email = "me@example.com";
            s.awayText = "Away line one\r\nAway line two\r\n";
            s.rejectText = "Rejected, sorry.\r\n";
        });
        m_bob = &m_list->Add("bob");
        m_bob->Edit([&](TAccountSettings& s) {
            s.name = "Bob";
            s.email = "bob@example.org";
        });
        m_log = std::make_unique<TZivadLog>(m_home / "vorla.log");
    }
    ~ResponsesTest() override {
        m_list.reset();
        SetPrivateTempFolder("");
        SetHomeFolder("");
    }

    // The event texts of the log, oldest first, without their time stamps.
    std::vector<std::string> LogEvents() const {
        std::vector<std::string> events;
        if (!FileExists(m_log->FileName())) return events;
        std::istringstream in(ReadFile(m_log->FileName()));
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            const std::size_t tab = line.find('\t');
            events.push_back(tab == std::string::npos ? line : line.substr(tab + 1));
        }
        return events;
    }

    static std::string FileOf(TZivadMessageCollection& folder, int i) {
        return ReadFile(folder.Item(i)->FileName());
    }
    static std::unique_ptr<TMailMessage> Stored(TZivadMessageCollection& folder, int i,
                                                TLoadMode mode = TLoadMode::Raw) {
        auto message = std::make_unique<TMailMessage>();
        message->LoadMode = mode;
        message->LoadFromFile(folder.Item(i)->FileName());
        return message;
    }
    TZivadMessageItem& Store(TZivadMessageCollection& folder, const std::string& text) {
        auto message = Mail(text);
        TZivadMessageItem& item = folder.AddMessage(*message, "");
        item.Release();
        return item;
    }
    // Makes the folder unwritable whoever runs the test: it becomes a plain file.
    static void BreakFolder(TZivadMessageCollection& folder) {
        std::string path = folder.Folder();
        DeleteTree(path);
        path.pop_back();
        WriteFile(path, "not a folder");
    }

    TTempDir m_home;
    std::unique_ptr<TZivadAccounts> m_list;
    TZivadAccount* m_work = nullptr;
    TZivadAccount* m_bob = nullptr;
    std::unique_ptr<TZivadLog> m_log;
};

// --- away and rejection replies ------------------------------------------------------------

TEST_F(ResponsesTest, AwayAndRejectionRepliesFollowTheReplyPattern) {
    struct Row {
        bool away;
        const char* subject;
        const char* replySubject;
    } rows[] = {
        {true, "Hello", "Re: Hello"},
        {true, "", "Away"},
        {false, "Hello", "Re: Hello"},
        {false, "", "Email rejected"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.away ? "away, " : "rejection, ") + "subject \"" + row.subject + "\"");
        m_work->QueueFolder().Reload();
        const auto incoming = Mail(WithHeader(kIncoming, "Subject", std::string("Subject: ") + row.subject));
        const bool queued = row.away ? AwayReply(*m_work, *m_log, *incoming) : RejectionReply(*m_work, *m_log, *incoming);
        EXPECT_TRUE(queued);
        ASSERT_EQ(m_work->QueueFolder().Count(), 1);

        const std::string file = FileOf(m_work->QueueFolder(), 0);
        const auto reply = Stored(m_work->QueueFolder(), 0);
        EXPECT_EQ(reply->Subject, row.replySubject);
        ASSERT_EQ(reply->Recipients.Count(), 1u);
        EXPECT_EQ(reply->Recipients[0].Name, "Ann Smith");
        EXPECT_EQ(reply->Recipients[0].Address, "ann@example.org");
        EXPECT_EQ(reply->From.Text(), "Vorla <me@example.com>");
        EXPECT_EQ(reply->ContentType, "text/plain");
        EXPECT_NEAR(reply->Date, Now(), 2.0 / 86400);
        if (row.away) {
            EXPECT_THAT(reply->Body, ElementsAre("Away line one", "Away line two"));
        } else {
            EXPECT_THAT(reply->Body, ElementsAre("Rejected, sorry."));
        }
        const auto headers = HeaderLines(file);
        EXPECT_EQ(CountPrefixed(headers, "To: "), 1);
        EXPECT_EQ(CountPrefixed(headers, "Auto-Submitted: auto-replied"), 1);
        EXPECT_EQ(CountPrefixed(headers, "Received:"), 0);  // replies carry no stamp
        EXPECT_EQ(CountPrefixed(headers, "Message-ID:"), 0);

        const std::string kind = row.away ? "Away" : "Rejected";
        EXPECT_EQ(LogEvents().back(), "Work\tAutoReply - " + kind + " - To: ann@example.org");
        m_work->QueueFolder().Item(0)->Deleted = true;
        m_work->QueueFolder().Purge();
    }
    EXPECT_EQ(LogEvents().size(), 4u);
}

TEST_F(ResponsesTest, AMessageWithoutAReplyAddressGetsOneErrorLineAndNoReply) {
    struct Row {
        const char* from;
    } rows[] = {{"From: "}, {"From: Ann Smith"}, {"From: <>"}, {""}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.from);
        for (const bool away : {true, false}) {
            const std::string text = *row.from ? WithHeader(kIncoming, "From", row.from)
                                               : std::regex_replace(std::string(kIncoming), std::regex("From: [^\r]*\r\n"), "");
            const auto incoming = Mail(text);
            const std::size_t before = LogEvents().size();
            EXPECT_FALSE(away ? AwayReply(*m_work, *m_log, *incoming) : RejectionReply(*m_work, *m_log, *incoming));
            EXPECT_EQ(m_work->QueueFolder().Count(), 0);
            const auto events = LogEvents();
            ASSERT_EQ(events.size(), before + 1);
            EXPECT_EQ(events.back(), std::string("Work\tError - Auto Reply - ") + (away ? "Away" : "Rejected") +
                                         " - Reply address invalid.");
        }
    }
    EXPECT_THAT(FindFiles(m_work->QueueFolder().Folder(), "*"), IsEmpty());
}

TEST_F(ResponsesTest, AQueueThatCannotBeWrittenBecomesAnErrorLine) {
    BreakFolder(m_work->QueueFolder());
    const auto incoming = Mail(kIncoming);
    EXPECT_FALSE(AwayReply(*m_work, *m_log, *incoming));
    EXPECT_FALSE(RejectionReply(*m_work, *m_log, *incoming));
    EXPECT_EQ(m_work->QueueFolder().Count(), 0);
    const auto events = LogEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].rfind("Work\tError - Auto Reply - Away - ", 0), 0u) << events[0];
    EXPECT_EQ(events[1].rfind("Work\tError - Auto Reply - Rejected - ", 0), 0u) << events[1];
    EXPECT_EQ(events[0].find("Reply address invalid"), std::string::npos);
}

// --- loop protection -----------------------------------------------------------------------

struct TLoopRow {
    const char* name;    // field replaced ("" adds the line)
    const char* line;
    bool automatic;
};
const TLoopRow kLoopRows[] = {
    {"", "Auto-Submitted: auto-replied", true},
    {"", "Auto-Submitted: auto-generated; owner-email=\"x@example.org\"", true},
    {"", "AUTO-SUBMITTED: Auto-Notified", true},
    {"", "Auto-Submitted: no", false},
    {"", "Auto-Submitted: No (sent by a person)", false},
    {"", "Precedence: bulk", true},
    {"", "Precedence: List", true},
    {"", "precedence: junk", true},
    {"", "Precedence: first-class", false},
    {"", "List-Id: Friends <friends.lists.example.org>", true},
    {"", "Return-Path: <>", true},
    {"", "Return-Path: < >", true},
    {"", "Return-Path: <ann@example.org>", false},
    {"From", "From: MAILER-DAEMON@example.org", true},
    {"From", "From: Mail Delivery System <Mailer-Daemon@mx.example.org>", true},
    {"From", "From: postmaster@example.org", true},
    {"From", "From: POSTMASTER <PostMaster@example.org>", true},
    {"From", "From: postmaster-fan@example.org", false},
    {"From", "From: Postmaster <ann@example.org>", false},  // only the address counts
};

TEST_F(ResponsesTest, AutomaticMessagesAreRecognisedByTheirHeader) {
    for (const TLoopRow& row : kLoopRows) {
        SCOPED_TRACE(row.line);
        EXPECT_EQ(IsAutomaticMessage(*Mail(WithHeader(kIncoming, row.name, row.line))), row.automatic);
    }
    EXPECT_FALSE(IsAutomaticMessage(*Mail(kIncoming)));
}

TEST_F(ResponsesTest, NoReplyOfAnyKindGoesToAnAutomaticMessage) {
    m_work->AddMailbot("Hello", "Mailbot text");
    for (const TLoopRow& row : kLoopRows) {
        SCOPED_TRACE(row.line);
        const std::string text = WithHeader(kIncoming, row.name, row.line);
        const auto incoming = Mail(text);
        const std::size_t logBefore = LogEvents().size();
        const int queueBefore = m_work->QueueFolder().Count();

        const bool away = AwayReply(*m_work, *m_log, *incoming);
        const bool rejection = RejectionReply(*m_work, *m_log, *incoming);
        TZivadMessageItem& request = Store(m_work->VorlaFolder(), text);
        const int mailbot = MailbotReply(*m_work, *m_log, request);

        EXPECT_EQ(away, !row.automatic);
        EXPECT_EQ(rejection, !row.automatic);
        EXPECT_EQ(mailbot, row.automatic ? 0 : 1);
        EXPECT_EQ(request.Deleted, !row.automatic);  // an unanswered request stays for the reader
        const int expected = row.automatic ? 0 : 3;
        EXPECT_EQ(m_work->QueueFolder().Count() - queueBefore, expected);
        EXPECT_EQ(LogEvents().size() - logBefore, static_cast<std::size_t>(expected));
        for (std::size_t i = logBefore; i < LogEvents().size(); ++i)
            EXPECT_EQ(LogEvents()[i].find("Error"), std::string::npos) << LogEvents()[i];
    }
    // Every reply that went out says it is automatic itself.
    for (int i = 0; i < m_work->QueueFolder().Count(); ++i)
        EXPECT_TRUE(IsAutomaticMessage(*Stored(m_work->QueueFolder(), i))) << i;
}

// --- header injection ----------------------------------------------------------------------

TEST_F(ResponsesTest, TextsFromTheIncomingMailCannotAddHeaderLines) {
    struct Row {
        const char* name;
        const char* line;
    } rows[] = {
        {"Subject", "Subject: =?utf-8?q?Hi=0D=0ABcc:_victim@evil.example?="},
        {"Subject", "Subject: =?utf-8?q?Hi=0ABcc:_victim@evil.example=0D=0A=0D=0Abody?="},
        {"From", "From: =?utf-8?q?Ann=0D=0ABcc:_victim@evil.example?= <ann@example.org>"},
        {"From", "From: \"Ann\r\n Bcc: victim@evil.example\" <ann@example.org>"},
    };
    m_work->AddMailbot("Hi\r\nBcc: victim@evil.example", "bot text");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        const auto incoming = Mail(WithHeader(kIncoming, row.name, row.line));
        const int before = m_work->QueueFolder().Count();
        ASSERT_TRUE(AwayReply(*m_work, *m_log, *incoming));
        ASSERT_TRUE(RejectionReply(*m_work, *m_log, *incoming));
        // A mailbot whose subject holds the same line break answers too, if the subject comes
        // through decoding with it; its reply must be as clean.
        MailbotReply(*m_work, *m_log, Store(m_work->VorlaFolder(), WithHeader(kIncoming, row.name, row.line)));
        for (int i = before; i < m_work->QueueFolder().Count(); ++i) {
            const auto headers = HeaderLines(FileOf(m_work->QueueFolder(), i));
            EXPECT_EQ(CountPrefixed(headers, "Bcc:"), 0);
            EXPECT_EQ(CountPrefixed(headers, " Bcc:"), 0);
            EXPECT_EQ(CountPrefixed(headers, "Subject:"), 1);
            EXPECT_EQ(CountPrefixed(headers, "To:"), 1);
            const auto reply = Stored(m_work->QueueFolder(), i);
            EXPECT_EQ(reply->Subject.find_first_of("\r\n"), std::string::npos);
            EXPECT_EQ(reply->Recipients[0].Name.find_first_of("\r\n"), std::string::npos);
            EXPECT_EQ(reply->Recipients[0].Address, "ann@example.org");
            EXPECT_THAT(reply->Body, ::testing::Not(IsEmpty()));
        }
    }
}

// --- away reply with mark ------------------------------------------------------------------

TEST_F(ResponsesTest, AwayReplyWithMarkAddsTheDayCountToTheStoredMessage) {
    auto incoming = Mail(kIncoming);
    TZivadMessageItem& item = m_work->VorlaFolder().AddMessage(*incoming, "accepted");
    const std::string before = FileOf(m_work->VorlaFolder(), 0);
    const double now = Now();
    ASSERT_TRUE(AwayReplyWithMark(*m_work, *m_log, item));

    ASSERT_EQ(m_work->QueueFolder().Count(), 1);
    EXPECT_EQ(Stored(m_work->QueueFolder(), 0)->Subject, "Re: Hello");
    EXPECT_THAT(LogEvents(), ElementsAre("Work\tAutoReply - Away - To: ann@example.org"));

    const std::string after = FileOf(m_work->VorlaFolder(), 0);
    const auto headers = HeaderLines(after);
    ASSERT_EQ(CountPrefixed(headers, "AutoAwayReply: "), 1);
    std::smatch match;
    const std::string mark = headers.back();
    ASSERT_TRUE(std::regex_match(mark, match, std::regex(R"(AutoAwayReply: (\d+(\.\d+)?))"))) << mark;
    std::string digits = match[1].str();
    std::erase(digits, '.');
    EXPECT_LE(digits.size(), 15u);
    EXPECT_NEAR(std::strtod(match[1].str().c_str(), nullptr), now, 5.0 / 86400);
    // Everything else stays as it was: the mark is one more header line.
    std::string unmarked = after;
    unmarked.erase(unmarked.find(mark), mark.size() + 2);
    EXPECT_EQ(unmarked, before);
}

TEST_F(ResponsesTest, AwayReplyWithMarkLeavesUnansweredMessagesUnmarked) {
    struct Row {
        const char* name;
        const char* line;
        bool errorLine;
    } rows[] = {{"", "Precedence: bulk", false}, {"From", "From: Ann Smith", true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        auto incoming = Mail(WithHeader(kIncoming, row.name, row.line));
        TZivadMessageItem& item = m_work->VorlaFolder().AddMessage(*incoming, "accepted");
        const int index = item.Index();
        const std::string before = FileOf(m_work->VorlaFolder(), index);
        const std::size_t logBefore = LogEvents().size();
        EXPECT_FALSE(AwayReplyWithMark(*m_work, *m_log, item));
        EXPECT_EQ(FileOf(m_work->VorlaFolder(), index), before);
        EXPECT_EQ(m_work->QueueFolder().Count(), 0);
        EXPECT_EQ(LogEvents().size() - logBefore, row.errorLine ? 1u : 0u);
    }
}

TEST_F(ResponsesTest, AMarkThatCannotBeSavedIsPassedOnAndTheReplyStaysQueued) {
    auto incoming = Mail(kIncoming);
    TZivadMessageItem& item = m_work->VorlaFolder().AddMessage(*incoming, "accepted");
    const std::string path = item.FileName();
    // The stored file turns into a folder: it can be neither read nor replaced.
    DeleteFile(path);
    ForceDirectories(path + "/");
    item.Message().Clear();
    item.Message().LoadFromMailText(kIncoming);
    EXPECT_THROW(AwayReplyWithMark(*m_work, *m_log, item), TFileError);
    EXPECT_EQ(m_work->QueueFolder().Count(), 1);
    EXPECT_TRUE(DirectoryExists(path + "/"));
}

// --- mailbot -------------------------------------------------------------------------------

TEST_F(ResponsesTest, MailbotReplyAttachesTheFilesAndNamesTheMissingOne) {
    const std::string files = m_home / "files/";
    ForceDirectories(files);
    WriteFile(files + "price list.txt", "apples 3\r\npears 4\r\n");
    std::string binary;
    for (int i = 0; i < 600; ++i) binary += static_cast<char>(i * 7);
    WriteFile(files + "logo.bin", binary);
    m_work->AddMailbot("send info", "Here you go.\r\nRegards",
                       {files + "price list.txt", files + "gone.pdf", files + "logo.bin"});

    TZivadMessageItem& request = Store(m_work->VorlaFolder(), WithHeader(kIncoming, "Subject", "Subject: send info"));
    EXPECT_EQ(MailbotReply(*m_work, *m_log, request), 1);
    EXPECT_TRUE(request.Deleted);
    EXPECT_THAT(LogEvents(), ElementsAre("Work\tMailbot - Work - To: ann@example.org"));
    ASSERT_EQ(m_work->QueueFolder().Count(), 1);

    const auto reply = Stored(m_work->QueueFolder(), 0, TLoadMode::Decoded);
    EXPECT_EQ(reply->Subject, "Re: send info");
    EXPECT_EQ(reply->Recipients.Text(), "Ann Smith <ann@example.org>");
    EXPECT_EQ(reply->From.Text(), "Vorla <me@example.com>");
    EXPECT_TRUE(IsAutomaticMessage(*reply));
    std::vector<std::string> text;
    std::vector<std::pair<std::string, std::string>> attachments;
    for (const std::string& line : reply->Body) text.push_back(line);
    for (const TMessagePart& part : reply->MessageParts) {
        if (const auto* t = std::get_if<TTextPart>(&part)) text.insert(text.end(), t->Body.begin(), t->Body.end());
        if (const auto* a = std::get_if<TAttachmentPart>(&part))
            attachments.emplace_back(a->FileName, ReadFileBytes(a->StoredPath));
    }
    EXPECT_THAT(text, ElementsAre("Here you go.", "Regards", "File not found: " + files + "gone.pdf"));
    ASSERT_EQ(attachments.size(), 2u);
    EXPECT_EQ(attachments[0].first, "price list.txt");
    EXPECT_EQ(attachments[0].second, "apples 3\r\npears 4\r\n");
    EXPECT_EQ(attachments[1].first, "logo.bin");
    EXPECT_EQ(attachments[1].second, binary);
}

TEST_F(ResponsesTest, MailbotWithoutTextAndAMissingFileRepliesWithTheNoteAlone) {
    m_work->AddMailbot("info", {}, {"/nowhere/manual.pdf"});
    TZivadMessageItem& request = Store(m_work->VorlaFolder(), WithHeader(kIncoming, "Subject", "Subject: info"));
    EXPECT_EQ(MailbotReply(*m_work, *m_log, request), 1);
    const auto reply = Stored(m_work->QueueFolder(), 0);
    EXPECT_THAT(reply->Body, ElementsAre("File not found: /nowhere/manual.pdf"));
    EXPECT_THAT(reply->MessageParts, IsEmpty());
}

TEST_F(ResponsesTest, MailbotSubjectsMatchExactlyAndEveryMatchingMailbotAnswers) {
    m_work->AddMailbot("price", "first");
    m_work->AddMailbot("Price", "other case");
    m_work->AddMailbot("price", "second");
    m_work->AddMailbot("price ", "trailing blank");
    struct Row {
        const char* subject;
        std::vector<std::string> bodies;
    } rows[] = {
        {"price", {"first", "second"}},
        {"Price", {"other case"}},
        {"PRICE", {}},
        {"Re: price", {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.subject);
        m_work->QueueFolder().Reload();
        const int before = m_work->QueueFolder().Count();
        const std::size_t logBefore = LogEvents().size();
        TZivadMessageItem& request =
            Store(m_work->VorlaFolder(), WithHeader(kIncoming, "Subject", std::string("Subject: ") + row.subject));
        EXPECT_EQ(MailbotReply(*m_work, *m_log, request), static_cast<int>(row.bodies.size()));
        EXPECT_EQ(request.Deleted, !row.bodies.empty());
        ASSERT_EQ(m_work->QueueFolder().Count() - before, static_cast<int>(row.bodies.size()));
        for (std::size_t i = 0; i < row.bodies.size(); ++i) {
            const auto reply = Stored(m_work->QueueFolder(), before + static_cast<int>(i));
            EXPECT_THAT(reply->Body, ElementsAre(row.bodies[i]));
            EXPECT_EQ(reply->Subject, std::string("Re: ") + row.subject);
        }
        EXPECT_EQ(LogEvents().size() - logBefore, row.bodies.size());
    }
}

TEST_F(ResponsesTest, MailbotRequestWithoutReplyAddressLogsOnceForEachMatchingMailbot) {
    m_work->AddMailbot("info");
    m_work->AddMailbot("info");
    TZivadMessageItem& request =
        Store(m_work->VorlaFolder(), WithHeader(WithHeader(kIncoming, "Subject", "Subject: info"), "From", "From: x"));
    EXPECT_EQ(MailbotReply(*m_work, *m_log, request), 0);
    EXPECT_FALSE(request.Deleted);
    EXPECT_EQ(m_work->QueueFolder().Count(), 0);
    EXPECT_THAT(LogEvents(), ElementsAre("Work\tError - Work - Mailbot - Reply address invalid.",
                                         "Work\tError - Work - Mailbot - Reply address invalid."));
}

TEST_F(ResponsesTest, AMailbotReplyThatCannotBeWrittenEndsTheHandlingAndLeavesNoItem) {
    m_work->AddMailbot("info", "one");
    m_work->AddMailbot("info", "two");
    TZivadMessageItem& request = Store(m_work->VorlaFolder(), WithHeader(kIncoming, "Subject", "Subject: info"));
    BreakFolder(m_work->QueueFolder());
    EXPECT_EQ(MailbotReply(*m_work, *m_log, request), 0);
    EXPECT_FALSE(request.Deleted);
    EXPECT_EQ(m_work->QueueFolder().Count(), 0);
    const auto events = LogEvents();
    ASSERT_EQ(events.size(), 1u);  // the second mailbot is not tried
    EXPECT_EQ(events[0].rfind("Work\tError - Work - Mailbot - ", 0), 0u) << events[0];
    EXPECT_EQ(events[0].find_first_of("\r\n"), std::string::npos);
}

TEST_F(ResponsesTest, MailbotShowsItsProgressInTheStatusBar) {
    TEventQueue queue(TEventQueue::TClockMode::Manual);
    TZivad engine(queue);
    TZivadAccount& account = engine.Accounts().Add("bot");
    account.Edit([&](TAccountSettings& s) {
        s.name = "Bot";
        s.email = "bot@example.com";
    });
    account.AddMailbot("info", "text");
    std::vector<std::string> shown;
    engine.OnStatusText.Set([&](const std::string& text) { shown.push_back(text); });
    TZivadMessageItem& request = Store(account.VorlaFolder(), WithHeader(kIncoming, "Subject", "Subject: info"));
    EXPECT_EQ(MailbotReply(account, engine.Log(), request), 1);
    EXPECT_THAT(shown, ElementsAre("Sending mailbot reply (info)", ""));
}

// --- redirection ---------------------------------------------------------------------------

constexpr char kToBob[] =
    "Received: from mx.example.org ([192.0.2.7]) by mail.example.com\r\n"
    "Received: from client ([198.51.100.1]) by mx.example.org\r\n"
    "From: Ann Smith <ann@example.org>\r\n"
    "To: BOB <bob@example.org>, Work <me@example.com>\r\n"
    "Cc: Carl <carl@example.org>\r\n"
    "Subject: Hello\r\n"
    "Date: Mon, 07 Dec 2026 12:22:26 +0100\r\n"
    "Message-ID: <1@example.org>\r\n"
    "\r\n"
    "Body line\r\n";

TEST_F(ResponsesTest, RedirectByDisplayNameCopiesIntoTheNamedAccountsVorlaFolder) {
    m_work->Edit([&](TAccountSettings& s) { s.nameredirect = true; });
    Store(m_work->VorlaFolder(), kToBob);
    EXPECT_EQ(RedirectMessage(*m_work, *m_log, m_work->VorlaFolder(), 0), 1);

    // The Work entry names the account itself: its own vorla folder gets no second copy.
    EXPECT_EQ(m_work->VorlaFolder().Count(), 1);
    EXPECT_EQ(m_work->QueueFolder().Count(), 0);
    ASSERT_EQ(m_bob->VorlaFolder().Count(), 1);
    const auto headers = HeaderLines(FileOf(m_bob->VorlaFolder(), 0));
    EXPECT_EQ(headers[0].rfind("Received: redirected by Vorla; ", 0), 0u) << headers[0];
    EXPECT_EQ(headers[1], "Received: from mx.example.org ([192.0.2.7]) by mail.example.com");
    const auto copy = Stored(m_bob->VorlaFolder(), 0);
    EXPECT_EQ(copy->Subject, "Hello");
    EXPECT_EQ(copy->From.Text(), "Ann Smith <ann@example.org>");
    EXPECT_EQ(CountPrefixed(headers, "Message-ID: <1@example.org>"), 1);
    EXPECT_THAT(copy->Body, ElementsAre("Body line"));

    const std::string date = FormatDateTime(kMessageDateFormat, Mail(kToBob)->Date);
    EXPECT_THAT(LogEvents(), ElementsAre("Work\tRedirected - (Bob) Date: " + date + " To: BOB Subject: Hello"));
    EXPECT_FALSE(m_work->VorlaFolder().Item(0)->Deleted);
}

TEST_F(ResponsesTest, RedirectFromTheQuarantineReachesTheOwnVorlaFolderByName) {
    m_work->Edit([&](TAccountSettings& s) { s.nameredirect = true; });
    Store(m_work->QuarantineFolder(), kToBob);
    EXPECT_EQ(RedirectMessage(*m_work, *m_log, m_work->QuarantineFolder(), 0), 2);
    EXPECT_EQ(m_bob->VorlaFolder().Count(), 1);
    EXPECT_EQ(m_work->VorlaFolder().Count(), 1);
    const auto events = LogEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_NE(events[0].find("Redirected - (Bob) "), std::string::npos);
    EXPECT_NE(events[1].find("Redirected - (Work) "), std::string::npos);
    EXPECT_NE(events[1].find(" To: Work Subject: Hello"), std::string::npos);
}

TEST_F(ResponsesTest, RedirectListEntriesMatchAccountNamesAndAddresses) {
    struct Row {
        const char* entry;
        int bobCopies;
        int queued;
    } rows[] = {
        {"bob", 1, 0},
        {"BOB@EXAMPLE.ORG", 1, 1},  // an account's address: its folder, and by SMTP as well
        {"someone", 0, 0},
        {"", 0, 0},
        {"   ", 0, 0},
        {"carol@example.net", 0, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string("entry \"") + row.entry + "\"");
        m_bob->VorlaFolder().Reload();
        m_work->QueueFolder().Reload();
        const int bobBefore = m_bob->VorlaFolder().Count();
        const int queueBefore = m_work->QueueFolder().Count();
        const std::size_t logBefore = LogEvents().size();
        m_work->Edit([&](TAccountSettings& s) { s.redirectAddresses = {row.entry}; });
        Store(m_work->VorlaFolder(), kToBob);
        const int index = m_work->VorlaFolder().Count() - 1;
        EXPECT_EQ(RedirectMessage(*m_work, *m_log, m_work->VorlaFolder(), index), row.bobCopies + row.queued);
        EXPECT_EQ(m_bob->VorlaFolder().Count() - bobBefore, row.bobCopies);
        EXPECT_EQ(m_work->QueueFolder().Count() - queueBefore, row.queued);
        const auto events = LogEvents();
        ASSERT_EQ(events.size() - logBefore, static_cast<std::size_t>(row.bobCopies + row.queued));
        const std::string date = FormatDateTime(kMessageDateFormat, Mail(kToBob)->Date);
        if (row.bobCopies) {
            EXPECT_EQ(events[logBefore],
                      "Work\tRedirected - (Bob) Date: " + date + " To: " + row.entry + " Subject: Hello");
        }
        if (row.queued) {
            EXPECT_EQ(events.back(), "Work\tRedirected - Date: " + date + " To: " + row.entry + " Subject: Hello");
        }
    }
}

TEST_F(ResponsesTest, RedirectToTwoAddressesQueuesOneCopyForEach) {
    m_work->Edit([&](TAccountSettings& s) { s.redirectAddresses = {"Carol <carol@example.net>", "dave@example.net"}; });
    // More recipient lines than the message model writes from its lists: none may survive.
    Store(m_work->VorlaFolder(), WithHeader(WithHeader(kToBob, "", "cc: Dora <dora@example.org>"), "",
                                            "Bcc: eve@example.org"));
    EXPECT_EQ(RedirectMessage(*m_work, *m_log, m_work->VorlaFolder(), 0), 2);
    ASSERT_EQ(m_work->QueueFolder().Count(), 2);
    const char* expectedTo[] = {"Carol <carol@example.net>", "dave@example.net"};
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        const std::string file = FileOf(m_work->QueueFolder(), i);
        const auto headers = HeaderLines(file);
        EXPECT_EQ(CountPrefixed(headers, "Received: redirected by Vorla; "), i + 1);
        EXPECT_EQ(CountPrefixed(headers, "To:"), 1);
        EXPECT_EQ(CountPrefixed(headers, "Cc:") + CountPrefixed(headers, "cc:"), 0);
        EXPECT_EQ(CountPrefixed(headers, "Bcc:"), 0);
        EXPECT_EQ(CountPrefixed(headers, "Message-ID: <1@example.org>"), 1);
        TMailMessage copy;
        copy.LoadMode = TLoadMode::Decoded;  // as the queue sender reads it
        copy.LoadFromFile(m_work->QueueFolder().Item(i)->FileName());
        EXPECT_EQ(copy.Recipients.Text(), expectedTo[i]);
        EXPECT_TRUE(copy.CCList.Empty());
        EXPECT_TRUE(copy.BccList.Empty());
        EXPECT_EQ(copy.From.Text(), "Ann Smith <ann@example.org>");  // the envelope sender stays Ann
        EXPECT_EQ(copy.Subject, "Hello");
        EXPECT_THAT(copy.Body, ElementsAre("Body line"));
    }
    // The stored original is untouched.
    EXPECT_EQ(Stored(m_work->VorlaFolder(), 0)->CCList.Text(), "Carl <carl@example.org>");
}

TEST_F(ResponsesTest, RedirectedCopiesKeepTheAttachmentsOfTheOriginal) {
    const std::string multipart =
        "Received: from mx.example.org ([192.0.2.7]) by mail.example.com\r\n"
        "From: ann@example.org\r\nTo: me@example.com\r\nSubject: Files\r\n"
        "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n"
        "--b1\r\nContent-Type: text/plain\r\n\r\nSee attached.\r\n"
        "--b1\r\nContent-Type: application/octet-stream; name=\"data.bin\"\r\n"
        "Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=\"data.bin\"\r\n\r\n"
        "AAECAwQF\r\n--b1--\r\n";
    m_work->Edit([&](TAccountSettings& s) { s.redirectAddresses = {"carol@example.net"}; });
    Store(m_work->VorlaFolder(), multipart);
    EXPECT_EQ(RedirectMessage(*m_work, *m_log, m_work->VorlaFolder(), 0), 1);
    const auto copy = Stored(m_work->QueueFolder(), 0, TLoadMode::Decoded);
    std::string content;
    for (const TMessagePart& part : copy->MessageParts)
        if (const auto* a = std::get_if<TAttachmentPart>(&part)) content = ReadFileBytes(a->StoredPath);
    EXPECT_EQ(content, std::string("\0\1\2\3\4\5", 6));
}

TEST_F(ResponsesTest, RedirectDeleteMarksOnlyAMessageThatWasRedirected) {
    m_work->Edit([&](TAccountSettings& s) {
        s.redirectdelete = true;
        s.redirectAddresses = {"nobody"};
    });
    Store(m_work->VorlaFolder(), kToBob);
    EXPECT_EQ(RedirectMessage(*m_work, *m_log, m_work->VorlaFolder(), 0), 0);
    EXPECT_FALSE(m_work->VorlaFolder().Item(0)->Deleted);  // kept: it went nowhere

    m_work->Edit([&](TAccountSettings& s) { s.redirectAddresses = {"carol@example.net"}; });
    EXPECT_EQ(RedirectMessage(*m_work, *m_log, m_work->VorlaFolder(), 0), 1);
    EXPECT_TRUE(m_work->VorlaFolder().Item(0)->Deleted);
    m_work->VorlaFolder().Purge();
    EXPECT_EQ(m_work->VorlaFolder().Count(), 0);
}

TEST_F(ResponsesTest, AMessageLeftInTheFolderIsRedirectedAgainAtEveryRun) {
    m_work->Edit([&](TAccountSettings& s) { s.redirectAddresses = {"bob", "carol@example.net"}; });
    Store(m_work->VorlaFolder(), kToBob);
    for (int run = 1; run <= 3; ++run) {
        SCOPED_TRACE(run);
        EXPECT_EQ(RedirectMessage(*m_work, *m_log, m_work->VorlaFolder(), 0), 2);
        EXPECT_EQ(m_bob->VorlaFolder().Count(), run);
        EXPECT_EQ(m_work->QueueFolder().Count(), run);
        EXPECT_EQ(m_work->VorlaFolder().Count(), 1);
        EXPECT_FALSE(m_work->VorlaFolder().Item(0)->Deleted);
    }
}

TEST_F(ResponsesTest, RedirectPassesOverWhatCannotBeReadAndPassesOnWhatCannotBeWritten) {
    m_work->Edit([&](TAccountSettings& s) {
        s.redirectAddresses = {"bob", "carol@example.net"};
        s.redirectdelete = true;
    });
    EXPECT_EQ(RedirectMessage(*m_work, *m_log, m_work->VorlaFolder(), 0), 0);  // no such index
    TZivadMessageItem& item = Store(m_work->VorlaFolder(), kToBob);
    DeleteFile(item.FileName());
    EXPECT_EQ(RedirectMessage(*m_work, *m_log, m_work->VorlaFolder(), 0), 0);
    EXPECT_FALSE(item.Deleted);
    EXPECT_THAT(LogEvents(), IsEmpty());

    m_work->VorlaFolder().Reload();
    Store(m_work->VorlaFolder(), kToBob);
    BreakFolder(m_work->QueueFolder());
    EXPECT_THROW(RedirectMessage(*m_work, *m_log, m_work->VorlaFolder(), 0), TFileError);
    EXPECT_EQ(m_bob->VorlaFolder().Count(), 1);  // the copy made before stays
    EXPECT_FALSE(m_work->VorlaFolder().Item(0)->Deleted);
}

TEST_F(ResponsesTest, RedirectEntriesCannotAddHeaderLines) {
    m_work->Edit([&](TAccountSettings& s) { s.redirectAddresses = {"carol@example.net\r\nBcc: victim@evil.example"}; });
    Store(m_work->VorlaFolder(), kToBob);
    EXPECT_EQ(RedirectMessage(*m_work, *m_log, m_work->VorlaFolder(), 0), 1);
    const auto headers = HeaderLines(FileOf(m_work->QueueFolder(), 0));
    EXPECT_EQ(CountPrefixed(headers, "Bcc:"), 0);
    EXPECT_EQ(CountPrefixed(headers, "To:"), 1);
}

// --- log message ---------------------------------------------------------------------------

TEST_F(ResponsesTest, LogMessageGoesToTheVorlaFolderOrWithNoDownloadToTheQueue) {
    for (const bool noDownload : {false, true}) {
        SCOPED_TRACE(noDownload ? "nodownload" : "download");
        m_work->Edit([&](TAccountSettings& s) { s.nodownload = noDownload; });
        SendLogMessage(*m_work, *m_log, "Vorla log for account Work (me@example.com)", "line 1\r\nline 2");
        TZivadMessageCollection& folder = noDownload ? m_work->QueueFolder() : m_work->VorlaFolder();
        ASSERT_EQ(folder.Count(), 1);
        const auto message = Stored(folder, 0);
        EXPECT_EQ(message->Recipients.Text(), "me@example.com");
        EXPECT_EQ(message->From.Text(), "Vorla <me@example.com>");
        EXPECT_EQ(message->Subject, "Vorla log for account Work (me@example.com)");
        EXPECT_EQ(message->ContentType, "text/plain");
        EXPECT_THAT(message->Body, ElementsAre("line 1", "line 2"));
        EXPECT_EQ(CountPrefixed(HeaderLines(FileOf(folder, 0)), "Received:"), 0);
    }
    // "Created" is no category word: only the queued message left a line.
    EXPECT_THAT(LogEvents(), ElementsAre("Work\tQueued - Work - To: me@example.com"));

    m_work->Edit([&](TAccountSettings& s) {
        s.name = "Accepted mail";  // a category word in the text keeps the line
        s.nodownload = false;
    });
    SendLogMessage(*m_work, *m_log, "s", "t");
    EXPECT_EQ(LogEvents().back(), "Accepted mail\tCreated - Accepted mail - To: me@example.com");
}

TEST_F(ResponsesTest, ALogMessageThatCannotBeWrittenBecomesAnErrorLine) {
    BreakFolder(m_work->VorlaFolder());
    SendLogMessage(*m_work, *m_log, "s", "t");
    const auto events = LogEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].rfind("Work\tError - Work - Send Message - ", 0), 0u) << events[0];
}

}  // namespace
}  // namespace vorla
