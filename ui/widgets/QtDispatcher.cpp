#include "ui/widgets/QtDispatcher.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QTimer>

#include <cassert>

namespace vorla {

TQtDispatcher::TQtDispatcher() : m_receiver(std::make_unique<QObject>()) {}

TQtDispatcher::~TQtDispatcher() {
    for (auto& [id, timer] : m_timers)
        if (timer) timer->stop();
}

void TQtDispatcher::Post(std::function<void()> call) {
    // The receiver's thread affinity makes the call run on the GUI thread whoever posts it;
    // a queued connection never runs it inside Post, also on the GUI thread.
    QMetaObject::invokeMethod(m_receiver.get(), [call = std::move(call)] { call(); }, Qt::QueuedConnection);
}

void TQtDispatcher::ProcessEvents() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

void TQtDispatcher::WaitAndProcessEvents() {
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

TTimerId TQtDispatcher::StartTimer(std::chrono::milliseconds interval, std::function<void()> tick) {
    assert(interval.count() > 0);
    auto* timer = new QTimer(m_receiver.get());  // owned by the receiver
    timer->setInterval(static_cast<int>(interval.count()));
    QObject::connect(timer, &QTimer::timeout, m_receiver.get(), [tick = std::move(tick)] { tick(); });
    timer->start();
    const TTimerId id = m_nextTimerId++;
    m_timers.emplace(id, timer);
    return id;
}

void TQtDispatcher::StopTimer(TTimerId id) {
    auto it = m_timers.find(id);
    if (it == m_timers.end()) return;
    QTimer* timer = it->second;
    m_timers.erase(it);
    if (!timer) return;
    timer->stop();
    timer->disconnect();
    // Not deleted here: StopTimer may run from this very timer's tick.
    timer->deleteLater();
}

}  // namespace vorla
