#include "platform/SecretCommand.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "platform/Errors.h"

extern char** environ;

namespace vorla {
namespace {

using TClock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr char kShell[] = "/bin/sh";
constexpr std::size_t kMaxErrorText = 4096;
// How long the output is still read once the shell has ended: something it left running in
// the background may hold the pipes open for ever.
constexpr auto kAfterExit = 200ms;
constexpr auto kPollSlice = 100ms;

[[noreturn]] void Fail(const std::string& reason) { throw TVorlaError("password command failed: " + reason); }

class TPipe {
public:
    TPipe() {
        if (::pipe2(m_fd, O_CLOEXEC) != 0) Fail(std::string("cannot make a pipe: ") + std::strerror(errno));
    }
    ~TPipe() {
        CloseRead();
        CloseWrite();
    }
    TPipe(const TPipe&) = delete;
    TPipe& operator=(const TPipe&) = delete;
    int Read() const { return m_fd[0]; }
    int Write() const { return m_fd[1]; }
    void CloseRead() { Close(m_fd[0]); }
    void CloseWrite() { Close(m_fd[1]); }

private:
    static void Close(int& fd) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    int m_fd[2] = {-1, -1};
};

std::string Duration(std::chrono::milliseconds timeout) {
    if (timeout.count() % 1000 == 0) return std::to_string(timeout.count() / 1000) + " s";
    return std::to_string(timeout.count()) + " ms";
}

std::string FirstLine(const std::string& text, bool& complete) {
    const std::size_t end = text.find('\n');
    complete = end != std::string::npos;
    std::string line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

// Reads what is there without blocking; false at the end of the stream.
bool Drain(int fd, std::string& into, std::size_t limit) {
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0) {
            const std::size_t room = limit > into.size() ? limit - into.size() : 0;
            into.append(buffer, std::min(room, static_cast<std::size_t>(got)));
            continue;
        }
        if (got == 0) return false;
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK;
    }
}

// Owns the started shell: whatever way Run ends, its whole process group is killed while the
// shell is still unreaped (so that its number cannot have gone to another process), then
// the shell is reaped.
class TChild {
public:
    explicit TChild(pid_t pid) : m_pid(pid) {}
    ~TChild() { Finish(); }
    TChild(const TChild&) = delete;
    TChild& operator=(const TChild&) = delete;

    // True once the shell has ended (it is not reaped yet).
    bool Ended() {
        if (m_ended) return true;
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(m_pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == m_pid)
            m_ended = true;
        return m_ended;
    }
    // Kills what is left of the group and reaps the shell; its wait status.
    int Finish() {
        if (m_pid <= 0) return m_status;
        ::kill(-m_pid, SIGKILL);
        while (::waitpid(m_pid, &m_status, 0) < 0 && errno == EINTR) {
        }
        m_pid = -1;
        return m_status;
    }

private:
    pid_t m_pid;
    bool m_ended = false;
    int m_status = 0;
};

}  // namespace

std::string TSecretCommand::Run(const std::string& command, std::chrono::milliseconds timeout,
                                const TStopCheck& stopRequested) {
    if (command.find_first_not_of(" \t") == std::string::npos) Fail("the command is empty");
    TPipe out;
    TPipe err;
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out.Write(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err.Write(), STDERR_FILENO);
    // A session of its own: no controlling terminal to ask on, and one group to kill.
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&defaults, sig);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, kShell, &actions, &attributes, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) Fail(std::string("cannot start ") + kShell + ": " + std::strerror(spawned));
    TChild child(pid);
    out.CloseWrite();
    err.CloseWrite();
    ::fcntl(out.Read(), F_SETFL, O_NONBLOCK);
    ::fcntl(err.Read(), F_SETFL, O_NONBLOCK);

    std::string output;
    std::string errors;
    bool outOpen = true;
    bool errOpen = true;
    const auto deadline = TClock::now() + timeout;
    std::optional<TClock::time_point> endedAt;
    while (outOpen || errOpen) {
        if (stopRequested && stopRequested()) Fail("stopped");
        const auto now = TClock::now();
        if (now >= deadline) Fail("no answer within " + Duration(timeout));
        if (!endedAt && child.Ended()) endedAt = now;
        if (endedAt && now - *endedAt >= kAfterExit) break;
        pollfd fds[2] = {{out.Read(), POLLIN, 0}, {err.Read(), POLLIN, 0}};
        if (!outOpen) fds[0].fd = -1;
        if (!errOpen) fds[1].fd = -1;
        auto wait = std::min<TClock::duration>(kPollSlice, deadline - now);
        if (endedAt) wait = std::min<TClock::duration>(wait, kAfterExit);
        const int ready = ::poll(fds, 2, static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count()));
        if (ready < 0 && errno != EINTR) Fail(std::string("cannot read its output: ") + std::strerror(errno));
        if (outOpen && fds[0].revents) outOpen = Drain(out.Read(), output, kMaxOutput);
        if (errOpen && fds[1].revents) errOpen = Drain(err.Read(), errors, kMaxErrorText);
    }
    // The output is complete; the shell gets what is left of the time limit to end.
    while (!child.Ended()) {
        if (stopRequested && stopRequested()) Fail("stopped");
        if (TClock::now() >= deadline) Fail("no answer within " + Duration(timeout));
        ::usleep(10000);
    }
    const int status = child.Finish();
    bool ignored = false;
    const std::string errorLine = FirstLine(errors, ignored);
    const std::string detail = errorLine.empty() ? std::string() : ": " + errorLine;
    if (WIFSIGNALED(status)) Fail("killed by signal " + std::to_string(WTERMSIG(status)) + detail);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        Fail("exit status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + detail);
    bool complete = false;
    std::string secret = FirstLine(output, complete);
    std::fill(output.begin(), output.end(), '\0');
    if (secret.empty()) Fail("it printed nothing" + detail);
    return secret;
}

}  // namespace vorla
