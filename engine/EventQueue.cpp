#include "engine/EventQueue.h"

#include <optional>
#include <vector>

#include "platform/Errors.h"

namespace vorla {

TEventQueue::TEventQueue(TClockMode mode) : m_mode(mode), m_manualNow(TClock::time_point{}) {}

TEventQueue::~TEventQueue() = default;

void TEventQueue::Post(std::function<void()> call) {
    {
        std::scoped_lock lock(m_mutex);
        m_calls.push_back(std::move(call));
    }
    m_wake.notify_all();
}

TEventQueue::TClock::time_point TEventQueue::Current() const {
    return m_mode == TClockMode::Manual ? m_manualNow : TClock::now();
}

void TEventQueue::ProcessEvents() {
    TClock::time_point now;
    {
        std::scoped_lock lock(m_mutex);
        now = Current();
    }
    RunPending(now);
}

void TEventQueue::RunPending(TClock::time_point now) {
    // Only the calls queued before we started: a call that posts another (or a tick that
    // posts) must not keep this round going for ever.
    std::size_t count;
    {
        std::scoped_lock lock(m_mutex);
        count = m_calls.size();
    }
    for (std::size_t i = 0; i < count; ++i) {
        std::function<void()> call;
        {
            std::scoped_lock lock(m_mutex);
            if (m_calls.empty()) break;  // a nested loop ran them already
            call = std::move(m_calls.front());
            m_calls.pop_front();
        }
        if (call) call();
    }
    // Each timer at most once per round, earliest first.
    std::vector<TTimerId> due;
    {
        std::scoped_lock lock(m_mutex);
        std::multimap<TClock::time_point, TTimerId> order;
        for (const auto& [id, timer] : m_timers)
            if (timer.due <= now) order.emplace(timer.due, id);
        for (const auto& entry : order) due.push_back(entry.second);
    }
    for (TTimerId id : due) {
        std::function<void()> tick;
        {
            std::scoped_lock lock(m_mutex);
            auto it = m_timers.find(id);
            if (it == m_timers.end() || it->second.due > now) continue;  // stopped or restarted
            // Rescheduled before the tick runs, so a tick that pumps events does not see
            // itself due again at once; a late tick is not repeated to catch up.
            it->second.due += it->second.interval;
            if (it->second.due <= now) it->second.due = now + it->second.interval;
            tick = it->second.tick;
        }
        if (tick) tick();
    }
}

void TEventQueue::WaitAndProcessEvents() {
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            if (!m_calls.empty()) break;
            std::optional<TClock::time_point> next;
            if (m_mode == TClockMode::Real)
                for (const auto& [id, timer] : m_timers)
                    if (!next || timer.due < *next) next = timer.due;
            if (next) {
                if (*next <= TClock::now()) break;
                m_wake.wait_until(lock, *next);
            } else {
                m_wake.wait(lock);
            }
        }
    }
    ProcessEvents();
}

bool TEventQueue::ProcessEventsUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = TClock::now() + timeout;
    ProcessEvents();
    while (!done()) {
        {
            std::unique_lock lock(m_mutex);
            if (m_calls.empty()) {
                auto until = deadline;
                if (m_mode == TClockMode::Real)
                    for (const auto& [id, timer] : m_timers)
                        if (timer.due < until) until = timer.due;
                if (TClock::now() >= deadline) return done();
                m_wake.wait_until(lock, until);
            }
        }
        ProcessEvents();
    }
    return true;
}

TTimerId TEventQueue::StartTimer(std::chrono::milliseconds interval, std::function<void()> tick) {
    if (interval.count() <= 0) throw TVorlaError("a timer needs an interval of more than 0 ms");
    TTimerId id;
    {
        std::scoped_lock lock(m_mutex);
        id = m_nextTimerId++;
        m_timers.emplace(id, TTimerEntry{interval, Current() + interval, std::move(tick)});
    }
    m_wake.notify_all();  // a waiting loop must look at the new deadline
    return id;
}

void TEventQueue::StopTimer(TTimerId id) {
    std::scoped_lock lock(m_mutex);
    m_timers.erase(id);
}

void TEventQueue::Run() {
    for (;;) {
        {
            std::scoped_lock lock(m_mutex);
            if (m_quit) return;
        }
        WaitAndProcessEvents();
    }
}

void TEventQueue::Quit() {
    {
        std::scoped_lock lock(m_mutex);
        m_quit = true;
    }
    Post([] {});  // wakes a Run that is waiting; a nested wait just runs it
}

bool TEventQueue::QuitRequested() const {
    std::scoped_lock lock(m_mutex);
    return m_quit;
}

void TEventQueue::Advance(std::chrono::milliseconds step) {
    if (m_mode != TClockMode::Manual) return;
    TClock::time_point target;
    {
        std::scoped_lock lock(m_mutex);
        target = m_manualNow + step;
    }
    // Ends: every round either finds no tick due by target or runs one, which moves that
    // timer's deadline on by its interval (more than 0).
    for (;;) {
        TClock::time_point now;
        {
            std::scoped_lock lock(m_mutex);
            std::optional<TClock::time_point> next;
            for (const auto& [id, timer] : m_timers)
                if (timer.due <= target && (!next || timer.due < *next)) next = timer.due;
            if (!next) {
                m_manualNow = target;
                now = target;
            } else {
                if (*next > m_manualNow) m_manualNow = *next;
                now = m_manualNow;
            }
        }
        RunPending(now);
        if (now == target) {
            std::scoped_lock lock(m_mutex);
            bool more = false;
            for (const auto& [id, timer] : m_timers) more = more || timer.due <= target;
            if (!more) return;
        }
    }
}

std::size_t TEventQueue::ActiveTimerCount() const {
    std::scoped_lock lock(m_mutex);
    return m_timers.size();
}

}  // namespace vorla
