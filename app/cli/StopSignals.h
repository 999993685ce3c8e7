#pragma once
#include <signal.h>

#include <functional>
#include <thread>

namespace vorla {

// Installs the handlers for SIGINT, SIGTERM and SIGHUP (the terminal or the desktop session
// went away) for its lifetime and runs onSignal(signo) on
// its own thread for each signal that arrives (the handler itself only writes to a pipe).
// SIGPIPE is ignored: a closed standard output must not kill the program before it has saved.
// One at a time. Throws TVorlaError when the pipe cannot be made.
class TStopSignals {
public:
    explicit TStopSignals(std::function<void(int)> onSignal);
    ~TStopSignals();
    TStopSignals(const TStopSignals&) = delete;
    TStopSignals& operator=(const TStopSignals&) = delete;

private:
    void Watch();

    std::function<void(int)> m_onSignal;
    struct sigaction m_oldInt {};
    struct sigaction m_oldTerm {};
    struct sigaction m_oldHup {};
    struct sigaction m_oldPipe {};
    std::jthread m_watcher;  // last: joined while the rest still exists
};

// "SIGINT", "SIGTERM", "SIGHUP" or "a signal".
const char* SignalName(int signo);

}  // namespace vorla
