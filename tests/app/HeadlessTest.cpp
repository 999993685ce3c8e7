#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "platform/Files.h"
#include "platform/IniFile.h"
#include "support/VorlaProcess.h"
#include "support/TempDir.h"

namespace vorla {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using TChild = test::TVorlaProcess;

class HeadlessTest : public ::testing::Test {
protected:
    std::vector<std::string> Env() const {
        return {"XDG_RUNTIME_DIR=" + (m_dir / "run"), "XDG_CONFIG_HOME=" + (m_dir / "config")};
    }
    test::TTempDir m_dir;
    std::string m_home = m_dir / "fresh/home";  // not there yet: the service makes it
};

TEST_F(HeadlessTest, ServiceRunsUntilSignalledAndShutsDownInOrder) {
    for (int signo : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(strsignal(signo));
        DeleteTree(m_dir / "fresh/");
        ForceDirectories(m_dir / "run/");
        TChild service({"--headless", "--home", m_home}, Env());
        ASSERT_TRUE(service.WaitForOutput(" initiated\n", 20s)) << service.Output();
        EXPECT_THAT(service.Output(), ::testing::ContainsRegex("[0-9]{2} [A-Z][a-z]{2} [0-9]{4} "
                                                               "[0-9]{2}:[0-9]{2}:[0-9]{2} \tVORLA\t\tVorla v"));
        EXPECT_TRUE(DirectoryExists(m_home));
        std::this_thread::sleep_for(300ms);
        EXPECT_TRUE(service.Running()) << service.Output();

        ASSERT_EQ(::kill(service.Pid(), signo), 0);
        const std::optional<int> status = service.WaitExit(20s);
        ASSERT_TRUE(status.has_value()) << "no exit after the signal: " << service.Output();
        ASSERT_TRUE(WIFEXITED(*status)) << service.Output();
        EXPECT_EQ(WEXITSTATUS(*status), 0) << service.Output();
        EXPECT_THAT(service.Output(), ::testing::HasSubstr("Stopping on " + std::string(signo == SIGTERM ? "SIGTERM" : "SIGINT")));
        TIniFile ini(m_home + "/vorla.ini");
        EXPECT_EQ(ini.ReadInteger("options", "timerinterval", -1), 120000);
        EXPECT_EQ(ini.ReadString("status", "size", ""), "1000");
        EXPECT_EQ(ini.ReadString("log", "trimdays", ""), "30");
    }
}

TEST_F(HeadlessTest, SecondWriterIsRefusedWhileTheServiceRuns) {
    ForceDirectories(m_dir / "run/");
    TChild service({"--headless", "--home", m_home}, Env());
    ASSERT_TRUE(service.WaitForOutput(" initiated\n", 20s)) << service.Output();

    TChild second({"--home", m_home, "--headless"}, Env());
    const std::optional<int> secondStatus = second.WaitExit(20s);
    ASSERT_TRUE(secondStatus.has_value());
    EXPECT_NE(WEXITSTATUS(*secondStatus), 0);
    EXPECT_THAT(second.Output(), ::testing::HasSubstr("in use by process " + std::to_string(service.Pid())));

    TChild writer({"account", "add", "Blocked", "--home", m_home}, Env());
    const std::optional<int> writerStatus = writer.WaitExit(20s);
    ASSERT_TRUE(writerStatus.has_value());
    EXPECT_NE(WEXITSTATUS(*writerStatus), 0);
    EXPECT_FALSE(DirectoryExists(m_home + "/accounts/"));

    TChild reader({"accounts", "--home", m_home}, Env());
    const std::optional<int> readerStatus = reader.WaitExit(20s);
    ASSERT_TRUE(readerStatus.has_value());
    EXPECT_EQ(WEXITSTATUS(*readerStatus), 0) << reader.Output();

    ASSERT_EQ(::kill(service.Pid(), SIGTERM), 0);
    const std::optional<int> status = service.WaitExit(20s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(WEXITSTATUS(*status), 0);

    // The lock went with the service.
    TChild after({"account", "add", "Later", "--home", m_home}, Env());
    const std::optional<int> afterStatus = after.WaitExit(20s);
    ASSERT_TRUE(afterStatus.has_value());
    EXPECT_EQ(WEXITSTATUS(*afterStatus), 0) << after.Output();
}

}  // namespace
}  // namespace vorla
