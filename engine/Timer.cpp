#include "engine/Timer.h"

#include <chrono>

#include "platform/Errors.h"

namespace vorla {

TTimer::TTimer(TDispatcher& dispatcher, int interval, std::function<void()> onTick)
    : m_dispatcher(dispatcher), m_onTick(std::move(onTick)), m_interval(0) {
    SetInterval(interval);
}

TTimer::~TTimer() { m_dispatcher.StopTimer(m_id); }

void TTimer::SetEnabled(bool enabled) {
    if (enabled == m_enabled) return;
    m_enabled = enabled;
    Update();
}

void TTimer::SetInterval(int ms) {
    if (ms < 0) throw TVorlaError("the timer interval cannot be negative: " + std::to_string(ms));
    if (ms == m_interval && Running()) return;
    m_interval = ms;
    Update();
}

void TTimer::Update() {
    m_dispatcher.StopTimer(m_id);
    m_id = kNoTimer;
    if (m_enabled && m_interval > 0)
        m_id = m_dispatcher.StartTimer(std::chrono::milliseconds(m_interval), [this] { m_onTick(); });
}

}  // namespace vorla
