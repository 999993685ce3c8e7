#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "platform/Files.h"
#include "platform/IniFile.h"
#include "support/TempDir.h"
#include "support/VorlaProcess.h"

// The vorla program without a command word: the main window.
namespace vorla {
namespace {

using namespace std::chrono_literals;

// Whether the process has a handler for signo yet (its "SigCgt" mask), so that a test signals
// the program itself and not the start-up that the default action would kill.
bool Catches(pid_t pid, int signo) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("SigCgt:", 0) == 0) return (std::stoull(line.substr(7), nullptr, 16) >> (signo - 1)) & 1;
    return false;
}

class DesktopTest : public ::testing::Test {
protected:
    std::vector<std::string> Env(const std::string& platform) const {
        return {"XDG_RUNTIME_DIR=" + (m_dir / "run"), "XDG_CONFIG_HOME=" + (m_dir / "config"), "DISPLAY=",
                "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM=" + platform};
    }
    test::TTempDir m_dir;
    std::string m_home = m_dir / "home";
};

TEST_F(DesktopTest, WithoutADisplayItPointsToTheServiceAndExits2) {
    test::TVorlaProcess window({"--home", m_home}, Env(""));
    const auto status = window.WaitExit(20s);
    ASSERT_TRUE(status && WIFEXITED(*status)) << window.Output();
    EXPECT_EQ(WEXITSTATUS(*status), 2);
    EXPECT_NE(window.Output().find("--headless"), std::string::npos) << window.Output();
    EXPECT_EQ(window.Output().find('\n'), window.Output().size() - 1) << window.Output();
}

TEST_F(DesktopTest, ASignalClosesTheWindowThroughItsClosePath) {
    for (int signo : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(strsignal(signo));
        DeleteTree(m_home + "/");
        ForceDirectories(m_dir / "run/");
        test::TVorlaProcess window({"--home", m_home}, Env("offscreen"));
        for (int i = 0; i < 200 && window.Running() && !Catches(window.Pid(), signo); ++i) std::this_thread::sleep_for(50ms);
        ASSERT_TRUE(Catches(window.Pid(), signo)) << window.Output();
        std::this_thread::sleep_for(500ms);  // the window is up by now, or the signal waits for it
        ASSERT_EQ(::kill(window.Pid(), signo), 0);
        const auto status = window.WaitExit(20s);
        ASSERT_TRUE(status && WIFEXITED(*status)) << window.Output();
        EXPECT_EQ(WEXITSTATUS(*status), 0) << window.Output();
        // The engine saved its settings and the window its placement.
        TIniFile ini(m_home + "/vorla.ini");
        EXPECT_EQ(ini.ReadInteger("options", "timerinterval", -1), 120000);
        EXPECT_EQ(ini.ReadInteger("display", "width", -1), 848);
    }
}

}  // namespace
}  // namespace vorla
