#include "app/cli/StopSignals.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/Errors.h"

namespace vorla {
namespace {

// The self-pipe: the handler only writes the signal's number into it; the watcher thread
// reads it and hands it to the program.
int g_signalPipe[2] = {-1, -1};

extern "C" void OnStopSignal(int signo) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signo);
    [[maybe_unused]] ssize_t n = ::write(g_signalPipe[1], &byte, 1);
    errno = saved;
}

}  // namespace

TStopSignals::TStopSignals(std::function<void(int)> onSignal) : m_onSignal(std::move(onSignal)) {
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        throw TVorlaError(std::string("cannot make the signal pipe: ") + std::strerror(errno));
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, &m_oldInt);
    ::sigaction(SIGTERM, &action, &m_oldTerm);
    ::sigaction(SIGHUP, &action, &m_oldHup);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, &m_oldPipe);
    m_watcher = std::jthread([this] { Watch(); });
}

TStopSignals::~TStopSignals() {
    ::sigaction(SIGINT, &m_oldInt, nullptr);
    ::sigaction(SIGTERM, &m_oldTerm, nullptr);
    ::sigaction(SIGHUP, &m_oldHup, nullptr);
    ::sigaction(SIGPIPE, &m_oldPipe, nullptr);
    const unsigned char quit = 0;  // not a signal number: ends the watcher
    [[maybe_unused]] ssize_t n = ::write(g_signalPipe[1], &quit, 1);
    m_watcher.join();
    ::close(g_signalPipe[0]);
    ::close(g_signalPipe[1]);
    g_signalPipe[0] = g_signalPipe[1] = -1;
}

void TStopSignals::Watch() {
    for (;;) {
        pollfd fd{g_signalPipe[0], POLLIN, 0};
        if (::poll(&fd, 1, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        unsigned char byte = 0;
        ssize_t n = ::read(g_signalPipe[0], &byte, 1);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0 || byte == 0) return;
        m_onSignal(byte);
    }
}

const char* SignalName(int signo) {
    switch (signo) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "a signal";
    }
}

}  // namespace vorla
