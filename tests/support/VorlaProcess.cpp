#include "support/VorlaProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

extern char** environ;

namespace vorla::test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TVorlaProcess::TVorlaProcess(const std::vector<std::string>& args, const std::vector<std::string>& env) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    std::vector<std::string> words = {VORLA_BINARY};
    words.insert(words.end(), args.begin(), args.end());
    // Everything the child needs is made before the fork: after it, only calls that are safe
    // in a copy of a threaded process.
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
    if (m_pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        throw std::runtime_error("fork failed");
    }
    if (m_pid == 0) {
        ::dup2(fds[1], 1);
        ::dup2(fds[1], 2);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    m_fd = fds[0];
}

TVorlaProcess::~TVorlaProcess() {
    Kill();
    if (m_fd >= 0) ::close(m_fd);
}

void TVorlaProcess::Kill() {
    if (m_pid <= 0 || m_exited) return;
    ::kill(m_pid, SIGKILL);
    int status = 0;
    ::waitpid(m_pid, &status, 0);
    m_exited = true;
}

bool TVorlaProcess::WaitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (m_output.find(text) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || !ReadSome(left)) return m_output.find(text) != std::string::npos;
    }
    return true;
}

void TVorlaProcess::Drain() {
    while (ReadSome(0ms)) {
    }
}

std::optional<int> TVorlaProcess::WaitExit(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_exited = true;
            while (ReadSome(50ms)) {
            }
            return status;
        }
        ReadSome(20ms);
    }
    return std::nullopt;
}

bool TVorlaProcess::Running() {
    int status = 0;
    return !m_exited && ::waitpid(m_pid, &status, WNOHANG) == 0;
}

bool TVorlaProcess::ReadSome(std::chrono::milliseconds timeout) {
    pollfd p{m_fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return false;
    char buffer[4096];
    const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
    if (n <= 0) return false;
    m_output.append(buffer, static_cast<std::size_t>(n));
    return true;
}

}  // namespace vorla::test
