#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/SimpleThread.h"
#include "engine/ZivadAccount.h"
#include "engine/ZivadAccounts.h"
#include "log/ZivadLog.h"
#include "support/TempDir.h"
#include "ui/widgets/QtDispatcher.h"
#include "widgets/WidgetTests.h"

using namespace std::chrono_literals;

namespace vorla::test {
namespace {

// Runs Qt's events until done() or the deadline.
bool ProcessUntil(const std::function<bool()>& done, int ms = 5000) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

}  // namespace

class QtDispatcherTest : public QObject {
    Q_OBJECT
private slots:
    void CallsPostedFromWorkersRunOnTheGuiThreadInOrder() {
        TQtDispatcher dispatcher;
        const auto gui = std::this_thread::get_id();
        std::mutex mutex;
        std::vector<int> order;
        bool offThread = false;
        std::jthread worker([&] {
            for (int i = 0; i < 50; ++i)
                dispatcher.Post([&, i] {
                    std::scoped_lock lock(mutex);
                    order.push_back(i);
                    offThread = offThread || std::this_thread::get_id() != gui;
                });
        });
        worker.join();
        QVERIFY(ProcessUntil([&] {
            std::scoped_lock lock(mutex);
            return order.size() == 50;
        }));
        QVERIFY(!offThread);
        for (int i = 0; i < 50; ++i) QCOMPARE(order[i], i);
    }

    void PostOnTheGuiThreadRunsOnlyFromTheEventLoop() {
        TQtDispatcher dispatcher;
        bool ran = false;
        dispatcher.Post([&] { ran = true; });
        QVERIFY(!ran);
        dispatcher.ProcessEvents();
        QVERIFY(ran);
    }

    void CallsStillQueuedWhenTheDispatcherGoesAreDropped() {
        bool ran = false;
        {
            TQtDispatcher dispatcher;
            dispatcher.Post([&] { ran = true; });
        }
        QCoreApplication::processEvents();
        QVERIFY(!ran);
    }

    // The worker needs a call of the GUI thread before it can end: RunAndWait must run it.
    void RunAndWaitKeepsTheGuiThreadRunningEvents() {
        TTempDir home;
        TQtDispatcher dispatcher;
        TZivadAccounts accounts(nullptr, home / "accounts/");
        TZivadAccount& account = accounts.Add("one");
        TZivadLog log(home / "vorla.log");
        std::atomic<bool> answered{false};
        std::atomic<bool> workerSawAnswer{false};
        int ticks = 0;
        const TTimerId timer = dispatcher.StartTimer(10ms, [&] { ++ticks; });
        const auto error = RunAndWait(
            dispatcher, log,
            [&](TZivadAccount&, TZivadLog&) {
                dispatcher.Post([&] { answered = true; });
                const auto deadline = std::chrono::steady_clock::now() + 5s;
                while (!answered && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
                workerSawAnswer = answered.load();
                std::this_thread::sleep_for(60ms);  // time for some ticks meanwhile
            },
            account);
        dispatcher.StopTimer(timer);
        QVERIFY(!error);
        QVERIFY(workerSawAnswer);
        QVERIFY(ticks >= 2);
    }

    void ATimerStoppedFromItsOwnTickNeverTicksAgain() {
        TQtDispatcher dispatcher;
        int ticks = 0;
        TTimerId id = kNoTimer;
        id = dispatcher.StartTimer(5ms, [&] {
            ++ticks;
            dispatcher.StopTimer(id);
        });
        QVERIFY(id != kNoTimer);
        QVERIFY(ProcessUntil([&] { return ticks > 0; }));
        QTest::qWait(50);
        QCOMPARE(ticks, 1);
        dispatcher.StopTimer(id);        // already stopped: ignored
        dispatcher.StopTimer(kNoTimer);  // ignored
    }
};

int RunQtDispatcherTests(int argc, char** argv) {
    QtDispatcherTest test;
    return QTest::qExec(&test, argc, argv);
}

}  // namespace vorla::test

#include "QtDispatcherTest.moc"
