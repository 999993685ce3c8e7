#include "net/SendQueue.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "mail/MailMessage.h"
#include "mail/MessageStore.h"
#include "net/SendQueues.h"
#include "platform/Files.h"
#include "support/DnsTestServer.h"
#include "support/SmtpServer.h"
#include "support/TempDir.h"

namespace vorla {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

constexpr char kHeadTail[] =
    "Date: Mon, 07 Dec 2026 12:22:26 +0100\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: text/plain; charset=utf-8\r\n"
    "Content-Transfer-Encoding: 7bit\r\n";

// A queued message file as the responses write them.
std::string QueuedText(const std::string& to, const std::string& subject, const std::string& body = "Hello\r\n") {
    return "From: Vorla <me@example.org>\r\n" + (to.empty() ? std::string() : "To: " + to + "\r\n") +
           "Subject: " + subject + "\r\n" + kHeadTail + "\r\n" + body + ".\r\n";
}

// Bounded wait for a condition that another thread or process makes true.
template <typename F>
bool WaitFor(F done, std::chrono::milliseconds limit = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

class SendQueueTest : public ::testing::Test {
protected:
    std::string QueueFolder() const { return m_dir.Path() + "queue/"; }
    std::string WorkingFolder() const { return QueueFolder() + "temp/"; }

    void Queue(const std::string& name, const std::string& text) {
        ForceDirectories(QueueFolder());
        test::WriteFile(QueueFolder() + name, text);
    }
    TZivadMessageCollection& Collection() {
        if (!m_queue) m_queue = std::make_unique<TZivadMessageCollection>(QueueFolder());
        return *m_queue;
    }
    TSendQueueSettings Settings(std::uint16_t port) const {
        TSendQueueSettings s;
        s.smtpServer = "127.0.0.1";
        s.smtpPort = port;
        s.accountName = "Work";
        s.accountEmail = "me@example.org";
        s.connectTimeout = 2s;
        s.replyTimeout = 5s;
        return s;
    }
    TSendQueue::TStatusSink Sink() {
        return [this](const std::string& line) {
            std::scoped_lock lock(m_mutex);
            m_status.push_back(line);
        };
    }
    std::vector<std::string> Status() {
        std::scoped_lock lock(m_mutex);
        return m_status;
    }
    // Runs one pass the way its owner does: the pass, then the reload.
    void RunPass(const TSendQueueSettings& settings, std::stop_token stop = {}) {
        TSendQueue pass(settings, Collection(), Sink());
        if (pass.Run(stop)) Collection().Reload();
    }
    static std::vector<std::string> Files(const std::string& folder) { return FindFiles(folder, "*"); }
    std::string Sent(const std::string& recipient) const {
        return "\tSEND\tWork\tSent mail from me@example.org to " + recipient;
    }

    test::TTempDir m_dir;
    std::unique_ptr<TZivadMessageCollection> m_queue;
    std::mutex m_mutex;  // guards m_status
    std::vector<std::string> m_status;
};

TEST_F(SendQueueTest, SendsEveryMessageWithItsWholeEnvelopeAndExactText) {
    test::TSmtpServerSetup setup;
    setup.users = {{"user", "secret"}};
    test::TSmtpServer server(setup);
    Queue("00001.msg",
          "From: Vorla <me@example.org>\r\n"
          "To: a@example.net, B <b@example.net>\r\n"
          "Cc: c@example.net\r\n"
          "Bcc: hidden@example.com,\r\n other@example.com\r\n"
          "Subject: Dots\r\n"
          "X-Mailer: Something Else\r\n" +
              std::string(kHeadTail) +
              "\r\n"
              "first\r\n"
              "..\r\n"
              "...two\r\n"
              "\r\n"
              ".\r\n");
    Queue("00002.msg", QueuedText("z@example.net", "Second"));
    TSendQueueSettings settings = Settings(server.Port());
    settings.smtpLoginName = "user";
    settings.smtpPassword = "secret";
    RunPass(settings);

    const auto received = server.Deliveries();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].helo, "me@example.org");
    EXPECT_EQ(received[0].login, "user");
    EXPECT_EQ(received[0].mailFrom, "me@example.org");
    EXPECT_THAT(received[0].rcptTos, ElementsAre("a@example.net", "b@example.net", "c@example.net",
                                                 "hidden@example.com", "other@example.com"));
    EXPECT_EQ(received[0].data,
              "From: Vorla <me@example.org>\r\n"
              "To: a@example.net, B <b@example.net>\r\n"
              "Cc: c@example.net\r\n"
              "Subject: Dots\r\n" +
                  std::string(kHeadTail) +
                  "X-Mailer: Vorla\r\n"
                  "\r\n"
                  "first\r\n"
                  ".\r\n"
                  "..two\r\n"
                  "\r\n");
    EXPECT_THAT(received[1].rcptTos, ElementsAre("z@example.net"));
    EXPECT_THAT(received[1].data, HasSubstr("\r\nX-Mailer: Vorla\r\n\r\nHello\r\n"));
    EXPECT_EQ(Status(), (std::vector<std::string>{Sent("a@example.net"), Sent("z@example.net")}));
    EXPECT_THAT(FindFiles(QueueFolder(), "*.msg"), IsEmpty());
    EXPECT_THAT(Files(WorkingFolder()), IsEmpty());
    EXPECT_EQ(Collection().Count(), 0);
}

TEST_F(SendQueueTest, EachFailureLeavesTheMessageQueuedByteForByte) {
    struct TRow {
        const char* name;
        std::string to;
        std::function<void(TSendQueueSettings&, std::uint16_t port)> change;
        std::string error;   // the status line's text after "Error: " (its start, for system texts)
        bool serverContacted;
    };
    test::TSmtpServerSetup setup;
    setup.rcptReplies = {{"refused@example.net", "550 5.1.1 No such user"}};
    setup.dataReplies = {{"later@example.net", "451 4.3.0 Try again later"}};
    const std::vector<TRow> rows = {
        {"no To at all", "", [](auto&, auto) {}, "Invalid recipient address", false},
        {"first To without at sign", "postmaster, b@example.net", [](auto&, auto) {}, "Invalid recipient address",
         false},
        {"no SMTP server", "a@example.net", [](auto& s, auto) { s.smtpServer.clear(); },
         "Mail exchange not found for example.net", false},
        {"direct without DNS host", "a@example.net", [](auto& s, auto) { s.sendDirect = true; },
         "DNS host not specified", false},
        {"port out of range", "a@example.net", [](auto& s, auto) { s.smtpPort = 70000; }, "Invalid SMTP port 70000",
         false},
        {"recipient refused", "refused@example.net", [](auto&, auto) {}, "550 5.1.1 No such user", true},
        {"data refused for now", "later@example.net", [](auto&, auto) {}, "451 4.3.0 Try again later", true},
        {"connection refused", "a@example.net", [](auto& s, auto) { s.smtpPort = test::UnusedLoopbackPort(); },
         "Cannot connect to 127.0.0.1 port ", false},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.name);
        test::TSmtpServer server(setup);
        m_status.clear();
        m_queue.reset();
        DeleteTree(QueueFolder());
        const std::string text = QueuedText(row.to, "Kept");
        Queue("00001.msg", text);
        TSendQueueSettings settings = Settings(server.Port());
        row.change(settings, server.Port());
        RunPass(settings);

        const auto status = Status();
        ASSERT_EQ(status.size(), 1u);
        EXPECT_EQ(status[0].rfind("\tSEND\tWork\tError: " + row.error, 0), 0u) << status[0];
        EXPECT_EQ(server.Events().empty(), !row.serverContacted);
        EXPECT_TRUE(server.Deliveries().empty());
        EXPECT_EQ(FindFiles(QueueFolder(), "*.msg"), std::vector<std::string>{"00001.msg"});
        EXPECT_EQ(test::ReadFile(QueueFolder() + "00001.msg"), text);
        EXPECT_THAT(Files(WorkingFolder()), IsEmpty());
        EXPECT_EQ(Collection().Count(), 1);
    }
}

TEST_F(SendQueueTest, OneFailureOfThreeLeavesOnlyItAs00001) {
    test::TSmtpServerSetup setup;
    setup.rcptReplies = {{"refused@example.net", "550 5.1.1 No such user"}};
    test::TSmtpServer server(setup);
    Queue("00001.msg", QueuedText("a@example.net", "One"));
    Queue("00002.msg", QueuedText("refused@example.net", "Two"));
    Queue("00003.msg", QueuedText("c@example.net", "Three"));
    Collection();  // loaded before the pass, as the account's folder is
    RunPass(Settings(server.Port()));
    EXPECT_EQ(server.Deliveries().size(), 2u);
    EXPECT_EQ(Files(QueueFolder()), std::vector<std::string>{"00001.msg"});
    EXPECT_EQ(test::ReadFile(QueueFolder() + "00001.msg"), QueuedText("refused@example.net", "Two"));
    EXPECT_EQ(Status(), (std::vector<std::string>{Sent("a@example.net"),
                                                  "\tSEND\tWork\tError: 550 5.1.1 No such user",
                                                  Sent("c@example.net")}));
    ASSERT_EQ(Collection().Count(), 1);
}

TEST_F(SendQueueTest, WhatAnEarlierPassLeftInTheWorkingFolderIsSentNotDeleted) {
    test::TSmtpServer server;
    // A pass killed half-way: two files already moved, one newly queued under a name that one
    // of them had, and the rubbish a crash leaves.
    ForceDirectories(WorkingFolder());
    test::WriteFile(WorkingFolder() + "00001.msg", QueuedText("left1@example.net", "Left 1"));
    test::WriteFile(WorkingFolder() + "00002.msg", QueuedText("left2@example.net", "Left 2"));
    test::WriteFile(WorkingFolder() + "00003.msg.tmp", "half written");
    test::WriteFile(WorkingFolder() + ".hidden", "not ours");
    Queue("00001.msg", QueuedText("new@example.net", "New"));
    Collection();
    RunPass(Settings(server.Port()));

    std::vector<std::string> recipients;
    for (const auto& d : server.Deliveries()) recipients.push_back(d.rcptTos.at(0));
    std::sort(recipients.begin(), recipients.end());
    EXPECT_EQ(recipients, (std::vector<std::string>{"left1@example.net", "left2@example.net", "new@example.net"}));
    EXPECT_EQ(Files(WorkingFolder()), std::vector<std::string>{".hidden"});
    EXPECT_THAT(FindFiles(QueueFolder(), "*.msg"), IsEmpty());
    EXPECT_EQ(Status().size(), 3u);
}

TEST_F(SendQueueTest, AStopEndsTheSendingAndTheRestGoesBackInOrder) {
    test::TSmtpServer server;
    for (int i = 1; i <= 5; ++i) Queue("0000" + std::to_string(i) + ".msg", QueuedText("a@example.net", std::to_string(i)));
    std::stop_source stop;
    TSendQueue pass(Settings(server.Port()), Collection(), [&](const std::string& line) {
        Sink()(line);
        stop.request_stop();
    });
    EXPECT_TRUE(pass.Run(stop.get_token()));
    Collection().Reload();
    EXPECT_EQ(server.Deliveries().size(), 1u);
    EXPECT_EQ(Status(), std::vector<std::string>{Sent("a@example.net")});
    ASSERT_EQ(FindFiles(QueueFolder(), "*.msg").size(), 4u);
    for (int i = 1; i <= 4; ++i)
        EXPECT_EQ(test::ReadFile(QueueFolder() + "0000" + std::to_string(i) + ".msg"),
                  QueuedText("a@example.net", std::to_string(i + 1)));
    EXPECT_THAT(Files(WorkingFolder()), IsEmpty());
}

TEST_F(SendQueueTest, AnIdlePassLeavesTheCollectionAlone) {
    ForceDirectories(QueueFolder());
    int changes = 0;
    Collection().OnChange.Set([&](TZivadMessageCollection&) { ++changes; });
    TSendQueue pass(Settings(1), Collection(), Sink());
    EXPECT_FALSE(pass.Run());
    EXPECT_EQ(changes, 0);
    EXPECT_TRUE(DirectoryExists(WorkingFolder()));
    EXPECT_THAT(Status(), IsEmpty());
}

TEST_F(SendQueueTest, DirectDeliveryGoesToTheMailExchangerWithoutLogin) {
    struct TRow {
        const char* name;
        bool mxKnown;
        std::string smtpServer;
        std::string error;  // "" = delivered
    };
    const std::vector<TRow> rows = {
        // Nothing listens on 127.0.0.9: only the exchanger can take the message.
        {"exchanger named", true, "127.0.0.9", ""},
        {"no exchanger: the SMTP server, still without login", false, "127.0.0.1", ""},
        {"no exchanger, no SMTP server", false, "", "Error: Mail exchange not found for example.net"},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.name);
        test::TDnsServerSpec dnsSpec;
        dnsSpec.address = "127.0.0.3";
        if (row.mxKnown)
            dnsSpec.answers = {{"example.net", "MX", "NOERROR", {"example.net. 60 IN MX 10 127.0.0.1."}, {}, {}}};
        test::TDnsTestServers dns({dnsSpec});
        test::TSmtpServerSetup setup;
        setup.users = {{"user", "secret"}};
        test::TSmtpServer server(setup);
        m_status.clear();
        m_queue.reset();
        DeleteTree(QueueFolder());
        Queue("00001.msg", QueuedText("a@example.net", "Direct"));

        TSendQueueSettings settings = Settings(server.Port());
        settings.sendDirect = true;
        settings.dnsHost = "127.0.0.3";
        settings.dnsPort = dns.Port();
        settings.smtpServer = row.smtpServer;
        settings.smtpLoginName = "user";
        settings.smtpPassword = "secret";
        RunPass(settings);

        const auto queries = dns.Queries();
        ASSERT_EQ(queries.size(), 1u);
        EXPECT_EQ(queries[0].qname, "example.net");
        EXPECT_EQ(queries[0].qtype, "MX");
        EXPECT_TRUE(queries[0].recursionDesired);
        const auto received = server.Deliveries();
        if (row.error.empty()) {
            ASSERT_EQ(received.size(), 1u);
            EXPECT_EQ(received[0].login, "");
            EXPECT_EQ(Status(), std::vector<std::string>{Sent("a@example.net")});
            for (const std::string& event : server.Events()) EXPECT_THAT(event, ::testing::Not(HasSubstr("AUTH")));
        } else {
            EXPECT_TRUE(received.empty());
            EXPECT_EQ(Status(), std::vector<std::string>{"\tSEND\tWork\t" + row.error});
            EXPECT_EQ(FindFiles(QueueFolder(), "*.msg").size(), 1u);
        }
    }
}

TEST_F(SendQueueTest, BlindCopiesHeldInMemoryGoIntoTheEnvelopeOnly) {
    test::TSmtpServer server;
    TMailMessage message;
    message.LoadFromText(QueuedText("a@example.net", "Blind"));
    message.BccList.SetText("x@example.com, Y <y@example.com>");
    TSendQueue pass(Settings(server.Port()), Collection(), Sink());
    EXPECT_EQ(pass.Send(message), "a@example.net");
    const auto received = server.Deliveries();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_THAT(received[0].rcptTos, ElementsAre("a@example.net", "x@example.com", "y@example.com"));
    EXPECT_THAT(received[0].data, ::testing::Not(HasSubstr("example.com")));
}

// --- The owner of the passes' threads ---

// The UI thread of these tests: calls posted from the senders run when Pump is called.
class TTestUiQueue {
public:
    void Post(std::function<void()> call) {
        {
            std::scoped_lock lock(m_mutex);
            m_calls.push_back(std::move(call));
        }
        m_wake.notify_all();
    }
    // Runs queued calls until done() or the limit; false on the limit.
    bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            std::unique_lock lock(m_mutex);
            if (!m_wake.wait_until(lock, deadline, [&] { return !m_calls.empty(); })) return done();
            auto call = std::move(m_calls.front());
            m_calls.pop_front();
            lock.unlock();
            call();
        }
        return true;
    }
    TSendQueues::TPost Poster() {
        return [this](std::function<void()> call) { Post(std::move(call)); };
    }

private:
    std::mutex m_mutex;  // guards m_calls
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_calls;
};

TEST_F(SendQueueTest, StatusAndReloadRunOnTheUiThreadAndThePassWaitsForThem) {
    test::TSmtpServer server;
    Queue("00001.msg", QueuedText("a@example.net", "One"));
    Queue("00002.msg", QueuedText("b@example.net", "Two"));
    TTestUiQueue ui;
    const auto uiThread = std::this_thread::get_id();
    std::vector<std::thread::id> statusThreads, changeThreads;
    Collection().OnChange.Set([&](TZivadMessageCollection&) { changeThreads.push_back(std::this_thread::get_id()); });
    TSendQueues senders;
    ASSERT_TRUE(senders.Start(Settings(server.Port()), Collection(),
                              [&](const std::string& line) {
                                  statusThreads.push_back(std::this_thread::get_id());
                                  Sink()(line);
                              },
                              ui.Poster()));
    // Until the UI thread has taken the first status line, the pass does not go on.
    ASSERT_TRUE(WaitFor([&] { return server.Deliveries().size() == 1; }));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(server.Deliveries().size(), 1u);
    EXPECT_TRUE(senders.Running(Collection()));

    ASSERT_TRUE(ui.PumpUntil([&] { return senders.Running() == 0; }));
    senders.Reap();
    EXPECT_EQ(server.Deliveries().size(), 2u);
    EXPECT_EQ(Status(), (std::vector<std::string>{Sent("a@example.net"), Sent("b@example.net")}));
    EXPECT_EQ(statusThreads, (std::vector<std::thread::id>{uiThread, uiThread}));
    ASSERT_FALSE(changeThreads.empty());
    EXPECT_EQ(changeThreads.back(), uiThread);  // the reload at the end
    EXPECT_EQ(Collection().Count(), 0);
    Collection().OnChange.Clear();
}

TEST_F(SendQueueTest, AStartDuringAPassMakesItRunOnceMore) {
    test::TSmtpServerSetup setup;
    setup.holdData = true;  // the pass stays in its dialogue until released below
    test::TSmtpServer server(setup);
    Queue("00001.msg", QueuedText("a@example.net", "First"));
    TSendQueues senders;
    ASSERT_TRUE(senders.Start(Settings(server.Port()), Collection(), Sink()));
    // The pass has taken its files and is in the dialogue when the next message is queued.
    ASSERT_TRUE(WaitFor([&] {
        for (const std::string& e : server.Events())
            if (e.rfind("DATA", 0) == 0) return true;
        return false;
    }));
    TMailMessage late;
    late.LoadFromText(QueuedText("late@example.net", "Late"));
    Collection().AddMessage(late, "");
    EXPECT_FALSE(senders.Start(Settings(server.Port()), Collection(), Sink()));
    EXPECT_FALSE(senders.Start(Settings(server.Port()), Collection(), Sink()));
    server.ReleaseData();
    ASSERT_TRUE(WaitFor([&] { return senders.Running() == 0; }));
    senders.Reap();
    const auto received = server.Deliveries();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[1].rcptTos, std::vector<std::string>{"late@example.net"});
    EXPECT_THAT(FindFiles(QueueFolder(), "*.msg"), IsEmpty());
    EXPECT_EQ(Collection().Count(), 0);
}

TEST_F(SendQueueTest, AnOwnerThatGoesWhileItsPassWaitsForTheUiLosesNothing) {
    test::TSmtpServer server;
    for (int i = 1; i <= 3; ++i) Queue("0000" + std::to_string(i) + ".msg", QueuedText("a@example.net", std::to_string(i)));
    TTestUiQueue ui;  // never pumped: the first status line is never taken
    const auto started = std::chrono::steady_clock::now();
    {
        TSendQueues senders;
        senders.Start(Settings(server.Port()), Collection(), Sink(), ui.Poster());
        ASSERT_TRUE(WaitFor([&] { return server.Deliveries().size() == 1; }));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, 15s);
    EXPECT_EQ(server.Deliveries().size(), 1u);
    EXPECT_EQ(FindFiles(QueueFolder(), "*.msg").size(), 2u);  // the unsent two, back in the queue
    EXPECT_THAT(Files(WorkingFolder()), IsEmpty());
    // The calls it had posted do nothing now.
    ui.PumpUntil([] { return false; }, 100ms);
    EXPECT_THAT(Status(), IsEmpty());
}

TEST_F(SendQueueTest, StopAndWaitForOneQueueReloadsIt) {
    test::TSmtpServerSetup setup;
    setup.dataDelaySeconds = 0.5;
    test::TSmtpServer server(setup);
    for (int i = 1; i <= 3; ++i) Queue("0000" + std::to_string(i) + ".msg", QueuedText("a@example.net", std::to_string(i)));
    TTestUiQueue ui;
    TSendQueues senders;
    senders.Start(Settings(server.Port()), Collection(), Sink(), ui.Poster());
    ASSERT_TRUE(WaitFor([&] { return !server.Events().empty(); }));
    senders.StopAndWait(&Collection());
    EXPECT_EQ(senders.Running(), 0);
    // Stopped in its first dialogue: nothing went out, all three are queued and listed.
    EXPECT_TRUE(server.Deliveries().empty());
    EXPECT_EQ(FindFiles(QueueFolder(), "*.msg").size(), 3u);
    EXPECT_EQ(Collection().Count(), 3);
}

TEST_F(SendQueueTest, ARelayLoginAsksThePasswordCommandEachTimeAndAFailureKeepsTheMailQueued) {
    // Counts its runs in a file and prints a token with the count: each login gets a fresh one.
    const std::string counter = m_dir.Path() + "runs";
    const std::string counting = "n=$(cat '" + counter + "' 2>/dev/null || echo 0); n=$((n+1)); echo $n > '" +
                                 counter + "'; printf 'tok-%s\\n' $n";
    struct TRow {
        const char* name;
        TSmtpAuth auth;
        std::string command;
        std::chrono::milliseconds timeout;
        bool stopSoon;                    // a stop request while the command runs
        std::vector<std::string> logins;  // the server's log of the logins
        std::string error;                // the one status line of a failure; "" when both are sent
    } rows[] = {
        {"a fresh token for each message", TSmtpAuth::XOAuth2, counting, 10s, false,
         {"AUTH XOAUTH2 user tok-1 ok", "AUTH XOAUTH2 user tok-2 ok"}, ""},
        {"a password for PLAIN", TSmtpAuth::Auto, "echo pw-from-keyring", 10s, false,
         {"AUTH PLAIN user pw-from-keyring ok", "AUTH PLAIN user pw-from-keyring ok"}, ""},
        {"a command that fails", TSmtpAuth::XOAuth2, "echo 'keyring is locked' >&2; echo tok-1; exit 3", 10s, false,
         {}, "Error: password command failed: exit status 3: keyring is locked"},
        {"a command that hangs past its time", TSmtpAuth::XOAuth2, "echo tok-1 >&2; sleep 30", 300ms, false, {},
         "Error: password command failed: no answer within "},
        {"a command that hangs until the stop", TSmtpAuth::XOAuth2, "sleep 30", 30s, true, {},
         "Error: password command failed: stopped"},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.name);
        test::TSmtpServerSetup setup;
        setup.users = {{"user", "pw-from-keyring"}};
        setup.tokens = {{"user", {"tok-1", "tok-2"}}};
        test::TSmtpServer server(setup);
        DeleteFile(counter);
        Queue("00001.msg", QueuedText("a@example.net", "First"));
        Queue("00002.msg", QueuedText("b@example.net", "Second"));
        Collection().Reload();
        {
            std::scoped_lock lock(m_mutex);
            m_status.clear();
        }
        TSendQueueSettings settings = Settings(server.Port());
        settings.smtpLoginName = "user";
        settings.smtpPassword = "";  // nothing stored: the command gives it
        settings.smtpAuth = row.auth;
        settings.smtpPasswordCommand = row.command;
        settings.passwordCommandTimeout = row.timeout;
        std::stop_source stop;
        std::jthread stopper;
        if (row.stopSoon)
            stopper = std::jthread([&stop] {
                std::this_thread::sleep_for(300ms);
                stop.request_stop();
            });
        RunPass(settings, stop.get_token());
        stopper = {};
        std::vector<std::string> logins;
        for (const std::string& event : server.Events())
            if (event.rfind("AUTH", 0) == 0) logins.push_back(event);
        EXPECT_EQ(logins, row.logins);
        if (row.error.empty()) {
            EXPECT_THAT(Status(), ElementsAre(Sent("a@example.net"), Sent("b@example.net")));
            EXPECT_EQ(server.Deliveries().size(), 2u);
            EXPECT_THAT(FindFiles(QueueFolder(), "*.msg"), IsEmpty());
        } else {
            // One line for the pass: the command is not asked again for the second message.
            ASSERT_EQ(Status().size(), 1u);
            EXPECT_THAT(Status()[0], ::testing::StartsWith("\tSEND\tWork\t" + row.error));
            EXPECT_THAT(server.Events(), IsEmpty());
            EXPECT_THAT(FindFiles(QueueFolder(), "*.msg"), ElementsAre("00001.msg", "00002.msg"));
            EXPECT_EQ(Collection().Count(), 2);
            for (const std::string& line : Status()) EXPECT_THAT(line, ::testing::Not(HasSubstr("tok-")));
            for (const std::string& name : FindFiles(QueueFolder(), "*.msg"))
                EXPECT_THAT(test::ReadFile(QueueFolder() + name), ::testing::Not(HasSubstr("tok-")));
        }
        EXPECT_THAT(Files(WorkingFolder()), IsEmpty());
        for (const std::string& name : FindFiles(QueueFolder(), "*.msg")) DeleteFile(QueueFolder() + name);
        Collection().Reload();
    }
}

}  // namespace
}  // namespace vorla
