#pragma once
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>

#include "engine/Dispatcher.h"

// A plain event queue run by one thread: the dispatcher of the headless program (its main
// thread is the UI thread) and of the tests. No toolkit involved.
namespace vorla {

class TEventQueue final : public TDispatcher {
public:
    // Real: timers tick by the steady clock. Manual: time stands still until Advance moves it,
    // so tests see every tick at an exact, repeatable moment; waits then wake only for queued
    // calls (and Quit).
    enum class TClockMode { Real, Manual };

    explicit TEventQueue(TClockMode mode = TClockMode::Real);
    ~TEventQueue() override;

    void Post(std::function<void()> call) override;
    void ProcessEvents() override;
    void WaitAndProcessEvents() override;
    TTimerId StartTimer(std::chrono::milliseconds interval, std::function<void()> tick) override;
    void StopTimer(TTimerId id) override;

    // Runs events on the calling thread (which becomes the UI thread) until Quit.
    void Run();
    // Any thread: Run returns once the event that is running now has ended. Queued calls that
    // have not run yet stay queued (a later ProcessEvents runs them).
    void Quit();
    bool QuitRequested() const;

    // Manual mode only: moves the clock forward by step, running on the way, in time order,
    // every timer tick that falls due (and the calls queued meanwhile). Real mode: ignored.
    void Advance(std::chrono::milliseconds step);

    // Runs events until done() is true or timeout (real time) has passed; returns done().
    // For tests and for waiting on work that reports through Post.
    bool ProcessEventsUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

    std::size_t ActiveTimerCount() const;

private:
    using TClock = std::chrono::steady_clock;
    struct TTimerEntry {
        std::chrono::milliseconds interval;
        TClock::time_point due;
        std::function<void()> tick;
    };

    TClock::time_point Current() const;  // needs m_mutex
    // Runs the calls queued before this point and the ticks due by now.
    void RunPending(TClock::time_point now);
    bool RunOneDueTimer(TClock::time_point now);

    const TClockMode m_mode;
    mutable std::mutex m_mutex;  // guards everything below
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_calls;
    std::map<TTimerId, TTimerEntry> m_timers;
    TTimerId m_nextTimerId = 1;
    TClock::time_point m_manualNow;
    bool m_quit = false;
};

}  // namespace vorla
