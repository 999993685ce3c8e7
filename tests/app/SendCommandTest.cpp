#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "platform/Files.h"
#include "support/ProgramRun.h"
#include "support/SmtpServer.h"
#include "support/TempDir.h"

namespace vorla {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

// A home folder whose accounts send through the test's SMTP server.
class SendCommandTest : public ::testing::Test {
protected:
    std::string Home() const { return m_home.Path(); }
    std::string QueueOf(const std::string& folder) const { return Home() + "accounts/" + folder + "/queue/"; }

    void MakeAccount(const std::string& folder, const std::string& name, std::uint16_t port, bool enableSend = true) {
        ForceDirectories(QueueOf(folder));
        test::WriteFile(Home() + "accounts/" + folder + "/options.ini",
                        "[options]\r\nname=" + name + "\r\nemail=" + folder + "@example.org\r\nenablesend=" +
                            (enableSend ? "1" : "0") + "\r\nsenddirect=0\r\nsmtpserver=127.0.0.1\r\nsmtpport=" +
                            std::to_string(port) + "\r\n");
    }
    static std::string Message(const std::string& from, const std::string& to, const std::string& subject) {
        return "From: " + from + "\r\nTo: " + to + "\r\nSubject: " + subject +
               "\r\nDate: Mon, 07 Dec 2026 12:22:26 +0100\r\nMIME-Version: 1.0\r\n"
               "Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: 7bit\r\n\r\n"
               "Body of " + subject + "\r\n.\r\n";
    }
    static std::string Name(int position) {
        std::string digits = std::to_string(position);
        return std::string(5 - digits.size(), '0') + digits + ".msg";
    }
    test::TProgramResult Send(std::chrono::milliseconds timeout, const std::vector<std::string>& extra = {}) {
        std::vector<std::string> argv = {VORLA_BINARY, "--home", Home(), "send"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return test::RunProgram(argv, {}, timeout);
    }
    // The Subject of every message file in folder.
    static std::vector<std::string> Subjects(const std::string& folder) {
        std::vector<std::string> subjects;
        for (const std::string& name : FindFiles(folder, "*.msg")) {
            const std::string text = test::ReadFile(folder + name);
            const std::size_t at = text.find("\r\nSubject: ");
            subjects.push_back(at == std::string::npos ? "?" : text.substr(at + 11, text.find("\r\n", at + 11) - at - 11));
        }
        return subjects;
    }
    static std::string SubjectOf(const std::string& data) {
        const std::size_t at = data.find("\r\nSubject: ");
        return at == std::string::npos ? "?" : data.substr(at + 11, data.find("\r\n", at + 11) - at - 11);
    }

    test::TTempDir m_home;
};

TEST_F(SendCommandTest, SendsEveryAccountsQueueAndExitsWhenAllPassesHaveEnded) {
    test::TSmtpServerSetup setup;
    setup.rcptReplies = {{"refused@example.net", "550 5.1.1 No such user"}};
    test::TSmtpServer server(setup);
    MakeAccount("a", "Alpha", server.Port());
    MakeAccount("b", "Beta", server.Port(), false);  // sent all the same
    MakeAccount("c", "Idle", server.Port());
    test::WriteFile(QueueOf("a") + "00001.msg", Message("a@example.org", "x@example.net", "One"));
    test::WriteFile(QueueOf("a") + "00002.msg", Message("a@example.org", "refused@example.net", "Two"));
    test::WriteFile(QueueOf("b") + "00001.msg", Message("b@example.org", "y@example.net", "Three"));

    const test::TProgramResult run = Send(60s);
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;  // one message could not be sent
    EXPECT_EQ(run.err, "");
    EXPECT_THAT(run.out, HasSubstr(" \tSEND\tAlpha\tSent mail from a@example.org to x@example.net\n"));
    EXPECT_THAT(run.out, HasSubstr(" \tSEND\tAlpha\tError: 550 5.1.1 No such user\n"));
    EXPECT_THAT(run.out, HasSubstr(" \tSEND\tBeta\tSent mail from b@example.org to y@example.net\n"));
    EXPECT_THAT(run.out, ::testing::Not(HasSubstr("Idle")));
    EXPECT_EQ(server.Deliveries().size(), 2u);
    EXPECT_EQ(Subjects(QueueOf("a")), std::vector<std::string>{"Two"});
    EXPECT_TRUE(Subjects(QueueOf("b")).empty());

    // With the failure gone, the next run sends it and succeeds.
    test::TSmtpServer open;
    MakeAccount("a", "Alpha", open.Port());
    MakeAccount("b", "Beta", open.Port());
    test::WriteFile(QueueOf("a") + "00001.msg", Message("a@example.org", "x@example.net", "Two again"));
    const test::TProgramResult again = Send(60s);
    EXPECT_EQ(again.exitCode, 0) << again.out << again.err;
    EXPECT_EQ(open.Deliveries().size(), 1u);
    EXPECT_TRUE(Subjects(QueueOf("a")).empty());

    EXPECT_EQ(Send(10s, {"now"}).exitCode, 2);
}

// kill -9 of a running "vorla send" at random moments of its pass: before each kill 50
// messages more are queued, so every kill hits a pass with work in hand (sending, requeueing,
// taking files back). After a last whole pass every message was delivered or is still queued,
// and no kill made more than one duplicate.
TEST_F(SendCommandTest, KilledPassesLoseNoMessage) {
    constexpr int kMessages = 50;
    constexpr int kKills = 20;
    test::TSmtpServerSetup setup;
    setup.rcptReplies = {{"never@example.net", "550 5.1.1 No such user"}};
    setup.dataDelaySeconds = 0.01;  // 45 deliveries take well over the longest moment below
    test::TSmtpServer server(setup);
    MakeAccount("k", "Killed", server.Port());

    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> moment(5, 500);  // ms after the start of the process
    std::map<std::string, bool> sendable;  // subject -> can be delivered
    int killed = 0;
    for (int round = 1; round <= kKills; ++round) {
        for (int i = 1; i <= kMessages; ++i) {
            const std::string subject = "R" + std::to_string(round) + "-M" + std::to_string(i);
            const bool ok = i % 10 != 0;  // every tenth is always refused and stays queued
            sendable[subject] = ok;
            char name[32];
            std::snprintf(name, sizeof name, "r%02d-%03d.msg", round, i);
            test::WriteFile(QueueOf("k") + name,
                            Message("k@example.org", ok ? "ok@example.net" : "never@example.net", subject));
        }
        if (Send(std::chrono::milliseconds(moment(random))).timedOut) ++killed;
    }
    const test::TProgramResult last = Send(300s);
    ASSERT_FALSE(last.timedOut);
    EXPECT_EQ(last.exitCode, 1) << last.out << last.err;  // the refused ones
    EXPECT_EQ(last.err, "");  // a sanitizer's report, too, would end in status 1
    EXPECT_GE(killed, kKills * 3 / 4);  // the moments fall inside the passes

    std::map<std::string, int> delivered, queued;
    for (const auto& d : server.Deliveries()) ++delivered[SubjectOf(d.data)];
    for (const std::string& subject : Subjects(QueueOf("k"))) ++queued[subject];
    EXPECT_TRUE(FindFiles(QueueOf("k") + "temp/", "*.msg").empty());
    int duplicates = 0;
    for (const auto& [subject, ok] : sendable) {
        SCOPED_TRACE(subject);
        const int copies = delivered[subject] + queued[subject];
        EXPECT_GE(copies, 1);  // never lost
        if (ok) {
            EXPECT_GE(delivered[subject], 1);
            EXPECT_EQ(queued[subject], 0);  // the last pass sent it
        } else {
            EXPECT_EQ(delivered[subject], 0);
        }
        duplicates += copies > 1 ? copies - 1 : 0;
    }
    EXPECT_LE(duplicates, killed);
    for (const auto& [subject, count] : delivered) EXPECT_TRUE(sendable.count(subject)) << subject;
    std::printf("kill test: %d kills, %d duplicates, %zu deliveries of %zu messages\n", killed, duplicates,
                server.Deliveries().size(), sendable.size());
}

}  // namespace
}  // namespace vorla
