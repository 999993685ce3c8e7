#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <set>
#include <thread>

#include "engine/FetchCycle.h"
#include "net/PopServer.h"
#include "support/DovecotServer.h"
#include "support/RawPopClient.h"
#include "support/SmtpServer.h"
#include "engine/FetchCycleFixture.h"

// The account list changed by the UI thread (an editor deleting, editing and reloading
// accounts) while other threads work with the accounts: a fetch from Dovecot, a mail client's
// session on the local server (also in proxy mode), a queue pass to an SMTP server, and a
// click handled while a filtering pass runs. Run under ASan and TSan as well: nothing may
// crash or race, and no message may be lost or filed twice.
namespace vorla {
namespace {

using namespace std::chrono_literals;
using test::Mail;
using test::TDovecotServer;

class AccountsUnderLoadTest : public test::FetchFixture {
protected:
    // The editor's Cancel: every account dropped and read again from disk.
    void Reload() {
        Engine().Accounts().Clear();
        Engine().Accounts().LoadAll();
    }

    static std::multiset<std::string> SubjectSet(TZivadMessageCollection& folder) {
        const std::vector<std::string> subjects = Subjects(folder);
        return {subjects.begin(), subjects.end()};
    }

    static std::multiset<std::string> Numbered(const std::string& prefix, int count) {
        std::multiset<std::string> subjects;
        for (int i = 1; i <= count; ++i) subjects.insert(prefix + " " + std::to_string(i));
        return subjects;
    }

    // Waits, running the UI thread's events, until done or a bounded time has passed.
    bool PumpUntil(const std::function<bool()>& done) { return m_queue.ProcessEventsUntil(done, 20s); }
};

TEST_F(AccountsUnderLoadTest, FetchRunsOnWhileAccountsAreDeletedEditedAndReloaded) {
    const std::string why = TDovecotServer::Unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    TDovecotServer server({{"alice", "alicepw"}, {"bob", "bobpw"}, {"carol", "carolpw"}});
    constexpr int kCount = 30;
    for (int i = 1; i <= kCount; ++i) {
        server.AddMessage("alice", Mail("alice " + std::to_string(i)));
        server.AddMessage("bob", Mail("bob " + std::to_string(i)));
    }
    for (auto [name, user] : {std::pair{"Alice", "alice"}, std::pair{"Bob", "bob"}, std::pair{"Carol", "carol"}}) {
        TZivadAccount& account = NewAccount(name, user, std::string(user) + "pw", server.Port());
        account.Edit([](TAccountSettings& s) { s.enablefilters = false; });  // every message accepted
        account.Save();
    }
    const std::string carolFolder = Engine().Accounts().FindByName("Carol")->AccountFolder();

    // Each fetch, at its tenth header, hands the UI thread an editor's work: the UI thread
    // runs it from inside RunAll's wait while the worker goes on fetching.
    std::atomic<int> edits{0};
    Engine().OnStatusText.Set([&](const std::string& text) {
        if (text.find("Retrieving header 10") == std::string::npos) return;
        m_queue.Post([&, who = text.substr(1, text.find(']') - 1)] {
            TZivadAccounts& list = Engine().Accounts();
            const TZivadAccount* fetched = nullptr;  // held by the fetch's worker, not by us
            if (TAccountPtr account = list.FindByName(who)) {
                account->Edit([](TAccountSettings& s) { s.awayText = "edited while fetching"; });
                fetched = account.get();
            }
            if (TAccountPtr carol = list.FindByName("Carol")) list.Delete(carol->Index());
            Reload();
            // The account in use was taken up again by the reload, not made a second time.
            EXPECT_EQ(list.FindByName(who).get(), fetched) << who;
            ++edits;
        });
    });
    Engine().RunAll();

    EXPECT_EQ(edits, 2);  // once in each fetch
    TZivadAccounts& list = Engine().Accounts();
    ASSERT_EQ(list.Count(), 2);  // the deleted account did not come back with the reloads
    EXPECT_FALSE(DirectoryExists(carolFolder));
    EXPECT_EQ(SubjectSet(list.FindByName("Alice")->VorlaFolder()), Numbered("alice", kCount));
    EXPECT_EQ(SubjectSet(list.FindByName("Bob")->VorlaFolder()), Numbered("bob", kCount));
    EXPECT_TRUE(server.MessageFiles("alice").empty());
    EXPECT_TRUE(server.MessageFiles("bob").empty());
    // The reload read the settings from disk again: the unsaved edit is gone.
    EXPECT_NE(list.FindByName("Alice")->Settings()->awayText, "edited while fetching");

    // Nothing is fetched twice by the next run: what was seen survived the reloads.
    for (int i = 1; i <= 3; ++i) server.AddMessage("alice", Mail("late " + std::to_string(i)));
    Engine().OnStatusText.Clear();
    Engine().RunAll();
    EXPECT_EQ(list.FindByName("Alice")->VorlaFolder().Count(), kCount + 3);
}

TEST_F(AccountsUnderLoadTest, SessionKeepsTheAccountItLoggedInToThroughReloadAndDelete) {
    TZivadAccount& account = NewAccount("Dana", "dana", "danapw", 110);
    for (int i = 1; i <= 3; ++i) {
        TMailMessage message;
        message.LoadFromMailText(Mail("kept " + std::to_string(i)));
        account.VorlaFolder().AddMessage(message, "accepted");
    }
    const std::string folder = account.AccountFolder();
    const std::uint16_t port = test::UnusedLoopbackPort();
    Engine().PopServer().SetPort(port);
    Engine().PopServer().SetActive(true);
    ASSERT_TRUE(Engine().PopServer().Active());

    {
        test::TRawPopClient client(port);
        EXPECT_EQ(client.ReadLine().rfind("+OK", 0), 0u);
        EXPECT_EQ(client.Command("USER dana"), "+OK Password required");
        EXPECT_EQ(client.Command("PASS danapw"), "+OK Login OK");
        Reload();  // the session's account is taken up again by the reload, not made anew
        EXPECT_EQ(client.Command("DELE 1"), "+OK");
        EXPECT_EQ(client.Command("QUIT"), "+OK Closing communication channel");
        ASSERT_TRUE(client.WaitClosed());
    }
    EXPECT_EQ(SubjectSet(Engine().Accounts().FindByName("Dana")->VorlaFolder()),
              (std::multiset<std::string>{"kept 2", "kept 3"}));

    test::TRawPopClient client(port);
    client.ReadLine();
    client.Command("USER dana");
    ASSERT_EQ(client.Command("PASS danapw"), "+OK Login OK");
    Engine().Accounts().Delete(0);  // deleted under the open session
    EXPECT_TRUE(DirectoryExists(folder));  // still in use
    EXPECT_EQ(client.Command("STAT").rfind("+OK 2 ", 0), 0u);
    EXPECT_EQ(client.Command("RETR 1").rfind("+OK", 0), 0u);
    client.ReadUntil("\r\n.\r\n");
    EXPECT_EQ(client.Command("DELE 2"), "+OK");
    EXPECT_EQ(client.Command("QUIT"), "+OK Closing communication channel");
    ASSERT_TRUE(client.WaitClosed());
    // The last user let go: the folder goes with it (the session thread ends just after).
    for (int i = 0; i < 200 && DirectoryExists(folder); ++i) std::this_thread::sleep_for(25ms);
    EXPECT_FALSE(DirectoryExists(folder));
    Engine().Accounts().LoadAll();
    EXPECT_EQ(Engine().Accounts().Count(), 0);
}

TEST_F(AccountsUnderLoadTest, ProxyLoginFetchesWhileTheListIsReloaded) {
    const std::string why = TDovecotServer::Unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    TDovecotServer server(std::vector<test::TPopUser>{{"erin", "erinpw"}});
    constexpr int kCount = 25;
    for (int i = 1; i <= kCount; ++i) server.AddMessage("erin", Mail("proxied " + std::to_string(i)));
    TZivadAccount& erin = NewAccount("Erin", "erin", "erinpw", server.Port());
    erin.Edit([](TAccountSettings& s) { s.enablefilters = false; });  // every message accepted
    erin.Save();
    const std::uint16_t port = test::UnusedLoopbackPort();
    Engine().SetProxyEnabled(true);
    Engine().PopServer().SetPort(port);
    Engine().PopServer().SetActive(true);
    ASSERT_TRUE(Engine().PopServer().Active());

    std::atomic<bool> loggedIn{false};  // the client has its answer (good or not)
    std::string stat;
    std::string loginReply;
    std::thread mailClient([&] {
        test::TRawPopClient client(port);
        client.ReadLine();
        client.Command("USER erin");
        const std::string reply = client.Command("PASS erinpw", 60s);  // the proxy fetch runs first
        stat = client.Command("STAT");
        client.Command("QUIT");
        loginReply = reply;
        loggedIn = true;
    });
    // The editor reloads the list again and again while the login's fetch runs on the
    // connection's thread (bounded: the fetch ends by itself).
    for (int i = 0; i < 400 && !loggedIn; ++i) {
        Engine().Accounts().ReloadAll();  // a login meanwhile never finds the list empty
        m_queue.ProcessEvents();
        std::this_thread::sleep_for(5ms);
    }
    mailClient.join();
    EXPECT_EQ(loginReply, "+OK Login OK");
    EXPECT_EQ(stat.rfind("+OK " + std::to_string(kCount) + " ", 0), 0u) << stat;
    EXPECT_EQ(SubjectSet(Engine().Accounts().FindByName("Erin")->VorlaFolder()), Numbered("proxied", kCount));
    EXPECT_TRUE(server.MessageFiles("erin").empty());
}

TEST_F(AccountsUnderLoadTest, QueuePassSendsEachMessageOnceThroughReloadsAndStopsForADelete) {
    test::TSmtpServerSetup setup;
    setup.dataDelaySeconds = 0.05;  // a pass that takes a while
    test::TSmtpServer smtp(setup);
    auto queueMail = [&smtp](TZivadAccount& account, const std::string& prefix, int count) {
        account.Edit([&](TAccountSettings& s) {
            s.senddirect = false;
            s.smtpserver = "127.0.0.1";
            s.smtpport = smtp.Port();
        });
        for (int i = 1; i <= count; ++i) {
            TMailMessage message;
            message.LoadFromMailText("From: " + account.Settings()->email + "\nTo: friend@example.org\nSubject: " +
                                     prefix + " " + std::to_string(i) + "\n\nHello.\n");
            account.QueueFolder().AddMessage(message, "");
        }
        account.Save();
    };
    TZivadAccount& fay = NewAccount("Fay", "fay", "faypw", 110);
    TZivadAccount& gus = NewAccount("Gus", "gus", "guspw", 110);
    constexpr int kCount = 12;
    queueMail(fay, "fay", kCount);
    queueMail(gus, "gus", kCount);
    const std::string gusFolder = gus.AccountFolder();

    StartSendQueue(fay);
    StartSendQueue(gus);
    // While both passes send: reloads, an edit, and then Gus deleted (its pass is stopped).
    ASSERT_TRUE(PumpUntil([&] { return smtp.Deliveries().size() >= 2; }));
    Reload();
    Engine().Accounts().FindByName("Fay")->Edit([](TAccountSettings& s) { s.smtpport = 1; });
    Reload();
    Engine().Accounts().Delete(Engine().Accounts().FindByName("Gus")->Index());
    ASSERT_TRUE(PumpUntil([] { return RunningQueueSenders() == 0; }));

    std::multiset<std::string> fayDelivered;
    for (const test::TSmtpReceived& received : smtp.Deliveries()) {
        TMailMessage message;
        message.LoadFromMailText(received.data);
        if (message.Subject.rfind("fay ", 0) == 0) fayDelivered.insert(message.Subject);
    }
    EXPECT_EQ(fayDelivered, Numbered("fay", kCount));  // every one, none twice
    EXPECT_EQ(Engine().Accounts().FindByName("Fay")->QueueFolder().Count(), 0);
    EXPECT_FALSE(DirectoryExists(gusFolder));
}

TEST_F(AccountsUnderLoadTest, ClickDuringAFilteringPassWaitsForThePass) {
    TZivadAccount& hal = NewAccount("Hal", "hal", "halpw", 110);
    AddRule(hal.Filters(), "junk", TFilterAction::Reject, TFilterSection::Subject);
    AddRule(hal.Filters(), "fine", TFilterAction::Accept, TFilterSection::Subject);
    constexpr int kCount = 40;
    for (int i = 1; i <= kCount; ++i) {
        TMailMessage message;
        message.LoadFromMailText(Mail((i % 2 ? "junk " : "fine ") + std::to_string(i)));
        hal.VorlaFolder().AddMessage(message, "accepted");
    }
    // The clicks a user may make while "Run Filters" runs: delete the first message (as the
    // main window's Delete), refresh the folder. One is posted before the run, one from the
    // pass itself (its first log line); both are delivered while the pass runs.
    std::atomic<bool> passRunning{false};
    Engine().OnFilterStart.Set([&](const std::string&) { passRunning = true; });
    Engine().OnFilterEnd.Set([&](const std::string&) { passRunning = false; });
    int clicks = 0;
    int clicksDuringTheRun = 0;
    auto click = [&] {
        if (passRunning) ++clicksDuringTheRun;
        TZivadMessageCollection& vorla = hal.VorlaFolder();
        std::scoped_lock hold(vorla.Lock());  // waits while a pass holds the folder
        if (TZivadMessageItem* first = vorla.Item(0)) first->Deleted = true;
        vorla.Purge();
        vorla.Reload();
        ++clicks;
    };
    m_queue.Post(click);
    std::atomic<bool> posted{false};
    Engine().Log().OnLogChanged.Set([&](TZivadLog&) {
        if (!posted.exchange(true)) m_queue.Post(click);
    });
    FilterMessages(hal);
    Engine().Log().OnLogChanged.Clear();
    EXPECT_GE(clicksDuringTheRun, 1);  // the one pending when the run began, at least
    m_queue.ProcessEvents();           // one posted as the worker ended may come after it
    EXPECT_EQ(clicks, 2);

    // Every message is in exactly one folder, where its rule sends it, but the two deleted.
    TZivadMessageCollection& vorla = hal.VorlaFolder();
    std::set<std::string> all;
    for (const std::string& subject : Subjects(vorla)) {
        EXPECT_EQ(subject.rfind("fine ", 0), 0u) << subject;
        all.insert(subject);
    }
    for (const std::string& subject : Subjects(hal.TrashFolder())) {
        EXPECT_EQ(subject.rfind("junk ", 0), 0u) << subject;
        EXPECT_TRUE(all.insert(subject).second) << subject;
    }
    EXPECT_EQ(hal.QuarantineFolder().Count(), 0);
    // Each click removed the first message it found, if the folder still held one then.
    EXPECT_GE(all.size(), static_cast<std::size_t>(kCount - 2));
    EXPECT_LE(all.size(), static_cast<std::size_t>(kCount - 1));
}

}  // namespace
}  // namespace vorla
