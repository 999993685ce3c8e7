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
#include "support/TempDir.h"

namespace vorla {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The vorla program as a child process with its standard output and error in one pipe. The
// destructor kills and reaps a child that is still running, so no test leaves one behind.
class TChild {
public:
    TChild(const std::vector<std::string>& args, const std::vector<std::string>& env) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        std::vector<std::string> words = {VORLA_BINARY};
        words.insert(words.end(), args.begin(), args.end());
        // Everything the child needs is made before the fork: after it, only calls that are
        // safe in a copy of a threaded process.
        std::vector<std::string> environment(env);
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            const std::string name = entry.substr(0, entry.find('=') + 1);
            bool replaced = false;
            for (const std::string& mine : env) replaced = replaced || mine.rfind(name, 0) == 0;
            if (!replaced) environment.push_back(entry);
        }
        std::vector<char*> argv, envp;
        for (std::string& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        for (std::string& e : environment) envp.push_back(e.data());
        envp.push_back(nullptr);
        m_pid = ::fork();
        if (m_pid < 0) throw std::runtime_error("fork failed");
        if (m_pid == 0) {
            ::dup2(fds[1], 1);
            ::dup2(fds[1], 2);
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        m_fd = fds[0];
    }
    ~TChild() {
        if (m_pid > 0 && !m_exited) {
            ::kill(m_pid, SIGKILL);
            int status = 0;
            ::waitpid(m_pid, &status, 0);
        }
        if (m_fd >= 0) ::close(m_fd);
    }
    pid_t Pid() const { return m_pid; }
    const std::string& Output() const { return m_output; }

    // Reads output until it holds text or timeout passes; true when it does.
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        while (m_output.find(text) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0 || !ReadSome(left)) return m_output.find(text) != std::string::npos;
        }
        return true;
    }
    // Waits for the exit (reading the output meanwhile); the wait status, or nullopt on time-out.
    std::optional<int> WaitExit(std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            int status = 0;
            const pid_t r = ::waitpid(m_pid, &status, WNOHANG);
            if (r == m_pid) {
                m_exited = true;
                while (ReadSome(50ms)) {
                }
                return status;
            }
            ReadSome(20ms);
        }
        return std::nullopt;
    }
    bool Running() {
        int status = 0;
        return !m_exited && ::waitpid(m_pid, &status, WNOHANG) == 0;
    }

private:
    bool ReadSome(std::chrono::milliseconds timeout) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return false;
        char buffer[4096];
        const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
        if (n <= 0) return false;
        m_output.append(buffer, static_cast<std::size_t>(n));
        return true;
    }

    pid_t m_pid = -1;
    int m_fd = -1;
    bool m_exited = false;
    std::string m_output;
};

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
