#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <ostream>
#include <thread>

#include "app/CoreVersion.h"
#include "app/cli/Commands.h"
#include "engine/EventQueue.h"
#include "engine/Zivad.h"
#include "platform/Errors.h"

namespace vorla {
namespace {

// The self-pipe: the handler only writes the signal's number into it; a watcher thread reads
// it and hands the shut-down to the main thread's event queue.
int g_signalPipe[2] = {-1, -1};

extern "C" void OnStopSignal(int signo) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signo);
    [[maybe_unused]] ssize_t n = ::write(g_signalPipe[1], &byte, 1);
    errno = saved;
}

// Installs the handlers for SIGINT and SIGTERM for its lifetime and runs onSignal(signo) on
// its own thread for each signal that arrives. SIGPIPE is ignored: a closed standard output
// must not kill the service before it has saved.
class TStopSignals {
public:
    explicit TStopSignals(std::function<void(int)> onSignal) : m_onSignal(std::move(onSignal)) {
        if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
            throw TVorlaError(std::string("cannot make the signal pipe: ") + std::strerror(errno));
        struct sigaction action {};
        action.sa_handler = OnStopSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(SIGINT, &action, &m_oldInt);
        ::sigaction(SIGTERM, &action, &m_oldTerm);
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        ::sigaction(SIGPIPE, &ignore, &m_oldPipe);
        m_watcher = std::jthread([this] { Watch(); });
    }
    ~TStopSignals() {
        ::sigaction(SIGINT, &m_oldInt, nullptr);
        ::sigaction(SIGTERM, &m_oldTerm, nullptr);
        ::sigaction(SIGPIPE, &m_oldPipe, nullptr);
        const unsigned char quit = 0;  // not a signal number: ends the watcher
        [[maybe_unused]] ssize_t n = ::write(g_signalPipe[1], &quit, 1);
        m_watcher.join();
        ::close(g_signalPipe[0]);
        ::close(g_signalPipe[1]);
        g_signalPipe[0] = g_signalPipe[1] = -1;
    }
    TStopSignals(const TStopSignals&) = delete;
    TStopSignals& operator=(const TStopSignals&) = delete;

private:
    void Watch() {
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

    std::function<void(int)> m_onSignal;
    struct sigaction m_oldInt {};
    struct sigaction m_oldTerm {};
    struct sigaction m_oldPipe {};
    std::jthread m_watcher;  // last: joined while the rest still exists
};

const char* SignalName(int signo) { return signo == SIGINT ? "SIGINT" : signo == SIGTERM ? "SIGTERM" : "a signal"; }

}  // namespace

// The engine as a service: the main thread runs the event queue (the timer ticks there), every
// status line is echoed to standard output, and SIGINT or SIGTERM stop all operations and shut
// the engine down in order (settings and seen checksums written). The home folder is set and
// locked by the caller.
int HeadlessCommand(TCliContext& ctx) {
    if (!ctx.args.empty()) throw TUsageError{"--headless takes no arguments"};
    std::mutex outMutex;  // status lines come from any thread; one line must stay whole
    auto echo = [&](const std::string& line) {
        std::scoped_lock lock(outMutex);
        ctx.out << line << '\n' << std::flush;
    };

    TEventQueue queue;
    TZivad* running = nullptr;  // the engine while it exists; read and written on this thread only
    // Installed before the engine exists and kept until it is gone, so a signal during start-up
    // or a second one during the shut-down cannot kill the process half-way.
    TStopSignals signals([&](int signo) {
        queue.Post([&running, &queue, signo] {
            if (running) {
                running->AddStatus("\tVORLA\t\tStopping on " + std::string(SignalName(signo)));
                running->Stop();
            }
            queue.Quit();
        });
    });
    {
        TZivad engine(queue);
        running = &engine;
        // What the parts found while loading, oldest first, then every new line as it comes.
        const std::vector<std::string> early = engine.StatusLines();
        for (auto it = early.rbegin(); it != early.rend(); ++it) echo(*it);
        engine.OnStatusLine.Set(echo);
        engine.SetVersion(GetAppVersion());
        queue.Run();
        engine.Stop();
        running = nullptr;
        // Lines of the shut-down itself (a failed save) still reach standard output.
    }
    std::scoped_lock lock(outMutex);
    ctx.out << std::flush;
    return 0;
}

}  // namespace vorla
