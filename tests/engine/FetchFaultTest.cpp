#include <gmock/gmock.h>
#include <algorithm>
#include <functional>
#include <gtest/gtest.h>

#include "engine/FetchCycle.h"
#include "engine/FetchCycleFixture.h"
#include "platform/Errors.h"
#include "support/DovecotServer.h"
#include "support/ScriptedPeer.h"

// The fetch cycle against a scripted uplink, for the faults a real server does not produce on
// demand, and the parts of the cycle that need no server at all.
namespace vorla {
namespace {

using test::Mail;
using test::PeerReadLine;
using test::PeerSend;
using test::TPeerStep;
using test::TScriptedPeer;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::string Crlf(const std::string& lf) {
    std::string out;
    for (char c : lf) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

std::string HeaderOf(const std::string& mail) { return mail.substr(0, mail.find("\n\n") + 2); }

// The login and STAT of a session holding count messages, and the CAPA after it (when there
// are messages): pipelining offered or not.
std::vector<TPeerStep> Login(int count, bool pipelining = false) {
    std::vector<TPeerStep> steps = {PeerSend("+OK ready\r\n"), PeerReadLine(), PeerSend("+OK\r\n"),
                                    PeerReadLine(),              PeerSend("+OK\r\n"), PeerReadLine(),
                                    PeerSend("+OK " + std::to_string(count) + " 999\r\n")};
    if (count > 0) {
        steps.push_back(PeerReadLine());
        steps.push_back(PeerSend(pipelining ? "+OK\r\nUSER\r\nPIPELINING\r\n.\r\n" : "-ERR\r\n"));
    }
    return steps;
}

void Add(std::vector<TPeerStep>& script, std::initializer_list<TPeerStep> steps) {
    script.insert(script.end(), steps.begin(), steps.end());
}

void Answer(std::vector<TPeerStep>& script, const std::string& reply) { Add(script, {PeerReadLine(), PeerSend(reply)}); }
void Listing(std::vector<TPeerStep>& script, const std::string& lf) {
    Answer(script, "+OK\r\n" + Crlf(lf) + ".\r\n");
}

class FetchFaultTest : public test::FetchFixture {
protected:
    TZivadAccount& Account(std::uint16_t port) {
        TZivadAccount& account = NewAccount("Ann", "ann", "annpw", port);
        account.Edit([&](TAccountSettings& s) { s.enablefilters = false; });  // everything accepted
        return account;
    }
};

TEST_F(FetchFaultTest, RefusedRetrievalIsOneErrorAndTheMessageComesAgainNextTime) {
    const std::string one = Mail("one"), two = Mail("two");
    std::vector<TPeerStep> script = Login(2);
    Listing(script, HeaderOf(one));
    Answer(script, "-ERR message is locked\r\n");
    Listing(script, HeaderOf(two));
    Listing(script, two);
    Answer(script, "+OK\r\n");  // DELE 2
    Answer(script, "+OK bye\r\n");
    TScriptedPeer first(script);
    TZivadAccount& ann = Account(first.Port());
    FetchMail(ann, Engine().Log());
    EXPECT_THAT(first.Received(), ElementsAre("USER ann", "PASS annpw", "STAT", "CAPA", "TOP 1 0", "RETR 1", "TOP 2 0",
                                              "RETR 2", "DELE 2", "QUIT"));
    EXPECT_EQ(Subjects(ann.VorlaFolder()), std::vector<std::string>{"two"});
    ASSERT_EQ(LogEvents().size(), 2u);
    // The error line names the message by what its header said.
    EXPECT_EQ(LogEvents()[0], "Ann\tError - Ann - RETR 1 refused: -ERR message is locked " + Details(one));
    EXPECT_EQ(Status("FETCH").back(), "\tFETCH\tAnn\tAccepted=1 Trashed=0 Quarantined=0 Rejected=0 Purged=0 Errors=0");

    // Its header was not taken as seen: the next fetch downloads it.
    std::vector<TPeerStep> again = Login(1);
    Listing(again, HeaderOf(one));
    Listing(again, one);
    Answer(again, "+OK\r\n");
    Answer(again, "+OK bye\r\n");
    TScriptedPeer second(again);
    ann.Edit([&](TAccountSettings& s) { s.popport = second.Port(); });
    FetchMail(ann, Engine().Log());
    EXPECT_THAT(second.Received(), ElementsAre("USER ann", "PASS annpw", "STAT", "CAPA", "TOP 1 0", "RETR 1", "DELE 1", "QUIT"));
    EXPECT_EQ(Subjects(ann.VorlaFolder()), (std::vector<std::string>{"two", "one"}));
}

TEST_F(FetchFaultTest, SizeIsAskedOnlyWithALimitAndABigMessageIsRejectedUnread) {
    const std::string big = Mail("big"), small = Mail("small");
    std::vector<TPeerStep> script = Login(2);
    Listing(script, "1 204801\n2 204800\n");  // one listing for all; exactly the limit passes
    Listing(script, HeaderOf(big));
    Answer(script, "+OK\r\n");  // DELE 1
    Listing(script, HeaderOf(small));
    Listing(script, small);
    Answer(script, "+OK\r\n");
    Answer(script, "+OK bye\r\n");
    TScriptedPeer peer(script);
    TZivadAccount& ann = Account(peer.Port());
    ann.Edit([&](TAccountSettings& s) {
        s.enablefilters = true;
        s.rejectkb = 200;
    });
    AddRule(ann.Filters(), "small", TFilterAction::Accept, TFilterSection::Subject);
    FetchMail(ann, Engine().Log());
    EXPECT_THAT(peer.Received(), ElementsAre("USER ann", "PASS annpw", "STAT", "CAPA", "LIST", "TOP 1 0", "DELE 1",
                                             "TOP 2 0", "RETR 2", "DELE 2", "QUIT"));
    EXPECT_THAT(LogEvents(), ElementsAre(Event("Ann", "Rejected", "Msg_Too_Big", big),
                                         Event("Ann", "Accepted", "local:small", small)));
}

TEST_F(FetchFaultTest, DroppedConnectionGivesOneErrorPerRemainingMessageAndKeepsThemAll) {
    std::vector<TPeerStep> script = Login(3);
    Listing(script, HeaderOf(Mail("one")));
    Add(script, {PeerReadLine(), PeerSend("+OK\r\nSubject: one\r\n"), test::PeerClose()});
    TScriptedPeer peer(script);
    TZivadAccount& ann = Account(peer.Port());
    FetchMail(ann, Engine().Log());
    const auto events = LogEvents();
    ASSERT_EQ(events.size(), 3u);
    for (const std::string& e : events) EXPECT_EQ(e.rfind("Ann\tError - Ann - ", 0), 0u) << e;
    EXPECT_THAT(events[1], HasSubstr("Not connected"));
    EXPECT_EQ(ann.VorlaFolder().Count(), 0);
    EXPECT_EQ(ann.SeenCount(), 0u);
    // Message errors are not counted in Errors; the FETCH line still comes.
    EXPECT_EQ(Status("FETCH").back(), "\tFETCH\tAnn\tAccepted=0 Trashed=0 Quarantined=0 Rejected=0 Purged=0 Errors=0");
    EXPECT_FALSE(ann.Busy());
}

TEST_F(FetchFaultTest, FailedMessageCountEndsTheFetchAfterItsClosingStep) {
    std::vector<TPeerStep> script = Login(0);
    script.back() = PeerSend("-ERR mailbox unavailable\r\n");
    TScriptedPeer peer(script);
    TZivadAccount& ann = Account(peer.Port());
    int ends = 0;
    Engine().OnFetchEnd.Set([&](const std::string&) { ++ends; });
    EXPECT_THROW(FetchMail(ann, Engine().Log()), TPeerRefused);
    EXPECT_EQ(ends, 1);
    EXPECT_FALSE(ann.Busy());
    // Not reported as a clean fetch: the reason is logged and counted.
    EXPECT_THAT(LogEvents(), ElementsAre("Ann\tError - Ann - STAT refused: -ERR mailbox unavailable"));
    EXPECT_EQ(Status("FETCH").back(), "\tFETCH\tAnn\tAccepted=0 Trashed=0 Quarantined=0 Rejected=0 Purged=0 Errors=1");
    const auto progress = Progress();
    EXPECT_EQ(std::find(progress.begin(), progress.end(), "[Ann] Processing retrieved messages"), progress.end());
}

TEST_F(FetchFaultTest, AFolderThatCannotBeWrittenLeavesTheMessageOnTheServer) {
    const std::string one = Mail("one");
    std::vector<TPeerStep> script = Login(1);
    Listing(script, HeaderOf(one));
    Listing(script, one);
    Answer(script, "+OK bye\r\n");  // QUIT: no DELE before it
    TScriptedPeer peer(script);
    TZivadAccount& ann = Account(peer.Port());
    // The vorla folder's place is taken by a file: nothing can be stored there.
    const std::string folder = ann.VorlaFolder().Folder();
    DeleteTree(folder);
    test::WriteFile(folder.substr(0, folder.size() - 1), "not a folder");
    FetchMail(ann, Engine().Log());
    EXPECT_THAT(peer.Received(), ElementsAre("USER ann", "PASS annpw", "STAT", "CAPA", "TOP 1 0", "RETR 1", "QUIT"));
    ASSERT_EQ(LogEvents().size(), 1u);
    EXPECT_EQ(LogEvents()[0].rfind("Ann\tError - Ann - ", 0), 0u);
    EXPECT_EQ(ann.SeenCount(), 0u);  // tried again next time
}

// A server that offers pipelining gets the headers of the window at once, RETR only for what
// its rules will download, and each DELE only after its message was filed; the log is the one
// the message-at-a-time dialogue gives.
TEST_F(FetchFaultTest, PipelinedFetchAsksBodiesOnlyOfWhatItKeepsAndDeletesAfterFiling) {
    const std::string spam = Mail("cheap pills", "Buy.", "Bulk <bulk@bulk.test>"), one = Mail("one"), two = Mail("two");
    std::vector<TPeerStep> script = Login(3, true);
    const std::string mails[] = {spam, one, two};
    for (int n = 1; n <= 3; ++n) {
        Listing(script, HeaderOf(mails[n - 1]));
        Answer(script, "+OK " + std::to_string(n) + " 300\r\n");
    }
    for (int n = 2; n <= 3; ++n) {
        Listing(script, mails[n - 1]);
        Answer(script, "+OK " + std::to_string(n) + " 300\r\n");
    }
    for (int n = 1; n <= 3; ++n) Answer(script, "+OK\r\n");  // DELE
    Answer(script, "+OK bye\r\n");
    TScriptedPeer peer(script);
    TZivadAccount& ann = Account(peer.Port());
    ann.Edit([&](TAccountSettings& s) { s.enablefilters = true; });
    AddRule(ann.Filters(), "pills", TFilterAction::Reject, TFilterSection::Subject);
    AddRule(ann.Filters(), "example.org", TFilterAction::Accept, TFilterSection::From);
    FetchMail(ann, Engine().Log());
    EXPECT_THAT(peer.Received(),
                ElementsAre("USER ann", "PASS annpw", "STAT", "CAPA", "TOP 1 0", "LIST 1", "TOP 2 0", "LIST 2", "TOP 3 0",
                            "LIST 3", "RETR 2", "LIST 2", "RETR 3", "LIST 3", "DELE 1", "DELE 2", "DELE 3", "QUIT"));
    EXPECT_THAT(LogEvents(), ElementsAre(Event("Ann", "Rejected", "local:pills", spam),
                                         Event("Ann", "Accepted", "local:example.org", one),
                                         Event("Ann", "Accepted", "local:example.org", two)));
    EXPECT_EQ(Subjects(ann.VorlaFolder()), (std::vector<std::string>{"one", "two"}));
    const std::vector<std::string> progress = Progress();
    EXPECT_THAT(std::vector<std::string>(progress.begin(), progress.begin() + 5),
                ElementsAre("[Ann] Retrieving header 1", "[Ann] Retrieving header 2", "[Ann] Retrieving message 2",
                            "[Ann] Retrieving header 3", "[Ann] Retrieving message 3"));
}

// The server breaks the pipelined dialogue of three messages in one of the ways below. A
// message is filed only when its own text came in step; whatever is not filed stays on the
// server (the session ends without QUIT, so no DELE takes effect) and each such message has
// its error line.
TEST_F(FetchFaultTest, PipelinedWindowOutOfStepBrokenOffOrSilentIsAnErrorNeverAWrongFiling) {
    const std::string mails[] = {Mail("one"), Mail("two"), Mail("three")};
    const auto headers = [&](std::vector<TPeerStep>& script, int upTo) {
        for (int n = 1; n <= upTo; ++n) {
            Listing(script, HeaderOf(mails[n - 1]));
            Answer(script, "+OK " + std::to_string(n) + " 300\r\n");
        }
    };
    struct TCase {
        const char* what;
        std::function<void(std::vector<TPeerStep>&)> play;  // after the login
        std::vector<std::string> filed;
        const char* error;  // in the first error line
    };
    const TCase cases[] = {
        {"a size reply naming another message",
         [&](std::vector<TPeerStep>& script) {
             headers(script, 1);
             Listing(script, HeaderOf(mails[1]));
             Answer(script, "+OK 3 300\r\n");
         },
         {}, "out of step"},
        {"the reply to a RETR left out",
         [&](std::vector<TPeerStep>& script) {
             headers(script, 3);
             Listing(script, mails[0]);
             Answer(script, "+OK 1 300\r\n");
             Add(script, {PeerReadLine()});  // RETR 2: nothing
             Answer(script, "+OK 2 300\r\n");
             Listing(script, mails[2]);
             Answer(script, "+OK 3 300\r\n");
         },
         {"one"}, "out of step"},
        {"the connection dropped inside a message",
         [&](std::vector<TPeerStep>& script) {
             headers(script, 3);
             Listing(script, mails[0]);
             Answer(script, "+OK 1 300\r\n");
             Add(script, {PeerReadLine(), PeerSend("+OK\r\nSubject: two\r\n"), test::PeerClose()});
         },
         {"one"}, "Connection closed by the peer"},
        {"no more replies after the first header (the 25 s reply time-out)",
         [&](std::vector<TPeerStep>& script) {
             headers(script, 1);
             Add(script, {test::PeerPause(std::chrono::seconds(30))});
         },
         {}, "Timed out"},
    };
    int n = 0;
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<TPeerStep> script = Login(3, true);
        c.play(script);
        TScriptedPeer peer(script);
        TZivadAccount& account = NewAccount("Acct" + std::to_string(++n), "ann", "annpw", peer.Port());
        account.Edit([&](TAccountSettings& s) { s.enablefilters = false; });
        const std::size_t before = LogEvents().size();
        FetchMail(account, Engine().Log());
        EXPECT_EQ(Subjects(account.VorlaFolder()), c.filed);
        EXPECT_EQ(account.SeenCount(), c.filed.size());
        const std::vector<std::string> events = LogEvents();
        std::vector<std::string> errors;
        for (std::size_t i = before; i < events.size(); ++i)
            if (events[i].find("\tError - ") != std::string::npos) errors.push_back(events[i]);
        // Every message not filed has its error line, and only a filed one is logged accepted.
        EXPECT_GE(errors.size(), 3 - c.filed.size());
        EXPECT_TRUE(std::any_of(errors.begin(), errors.end(),
                                [&](const std::string& e) { return e.find(c.error) != std::string::npos; }))
            << ::testing::PrintToString(errors);
        for (std::size_t i = before; i < events.size(); ++i) {
            if (events[i].find("\tAccepted - ") == std::string::npos) continue;
            EXPECT_TRUE(std::any_of(c.filed.begin(), c.filed.end(), [&](const std::string& subject) {
                return events[i].find("Subject: " + subject) != std::string::npos;
            })) << events[i];
        }
        EXPECT_FALSE(account.Busy());
    }
}

TEST_F(FetchFaultTest, MissingAccountInformationEndsAtTheClosingStep) {
    struct TCase {
        const char* what;
        void (*spoil)(TZivadAccount&);
    };
    const TCase cases[] = {
        {"no login name", [](TZivadAccount& a) { a.Edit([](TAccountSettings& s) { s.loginname.clear(); }); }},
        {"no password", [](TZivadAccount& a) { a.Edit([](TAccountSettings& s) { s.password.clear(); }); }},
        {"no server", [](TZivadAccount& a) { a.Edit([](TAccountSettings& s) { s.popserver.clear(); }); }},
        {"port 0", [](TZivadAccount& a) { a.Edit([](TAccountSettings& s) { s.popport = 0; }); }},
    };
    Engine().SetPurgeDays(1);
    int n = 0;
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.what);
        TZivadAccount& account = NewAccount("Acct" + std::to_string(++n), "u", "p", 110);
        c.spoil(account);
        TMailMessage old;
        old.LoadFromMailText("Subject: old\n\nx\n");  // no date: purged by any purge
        account.TrashFolder().AddMessage(old, "");
        int ends = 0;
        Engine().OnFetchEnd.Set([&](const std::string&) { ++ends; });
        FetchMail(account, Engine().Log());
        EXPECT_EQ(ends, 1);
        EXPECT_EQ(LogEvents().back(), account.Settings()->name + "\tError - " + account.Settings()->name + " - Account information is missing");
        EXPECT_EQ(Status("FETCH").back(), "\tFETCH\t" + account.Settings()->name +
                                              "\tAccepted=0 Trashed=0 Quarantined=0 Rejected=0 Purged=0 Errors=1");
        EXPECT_EQ(account.TrashFolder().Count(), 1);  // no purge
        EXPECT_TRUE(Progress().empty());              // and no processing
    }
}

TEST_F(FetchFaultTest, TrashPurgeTakesWhatIsOlderThanPurgeDaysOnly) {
    TZivadAccount& ann = NewAccount("Ann", "ann", "annpw", test::FreeLoopbackPort());
    const TDateTime now = Now();
    struct TAged {
        const char* subject;
        double days;  // -1: no Date header
        bool purged;
    };
    const TAged aged[] = {{"fresh", 1, false},   {"29.9 days", 29.9, false}, {"30.1 days", 30.1, true},
                          {"a year", 365, true}, {"no date", -1, true},     {"tomorrow", -1.5, false}};
    for (const TAged& a : aged) {
        TMailMessage message;
        message.LoadFromMailText(std::string("Subject: ") + a.subject + "\n\nx\n");
        if (a.days != -1) message.Date = now - a.days;
        ann.TrashFolder().AddMessage(message, "");
    }
    auto remaining = [&] { return Subjects(ann.TrashFolder()); };
    Engine().SetPurgeDays(0);
    FetchMail(ann, Engine().Log());
    EXPECT_EQ(remaining().size(), 6u);
    Engine().SetPurgeDays(30);
    FetchMail(ann, Engine().Log());
    EXPECT_EQ(remaining(), (std::vector<std::string>{"fresh", "29.9 days", "tomorrow"}));
    EXPECT_EQ(Status("FETCH").back(), "\tFETCH\tAnn\tAccepted=0 Trashed=0 Quarantined=0 Rejected=0 Purged=3 Errors=1");
    const auto progress = Progress();
    EXPECT_EQ(std::count(progress.begin(), progress.end(), "[Ann] Purging trash"), 1);
}

TEST(FetchSummary, PartsFollowTheLogSwitchesAndLeaveOutCountsThatDoNotApply) {
    struct TCase {
        const char* what;
        void (*set)(TLogSettings&);
        bool noDownload;
        int rejected;
        const char* expected;
    };
    const TCase cases[] = {
        {"all on", [](TLogSettings&) {}, false, 1, "Accepted=2 Trashed=3 Quarantined=4 Rejected=1 Purged=5 Errors=6"},
        {"no download", [](TLogSettings&) {}, true, 1, "Ok=2 Trashed=3 Unknown=4 Rejected=1 Purged=5 Errors=6"},
        {"filter run", [](TLogSettings&) {}, false, -1, "Accepted=2 Trashed=3 Quarantined=4 Purged=5 Errors=6"},
        {"accepted off", [](TLogSettings& s) { s.accepted = false; }, false, 1,
         "Trashed=3 Quarantined=4 Rejected=1 Purged=5 Errors=6"},
        {"all off", [](TLogSettings& s) { s = {0, false, false, false, false, false, false, false, false, false, false}; },
         false, 1, "Purged=5"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.what);
        TLogSettings switches;
        c.set(switches);
        EXPECT_EQ(FetchSummary(switches, 2, 3, 4, c.rejected, 5, 6, c.noDownload), c.expected);
    }
    TLogSettings off{0, false, false, false, false, false, false, false, false, false, false};
    EXPECT_EQ(FetchSummary(off, 1, 1, 1, 1, -1, 1, false), "");
    EXPECT_EQ(FetchSummary(TLogSettings{}, 0, -1, -1, -1, -1, -1, false), "Accepted=0");
}

}  // namespace
}  // namespace vorla
