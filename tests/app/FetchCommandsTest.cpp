#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "engine/ZivadAccount.h"
#include "platform/DateTime.h"
#include "platform/Files.h"
#include "support/VorlaProcess.h"
#include "support/DovecotServer.h"
#include "support/ProgramRun.h"
#include "support/TempDir.h"

// "vorla fetch", "vorla filter" and "vorla peek" as real processes against a real Dovecot,
// and the service fetching on its timer.
namespace vorla {
namespace {

using namespace std::chrono_literals;
using test::TDovecotServer;
using ::testing::HasSubstr;
using ::testing::Not;

std::string Mail(const std::string& subject) {
    return "From: Ann <ann@example.org>\nTo: fay@example.net\nSubject: " + subject +
           "\nDate: Mon, 4 Mar 2024 10:00:00 +0000\n\nHello.\n";
}

using TService = test::TVorlaProcess;

class FetchCommandsTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string why = TDovecotServer::Unavailable();
        if (!why.empty()) GTEST_SKIP() << why;
        m_server = std::make_unique<TDovecotServer>(std::vector<test::TPopUser>{{"fay", "faypw"}});
        ForceDirectories(m_home + "accounts/fay/");
        ForceDirectories(m_dir / "run/");
    }

    // An account folder as "vorla account add" leaves it.
    void WriteAccount(const std::string& extra = "") {
        test::WriteFile(m_home + "accounts/fay/options.ini",
                        "[options]\r\nname=Fay\r\nemail=fay@example.net\r\npopserver=127.0.0.1\r\npopport=" +
                            std::to_string(m_server->Port()) + "\r\nloginname=fay\r\npassword=" +
                            ScramblePassword("faypw") + "\r\nenablefetch=1\r\nenablefilters=0\r\nenablesend=0\r\n" +
                            extra);
    }

    test::TProgramResult Vorla(std::vector<std::string> args) {
        args.insert(args.begin(), {VORLA_BINARY, "--home", m_home});
        return test::RunProgram(args, Env(), 60s);
    }
    std::vector<std::string> Env() const {
        return {"XDG_RUNTIME_DIR=" + (m_dir / "run"), "XDG_CONFIG_HOME=" + (m_dir / "config")};
    }
    std::size_t Stored() const { return FindFiles(m_home + "accounts/fay/vorla/", "*.msg").size(); }

    test::TTempDir m_dir;
    std::string m_home = m_dir / "home/";
    std::unique_ptr<TDovecotServer> m_server;
};

TEST_F(FetchCommandsTest, FetchPrintsItsStatusLinesAndFilesTheMail) {
    WriteAccount();
    m_server->AddMessage("fay", Mail("one"));
    m_server->AddMessage("fay", Mail("two"));
    const test::TProgramResult all = Vorla({"fetch"});
    ASSERT_EQ(all.exitCode, 0) << all.out << all.err;
    EXPECT_THAT(all.out, HasSubstr(" \tFETCH\tFay\tAccepted=2 Trashed=0 Quarantined=0 Rejected=0 Purged=0 Errors=0\n"));
    EXPECT_EQ(Stored(), 2u);
    EXPECT_TRUE(m_server->MessageFiles("fay").empty());
    EXPECT_THAT(test::ReadFile(m_home + "vorla.log"), HasSubstr("Fay\tAccepted - () Date: "));

    m_server->AddMessage("fay", Mail("three"));
    const test::TProgramResult one = Vorla({"fetch", "Fay"});
    ASSERT_EQ(one.exitCode, 0) << one.out << one.err;
    EXPECT_THAT(one.out, HasSubstr("\tFETCH\tFay\tAccepted=1 "));
    EXPECT_EQ(Stored(), 3u);

    const test::TProgramResult unknown = Vorla({"fetch", "Nobody"});
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_THAT(unknown.err, HasSubstr("no account named 'Nobody'"));
    EXPECT_EQ(Vorla({"fetch", "a", "b"}).exitCode, 2);

    const test::TProgramResult filter = Vorla({"filter"});
    ASSERT_EQ(filter.exitCode, 0) << filter.err;
    EXPECT_THAT(filter.out, Not(HasSubstr("\tFILTER\t")));  // the account's filters are off
}

TEST_F(FetchCommandsTest, PeekListsWithoutChangingAnythingAndDeletesOnRequest) {
    WriteAccount();
    for (const char* subject : {"alpha", "beta", "gamma"}) m_server->AddMessage("fay", Mail(subject));
    const test::TProgramResult list = Vorla({"peek", "Fay"});
    ASSERT_EQ(list.exitCode, 0) << list.out << list.err;
    // The date in local time, the size as the server counts it (with CR LF line ends).
    const std::string date = FormatDateTime("ddd, dd mmm yyyy hh:nn:ss", UnixToLocal(1709546400));
    auto row = [&](int n, const std::string& subject) {
        return std::to_string(n) + "\t" + date + "\t" + std::to_string(Mail(subject).size() + 6) +
               "\tAnn <ann@example.org>\t" + subject + "\n";
    };
    EXPECT_EQ(list.out, row(1, "alpha") + row(2, "beta") + row(3, "gamma"));
    EXPECT_EQ(m_server->MessageFiles("fay").size(), 3u);
    EXPECT_FALSE(FileExists(m_home + "accounts/fay/msgcrc"));
    EXPECT_FALSE(FileExists(m_home + "vorla.log"));

    EXPECT_EQ(Vorla({"peek", "Fay", "--delete", "4"}).exitCode, 1);  // no such message: nothing deleted
    EXPECT_EQ(Vorla({"peek", "Fay", "--delete", "x"}).exitCode, 2);
    EXPECT_EQ(m_server->MessageFiles("fay").size(), 3u);
    const test::TProgramResult deleted = Vorla({"peek", "Fay", "--delete", "1", "3"});
    ASSERT_EQ(deleted.exitCode, 0) << deleted.err;
    EXPECT_THAT(deleted.out, HasSubstr("Deleting 1\t"));
    EXPECT_THAT(deleted.out, HasSubstr("Deleting 3\t"));
    const auto left = m_server->MessageFiles("fay");
    ASSERT_EQ(left.size(), 1u);
    EXPECT_THAT(test::ReadFile(left[0]), HasSubstr("Subject: beta"));
    EXPECT_EQ(Stored(), 0u);
}

TEST_F(FetchCommandsTest, ServiceFetchesOnItsTimerAndAKillAfterTheFetchLosesNoSeenMessage) {
    WriteAccount("nodelete=1\r\n");
    test::WriteFile(m_home + "vorla.ini", "[options]\r\ntimerinterval=500\r\n");
    m_server->AddMessage("fay", Mail("kept"));
    {
        TService service({"--home", m_home, "--headless"});
        ASSERT_TRUE(service.WaitForOutput("\tFETCH\tFay\tAccepted=1 ", 30s)) << service.Output();
        service.Kill();  // a crash right after the fetch
    }
    EXPECT_EQ(Stored(), 1u);
    EXPECT_EQ(m_server->MessageFiles("fay").size(), 1u);
    const test::TProgramResult again = Vorla({"fetch"});
    ASSERT_EQ(again.exitCode, 0) << again.err;
    EXPECT_THAT(again.out, HasSubstr("\tFETCH\tFay\tAccepted=0 "));
    EXPECT_EQ(Stored(), 1u);  // not filed twice
}

// kill -9 of "vorla fetch" at random moments of a pipelined fetch (Dovecot offers
// PIPELINING): before each kill more messages arrive, so every kill hits a fetch with work in
// hand. After a last whole fetch the server is empty, every message is stored at least once
// and every stored file is whole. (A killed fetch has not written its seen list, so the next
// one files again what it had filed: duplicates, never losses.)
TEST_F(FetchCommandsTest, KilledPipelinedFetchesLoseNoMessageAndLeaveNoTornFile) {
    constexpr int kRounds = 12;
    constexpr int kPerRound = 60;
    WriteAccount();
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    // The kill comes a random moment after the fetch stored its first file of the round: a
    // fetch is far too quick for a moment counted from the process start to fall inside it.
    std::uniform_int_distribution<int> moment(0, 8000);  // microseconds
    const std::string filler(4000, 'x');
    const std::string folder = m_home + "accounts/fay/vorla/";
    std::set<std::string> sent;
    int killed = 0;
    for (int round = 1; round <= kRounds; ++round) {
        for (int i = 1; i <= kPerRound; ++i) {
            const std::string subject = "R" + std::to_string(round) + "-M" + std::to_string(i);
            sent.insert(subject);
            m_server->AddMessage("fay", Mail(subject) + filler + "\n");
        }
        const std::size_t before = DirectoryExists(folder) ? FindFiles(folder, "*.msg").size() : 0;
        test::TVorlaProcess fetch({"--home", m_home, "fetch"}, Env());
        for (int i = 0; i < 20000 && fetch.Running(); ++i) {  // at most about 20 s
            if (DirectoryExists(folder) && FindFiles(folder, "*.msg").size() > before) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        std::this_thread::sleep_for(std::chrono::microseconds(moment(random)));
        if (fetch.Running()) {
            fetch.Kill();  // SIGKILL, and reaped
            ++killed;
        } else {
            ASSERT_TRUE(fetch.WaitExit(30s)) << fetch.Output();
        }
    }
    const test::TProgramResult last = Vorla({"fetch"});
    ASSERT_FALSE(last.timedOut);
    ASSERT_EQ(last.exitCode, 0) << last.out << last.err;
    EXPECT_GE(killed, kRounds / 3);  // the moments fall inside the fetches

    EXPECT_TRUE(m_server->MessageFiles("fay").empty());
    std::map<std::string, int> stored;
    for (const std::string& name : FindFiles(folder, "*.msg")) {
        const std::string text = test::ReadFile(folder + name);
        SCOPED_TRACE(name);
        // Whole: the stored form ends with its terminator line and holds the whole body.
        EXPECT_TRUE(text.size() > 5 && text.compare(text.size() - 5, 5, "\r\n.\r\n") == 0);
        EXPECT_THAT(text, HasSubstr(filler));
        const std::size_t at = text.find("\nSubject: ");
        ASSERT_NE(at, std::string::npos);
        ++stored[text.substr(at + 10, text.find('\r', at) - at - 10)];
    }
    int duplicates = 0;
    for (const std::string& subject : sent) {
        EXPECT_GE(stored[subject], 1) << subject << " lost";
        duplicates += std::max(0, stored[subject] - 1);
    }
    EXPECT_EQ(stored.size(), sent.size());
    std::printf("kill test: %d kills, %d duplicates, %zu messages\n", killed, duplicates, sent.size());
}

}  // namespace
}  // namespace vorla
