#pragma once
#include <functional>

#include "engine/Dispatcher.h"

// A periodic timer whose ticks run on the UI thread through the dispatcher. It ticks while it
// is enabled and its interval is more than 0; an interval of 0 never ticks. Every change that
// (re)starts it starts a fresh countdown of one interval. UI thread only.
namespace vorla {

class TTimer {
public:
    // The timer is created enabled with the given interval (ms, 0 or more). dispatcher must
    // outlive the timer. onTick must not throw.
    TTimer(TDispatcher& dispatcher, int interval, std::function<void()> onTick);
    ~TTimer();  // stops the dispatcher's timer: no tick after this
    TTimer(const TTimer&) = delete;
    TTimer& operator=(const TTimer&) = delete;

    bool Enabled() const { return m_enabled; }
    // Setting the state it already has changes nothing (the countdown goes on).
    void SetEnabled(bool enabled);
    int Interval() const { return m_interval; }
    // A different value restarts the countdown when enabled. Negative throws TVorlaError.
    void SetInterval(int ms);
    bool Running() const { return m_id != kNoTimer; }  // enabled, interval > 0

private:
    void Update();

    TDispatcher& m_dispatcher;
    std::function<void()> m_onTick;
    bool m_enabled = true;
    int m_interval;
    TTimerId m_id = kNoTimer;
};

}  // namespace vorla
