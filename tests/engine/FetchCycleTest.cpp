#include "engine/FetchCycle.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "engine/FetchCycleFixture.h"
#include "platform/Errors.h"
#include "support/DovecotServer.h"

// The fetch cycle against a real Dovecot POP3 server on loopback.
namespace vorla {
namespace {

using test::Mail;
using test::TDovecotServer;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

class FetchCycleTest : public test::FetchFixture {
protected:
    void SetUp() override {
        const std::string why = TDovecotServer::Unavailable();
        if (!why.empty()) GTEST_SKIP() << why;
        m_server = std::make_unique<TDovecotServer>(
            std::vector<test::TPopUser>{{"alice", "alicepw"}, {"bob", "bobpw"}, {"carol", "carolpw"}});
    }

    TZivadAccount& Alice() { return NewAccount("Alice", "alice", "alicepw", m_server->Port()); }
    std::size_t OnServer(const std::string& user) const { return m_server->MessageFiles(user).size(); }
    // The bodies left on the server, in server order.
    std::vector<std::string> SubjectsOnServer(const std::string& user) const {
        std::vector<std::string> subjects;
        for (const std::string& file : m_server->MessageFiles(user)) {
            TMailMessage message;
            message.LoadFromMailText(test::ReadFile(file));
            subjects.push_back(message.Subject);
        }
        return subjects;
    }

    std::unique_ptr<TDovecotServer> m_server;
};

TEST_F(FetchCycleTest, EveryMessageEndsWhereItsClassificationSendsIt) {
    const std::string texts[] = {
        Mail("hello friend"),                        // accepted on its header
        Mail("buy pills now"),                       // rejected on its header
        Mail("no opinion"),                          // undecided: stays in the quarantine
        Mail("a question", "the password is letmein"),  // the body accepts it
        Mail("a question too", "this is spamword"),  // the body rejects it
    };
    for (const std::string& text : texts) m_server->AddMessage("alice", text);
    TZivadAccount& alice = Alice();
    AddRule(alice.Filters(), "friend", TFilterAction::Accept, TFilterSection::Subject);
    AddRule(alice.Filters(), "letmein", TFilterAction::Accept, TFilterSection::Body);
    AddRule(alice.Filters(), "spamword", TFilterAction::Reject, TFilterSection::Body);
    AddRule(Engine().Filters(), "pills", TFilterAction::Reject, TFilterSection::Subject);

    std::vector<std::string> atFetchEnd;
    bool busyAtFetchEnd = false;
    int starts = 0;
    Engine().OnFetchStart.Set([&](const std::string& folder) {
        TZivadAccount& a = *Engine().Accounts().FindByFolder(folder);
        ++starts;
        EXPECT_TRUE(a.Busy());
    });
    Engine().OnFetchEnd.Set([&](const std::string& folder) {
        TZivadAccount& a = *Engine().Accounts().FindByFolder(folder);
        atFetchEnd = Status("FETCH");
        busyAtFetchEnd = a.Busy();
    });
    FetchMail(alice, Engine().Log());

    EXPECT_EQ(starts, 1);
    EXPECT_FALSE(alice.Busy());
    EXPECT_TRUE(busyAtFetchEnd);
    EXPECT_THAT(atFetchEnd, ElementsAre("\tFETCH\tAlice\tAccepted=2 Trashed=1 Quarantined=1 Rejected=1 Purged=0 Errors=0"));
    EXPECT_EQ(Subjects(alice.VorlaFolder()), (std::vector<std::string>{"hello friend", "a question"}));
    EXPECT_EQ(Subjects(alice.QuarantineFolder()), std::vector<std::string>{"no opinion"});
    EXPECT_EQ(Subjects(alice.TrashFolder()), std::vector<std::string>{"a question too"});
    EXPECT_EQ(OnServer("alice"), 0u);  // every one was filed or rejected: all deleted at QUIT

    EXPECT_THAT(LogEvents(), ElementsAre(Event("Alice", "Accepted", "local:friend", texts[0]),
                                         Event("Alice", "Rejected", "global:pills", texts[1]),
                                         Event("Alice", "Quarantined", std::nullopt, texts[2]),
                                         Event("Alice", "Quarantined", std::nullopt, texts[3]),
                                         Event("Alice", "Accepted", "local:letmein", texts[3]),
                                         Event("Alice", "Quarantined", std::nullopt, texts[4]),
                                         Event("Alice", "Trashed", "local:spamword", texts[4])));
    // One line written out in full, so that the format is pinned down here too.
    EXPECT_EQ(LogEvents()[0], "Alice\tAccepted - (local:friend) Date: " +
                                  FormatDateTime("ddd, dd mmm yyyy hh:nn:ss", UnixToLocal(1709546400)) +
                                  " From: Ann Example <ann@example.org> Subject: hello friend");

    // The stamps: the newest above the others, all above the server's own Received line.
    auto fileOf = [](TZivadMessageCollection& folder, int i) { return test::ReadFile(folder.Item(i)->FileName()); };
    const std::string accepted = fileOf(alice.VorlaFolder(), 0);
    EXPECT_EQ(accepted.rfind("Received: accepted by Vorla; ", 0), 0u) << accepted;
    EXPECT_THAT(accepted, HasSubstr("\r\nReceived: from mx.example.org"));
    EXPECT_THAT(accepted, HasSubstr("\r\n\r\nHello.\r\n.\r\n"));
    const std::string moved = fileOf(alice.VorlaFolder(), 1);
    EXPECT_EQ(moved.rfind("Received: accepted by Vorla; ", 0), 0u) << moved;
    EXPECT_THAT(moved, HasSubstr("\r\nReceived: quarantined by Vorla; "));
    const std::string trashed = fileOf(alice.TrashFolder(), 0);
    EXPECT_EQ(trashed.rfind("Received: trashed by Vorla; ", 0), 0u) << trashed;
    EXPECT_THAT(trashed, HasSubstr("\r\nReceived: quarantined by Vorla; "));
    EXPECT_EQ(fileOf(alice.QuarantineFolder(), 0).rfind("Received: quarantined by Vorla; ", 0), 0u);

    // The quarantine was not empty, so the stored messages were filtered once more at the end.
    EXPECT_THAT(Status("FILTER"), ElementsAre("\tFILTER\tAlice\tAccepted=0 Trashed=0 Quarantined=0"));
    EXPECT_THAT(Progress(),
                ElementsAre("[Alice] Retrieving header 1", "[Alice] Retrieving message 1", "[Alice] Retrieving header 2",
                            "[Alice] Retrieving header 3", "[Alice] Retrieving message 3", "[Alice] Retrieving header 4",
                            "[Alice] Retrieving message 4", "[Alice] Retrieving header 5", "[Alice] Retrieving message 5",
                            "[Alice] Processing retrieved messages", "[Alice] Done"));
}

TEST_F(FetchCycleTest, KeptMailIsFiledOnceAlsoAfterACrashRightAfterTheFetch) {
    m_server->AddMessage("alice", Mail("one"));
    m_server->AddMessage("alice", Mail("two"));
    TZivadAccount& alice = Alice();
    alice.Edit([&](TAccountSettings& s) {
        s.nodelete = true;
        s.enablefilters = false;  // every message accepted
    });
    alice.Save();
    FetchMail(alice, Engine().Log());
    EXPECT_EQ(Subjects(alice.VorlaFolder()), (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(OnServer("alice"), 2u);
    EXPECT_EQ(FileSize(alice.AccountFolder() + "msgcrc"), std::optional<std::uint64_t>(8));

    // The process dies: the account list goes without writing anything, then comes back.
    Engine().Accounts().Clear();
    Engine().Accounts().LoadAll();
    TZivadAccount& again = *Engine().Accounts().FindByName("Alice");
    EXPECT_EQ(again.SeenCount(), 2u);
    m_server->AddMessage("alice", Mail("three"));
    FetchMail(again, Engine().Log());
    EXPECT_EQ(Subjects(again.VorlaFolder()), (std::vector<std::string>{"one", "two", "three"}));
    EXPECT_EQ(OnServer("alice"), 3u);
    const auto events = LogEvents();
    EXPECT_EQ(std::count_if(events.begin(), events.end(), [](const std::string& e) { return e.find("\tAccepted") != std::string::npos; }), 3);
    EXPECT_THAT(Status("FETCH"), ElementsAre("\tFETCH\tAlice\tAccepted=2 Trashed=0 Quarantined=0 Rejected=0 Purged=0 Errors=0",
                                             "\tFETCH\tAlice\tAccepted=1 Trashed=0 Quarantined=0 Rejected=0 Purged=0 Errors=0"));

    // The rules change: a kept message that they now reject is deleted on the server and
    // logged again, but gets no second rejection reply; a new rejected one gets its reply.
    again.Edit([&](TAccountSettings& s) {
        s.enablefilters = true;
        s.rejectresponse = true;
    });
    AddRule(Engine().Filters(), "two", TFilterAction::Reject, TFilterSection::Subject);
    AddRule(Engine().Filters(), "four", TFilterAction::Reject, TFilterSection::Subject);
    AddRule(again.Filters(), "one", TFilterAction::Accept, TFilterSection::Subject);
    AddRule(again.Filters(), "three", TFilterAction::Accept, TFilterSection::Subject);
    m_server->AddMessage("alice", Mail("four"));
    FetchMail(again, Engine().Log());
    EXPECT_EQ(SubjectsOnServer("alice"), (std::vector<std::string>{"one", "three"}));
    EXPECT_EQ(again.QueueFolder().Count(), 1);  // the reply to "four" only
    EXPECT_EQ(Subjects(again.QueueFolder()), std::vector<std::string>{"Re: four"});
    EXPECT_EQ(Subjects(again.VorlaFolder()).size(), 3u);
    EXPECT_EQ(Status("FETCH").back(), "\tFETCH\tAlice\tAccepted=0 Trashed=0 Quarantined=0 Rejected=2 Purged=0 Errors=0");
}

TEST_F(FetchCycleTest, NoDownloadLogsOkAndLeavesEverythingButRejectedMailOnTheServer) {
    m_server->AddMessage("alice", Mail("wanted"));
    m_server->AddMessage("alice", Mail("unsure"));
    m_server->AddMessage("alice", Mail("junk offer"));
    TZivadAccount& alice = Alice();
    alice.Edit([&](TAccountSettings& s) {
        s.nodownload = true;
        s.nodelete = true;  // a rejected message goes all the same
    });
    AddRule(alice.Filters(), "wanted", TFilterAction::Accept, TFilterSection::Subject);
    AddRule(alice.Filters(), "junk", TFilterAction::Reject, TFilterSection::Subject);
    FetchMail(alice, Engine().Log());
    FetchMail(alice, Engine().Log());  // nothing new the second time

    EXPECT_EQ(SubjectsOnServer("alice"), (std::vector<std::string>{"wanted", "unsure"}));
    EXPECT_EQ(alice.VorlaFolder().Count() + alice.QuarantineFolder().Count() + alice.TrashFolder().Count(), 0);
    EXPECT_THAT(LogEvents(), ElementsAre(Event("Alice", "Ok", "local:wanted", Mail("wanted")),
                                         Event("Alice", "Ok", "", Mail("unsure")),
                                         Event("Alice", "Rejected", "local:junk", Mail("junk offer"))));
    EXPECT_THAT(Status("FETCH"), ElementsAre("\tFETCH\tAlice\tOk=2 Trashed=0 Unknown=0 Rejected=1 Purged=0 Errors=0",
                                             "\tFETCH\tAlice\tOk=0 Trashed=0 Unknown=0 Rejected=0 Purged=0 Errors=0"));
}

TEST_F(FetchCycleTest, NoDeleteKeepsAcceptedAndQuarantinedMailButNotWhatTheBodyRejects) {
    m_server->AddMessage("alice", Mail("kept 1"));
    m_server->AddMessage("alice", Mail("kept 2", "spamword inside"));
    m_server->AddMessage("alice", Mail("friend 3"));
    TZivadAccount& alice = Alice();
    alice.Edit([&](TAccountSettings& s) { s.nodelete = true; });
    AddRule(alice.Filters(), "spamword", TFilterAction::Reject, TFilterSection::Body);
    AddRule(alice.Filters(), "friend", TFilterAction::Accept, TFilterSection::Subject);
    FetchMail(alice, Engine().Log());
    EXPECT_EQ(SubjectsOnServer("alice"), (std::vector<std::string>{"kept 1", "friend 3"}));
    EXPECT_EQ(Subjects(alice.QuarantineFolder()), std::vector<std::string>{"kept 1"});
    EXPECT_EQ(Subjects(alice.TrashFolder()), std::vector<std::string>{"kept 2"});
    EXPECT_EQ(Subjects(alice.VorlaFolder()), std::vector<std::string>{"friend 3"});
}

TEST_F(FetchCycleTest, SeenMailLeftOnTheServerGoesOnceTheAccountKeepsNoCopyThere) {
    m_server->AddMessage("alice", Mail("kept while nodelete"));
    m_server->AddMessage("alice", Mail("listed while nodownload"));
    TZivadAccount& alice = Alice();
    alice.Edit([](TAccountSettings& s) {
        s.enablefilters = false;
        s.nodelete = true;
    });
    FetchMail(alice, Engine().Log());  // stores both, deletes neither
    ASSERT_EQ(OnServer("alice"), 2u);
    // The second was stored: take it off the server by hand and bring it back, as mail that
    // was only listed (never stored) under "nodownload".
    alice.VorlaFolder().Reload();
    ASSERT_EQ(alice.VorlaFolder().Count(), 2);
    alice.VorlaFolder().Item(1)->Deleted = true;
    alice.VorlaFolder().Purge();
    m_server->AddMessage("alice", Mail("only listed"));
    alice.Edit([](TAccountSettings& s) { s.nodownload = true; });
    FetchMail(alice, Engine().Log());
    ASSERT_EQ(OnServer("alice"), 3u);

    // The seen lists go through the files: a restart in between changes nothing.
    Engine().Accounts().Clear();
    Engine().Accounts().LoadAll();
    TZivadAccount& again = *Engine().Accounts().FindByName("Alice");
    again.Edit([](TAccountSettings& s) {
        s.nodelete = false;
        s.nodownload = false;
    });
    const std::size_t logged = LogEvents().size();
    FetchMail(again, Engine().Log());
    // The stored ones are deleted on the server and not filed again; the one that was only
    // listed stays there (nothing of it is kept here).
    EXPECT_EQ(SubjectsOnServer("alice"), std::vector<std::string>{"only listed"});
    EXPECT_EQ(Subjects(again.VorlaFolder()), std::vector<std::string>{"kept while nodelete"});
    EXPECT_EQ(LogEvents().size(), logged);  // nothing was filed or logged
}

TEST_F(FetchCycleTest, StopAfterAHeaderEndsTheLoopButNotTheClosingAndCleanUp) {
    for (const char* subject : {"first", "second", "third"}) m_server->AddMessage("alice", Mail(subject));
    TZivadAccount& alice = Alice();
    alice.Edit([&](TAccountSettings& s) {
        s.enablefilters = false;
        s.enablemailbot = true;
    });
    Engine().SetPurgeDays(30);
    TMailMessage old;
    old.LoadFromMailText("Subject: old\nDate: Mon, 4 Mar 2019 10:00:00 +0000\n\nx\n");
    alice.TrashFolder().AddMessage(old, "");
    Engine().OnStatusText.Set([&](const std::string& text) {
        {
            std::scoped_lock lock(m_mutex);
            m_progress.push_back(text);
        }
        if (text == "[Alice] Retrieving header 2") Engine().Stop();  // as the Stop button does
    });
    FetchMail(alice, Engine().Log());

    EXPECT_EQ(Subjects(alice.VorlaFolder()), std::vector<std::string>{"first"});
    EXPECT_EQ(SubjectsOnServer("alice"), (std::vector<std::string>{"second", "third"}));  // QUIT was sent
    EXPECT_EQ(alice.TrashFolder().Count(), 0);  // the purge still ran
    EXPECT_THAT(Status("FETCH"), ElementsAre("\tFETCH\tAlice\tAccepted=1 Trashed=0 Quarantined=0 Rejected=0 Purged=1 Errors=0"));
    const auto progress = Progress();
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), "[Alice] Processing retrieved messages");  // no mailbot, no "Done"
    EXPECT_EQ(std::count(progress.begin(), progress.end(), "[Alice] Purging trash"), 1);

    // After a stop a filtering run does nothing until the account is fetched again.
    FilterMessages(alice);
    EXPECT_TRUE(Status("FILTER").empty());
    Engine().OnStatusText.Clear();
    FetchMail(alice, Engine().Log());
    EXPECT_FALSE(alice.StopRequested());
    EXPECT_EQ(Subjects(alice.VorlaFolder()), (std::vector<std::string>{"first", "second", "third"}));
}

TEST_F(FetchCycleTest, BusyOrSwitchedOffAccountsAreSkippedWithoutATrace) {
    m_server->AddMessage("alice", Mail("waiting"));
    TZivadAccount& alice = Alice();
    int starts = 0;
    Engine().OnFetchStart.Set([&](const std::string&) { ++starts; });
    alice.SetBusy(true);  // another run, or the accounts editor
    alice.RequestStop();
    FetchMail(alice, Engine().Log());
    EXPECT_TRUE(alice.StopRequested());  // not even the stop request was touched
    alice.SetBusy(false);
    alice.Edit([&](TAccountSettings& s) { s.enablefetch = false; });
    FetchMail(alice, Engine().Log());
    EXPECT_EQ(starts, 0);
    EXPECT_TRUE(Status("FETCH").empty());
    EXPECT_FALSE(FileExists(Engine().Log().FileName()));
    EXPECT_EQ(OnServer("alice"), 1u);
    EXPECT_FALSE(alice.Busy());
}

TEST_F(FetchCycleTest, RunAllFetchesEveryAccountOnAWorkerInListOrder) {
    m_server->AddMessage("alice", Mail("for alice"));
    m_server->AddMessage("bob", Mail("for bob"));
    m_server->AddMessage("carol", Mail("for carol"));
    for (auto* user : {"alice", "bob", "carol"}) {
        std::string name = user;
        name[0] = static_cast<char>(name[0] - 'a' + 'A');
        NewAccount(name, user, std::string(user) + "pw", m_server->Port()).Edit([](TAccountSettings& s) { s.enablefilters = false; });
    }
    const std::thread::id ui = std::this_thread::get_id();
    std::vector<std::string> order;
    std::atomic<bool> pumped{false};
    Engine().OnFetchStart.Set([&](const std::string& folder) {
        TZivadAccount& account = *Engine().Accounts().FindByFolder(folder);
        EXPECT_NE(std::this_thread::get_id(), ui);
        order.push_back(account.Settings()->name);
        if (account.Settings()->name != "Bob") return;
        // The UI thread keeps running its events while it waits: this call must come round.
        std::atomic<bool> ran{false};
        m_queue.Post([&] {
            ran = true;
            pumped = true;
        });
        for (int i = 0; i < 500 && !ran; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    });
    int runEnds = 0;
    Engine().OnRunEnd.Set([&](TZivad&) { ++runEnds; });
    Engine().SetTimerEnabled(true);
    Engine().RunAll();

    EXPECT_EQ(order, (std::vector<std::string>{"Alice", "Bob", "Carol"}));
    EXPECT_TRUE(pumped);
    EXPECT_EQ(runEnds, 1);
    EXPECT_TRUE(Engine().TimerEnabled());
    EXPECT_EQ(Status("FETCH").size(), 3u);
    for (auto* user : {"alice", "bob", "carol"}) EXPECT_EQ(OnServer(user), 0u) << user;
    EXPECT_EQ(Engine().Accounts().FindByName("Carol")->VorlaFolder().Count(), 1);
}

TEST_F(FetchCycleTest, StopDuringTheSecondOfThreeAccountsEndsTheRunAfterIt) {
    for (auto* user : {"alice", "bob", "carol"}) {
        m_server->AddMessage(user, Mail("1"));
        m_server->AddMessage(user, Mail("2"));
        std::string name = user;
        name[0] = static_cast<char>(name[0] - 'a' + 'A');
        NewAccount(name, user, std::string(user) + "pw", m_server->Port()).Edit([](TAccountSettings& s) { s.enablefilters = false; });
    }
    Engine().OnStatusText.Set([&](const std::string& text) {
        // Stop is a UI command: the worker hands it over and waits until it has run there.
        if (text != "[Bob] Retrieving header 1") return;
        std::atomic<bool> stopped{false};
        m_queue.Post([&] {
            Engine().Stop();
            stopped = true;
        });
        for (int i = 0; i < 500 && !stopped; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    });
    int runEnds = 0;
    Engine().OnRunEnd.Set([&](TZivad&) { ++runEnds; });
    Engine().SetTimerEnabled(false);
    Engine().RunAll();

    EXPECT_EQ(runEnds, 1);
    EXPECT_FALSE(Engine().TimerEnabled());
    EXPECT_EQ(OnServer("alice"), 0u);
    EXPECT_EQ(OnServer("carol"), 2u);  // never started
    const auto fetches = Status("FETCH");
    ASSERT_EQ(fetches.size(), 2u);
    EXPECT_EQ(fetches[0].rfind("\tFETCH\tAlice\t", 0), 0u);
    EXPECT_EQ(fetches[1].rfind("\tFETCH\tBob\t", 0), 0u);
    EXPECT_EQ(OnServer("bob"), 2u);  // the header just retrieved was not handled
    EXPECT_EQ(Engine().Accounts().FindByName("Bob")->VorlaFolder().Count(), 0);
}

TEST_F(FetchCycleTest, FailedLoginIsLoggedAndThePurgeAndProcessingStillRun) {
    TZivadAccount& alice = NewAccount("Alice", "alice", "wrong", m_server->Port());
    Engine().SetPurgeDays(1);
    TMailMessage old;
    old.LoadFromMailText("Subject: old\nDate: Mon, 4 Mar 2019 10:00:00 +0000\n\nx\n");
    alice.TrashFolder().AddMessage(old, "");
    FetchMail(alice, Engine().Log());
    const auto events = LogEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].rfind("Alice\tError - Alice - PASS refused: -ERR", 0), 0u) << events[0];
    EXPECT_THAT(Status("FETCH"), ElementsAre("\tFETCH\tAlice\tAccepted=0 Trashed=0 Quarantined=0 Rejected=0 Purged=1 Errors=1"));
    EXPECT_EQ(Progress().back(), "[Alice] Done");
}

}  // namespace
}  // namespace vorla
