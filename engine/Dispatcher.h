#pragma once
#include <chrono>
#include <cstdint>
#include <functional>

// What the program gives the engine so that it never needs to know the window toolkit: a way
// to hand calls to the UI thread, to run that thread's pending events, to wait for a worker
// while they keep running (RunAndWait in engine/SimpleThread.h is that wait), and periodic
// timers that tick on that thread. The headless program
// and the tests use TEventQueue (engine/EventQueue.h); the desktop program maps these onto its
// toolkit's event loop.
namespace vorla {

using TTimerId = std::uint64_t;
inline constexpr TTimerId kNoTimer = 0;

class TDispatcher {
public:
    virtual ~TDispatcher() = default;

    // Queues call to run on the UI thread, after the calls queued before it. Any thread may
    // call; it never runs call itself, even when called on the UI thread.
    virtual void Post(std::function<void()> call) = 0;

    // UI thread only. Runs every event that is pending now (queued calls, due timer ticks)
    // and returns without waiting for more.
    virtual void ProcessEvents() = 0;

    // UI thread only. Waits until at least one event is pending, then runs the pending ones.
    virtual void WaitAndProcessEvents() = 0;

    // UI thread only. Starts a periodic timer: tick runs on the UI thread, from the event
    // processing above, every interval (which must be more than 0) from now on. Returns its id,
    // never kNoTimer.
    virtual TTimerId StartTimer(std::chrono::milliseconds interval, std::function<void()> tick) = 0;
    // UI thread only. Stops the timer; no tick runs after this returns (also when called from
    // that timer's own tick). An unknown id or kNoTimer is ignored.
    virtual void StopTimer(TTimerId id) = 0;

};

}  // namespace vorla
