#pragma once
#include <QObject>
#include <QPointer>

#include <map>
#include <memory>

#include "engine/Dispatcher.h"

class QTimer;

// The engine's dispatcher on the Qt event loop of the thread that creates it (the GUI
// thread): posted calls become queued invocations, the waits run Qt's event processing and
// the timers are QTimers. A QApplication (or QCoreApplication) must exist for its lifetime.
namespace vorla {

class TQtDispatcher final : public TDispatcher {
public:
    TQtDispatcher();
    ~TQtDispatcher() override;
    TQtDispatcher(const TQtDispatcher&) = delete;
    TQtDispatcher& operator=(const TQtDispatcher&) = delete;

    // Any thread. Calls still queued when the dispatcher goes are dropped, not run.
    void Post(std::function<void()> call) override;
    void ProcessEvents() override;
    void WaitAndProcessEvents() override;
    TTimerId StartTimer(std::chrono::milliseconds interval, std::function<void()> tick) override;
    void StopTimer(TTimerId id) override;

private:
    // Lives on the GUI thread: queued calls run in its context, and the timers are its
    // children, so whatever is still pending goes with it.
    std::unique_ptr<QObject> m_receiver;
    std::map<TTimerId, QPointer<QTimer>> m_timers;  // GUI thread only
    TTimerId m_nextTimerId = 1;
};

}  // namespace vorla
