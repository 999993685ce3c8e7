#include "engine/SimpleThread.h"

#include "engine/Dispatcher.h"

#include <memory>

namespace vorla {

TSimpleThread::TSimpleThread(bool createSuspended, TZivadLog& log, TThreadProcedure procedure,
                             TZivadAccount& context)
    : m_log(log), m_procedure(std::move(procedure)), m_context(context) {
    if (!createSuspended) Start();
}

TSimpleThread::~TSimpleThread() { WaitFor(); }

void TSimpleThread::SetOnTerminate(std::function<void()> onTerminate) {
    std::scoped_lock lock(m_mutex);
    m_onTerminate = std::move(onTerminate);
}

void TSimpleThread::Start() {
    std::scoped_lock lock(m_threadMutex);
    if (m_started.exchange(true)) return;
    m_thread = std::thread([this] { Execute(); });
}

void TSimpleThread::WaitFor() {
    std::scoped_lock lock(m_threadMutex);
    if (m_thread.joinable()) m_thread.join();
}

std::exception_ptr TSimpleThread::Error() const {
    std::scoped_lock lock(m_mutex);
    return m_error;
}

void TSimpleThread::Execute() noexcept {
    std::exception_ptr error;
    try {
        if (m_procedure) m_procedure(m_context, m_log);
    } catch (...) {
        error = std::current_exception();
    }
    std::function<void()> onTerminate;
    {
        std::scoped_lock lock(m_mutex);
        m_error = error;
        onTerminate = m_onTerminate;
    }
    m_finished.store(true);
    if (onTerminate) onTerminate();
}

std::exception_ptr RunAndWait(TDispatcher& dispatcher, TZivadLog& log, TThreadProcedure procedure,
                              TZivadAccount& context) {
    TWaitThread worker(log, std::move(procedure), context);
    // Wakes the wait below. The worker is joined before it goes, and posting is its last act.
    worker.SetOnTerminate([&dispatcher] { dispatcher.Post([] {}); });
    worker.Start();
    // What is pending now runs in any case, also when the worker ends at once: a Stop pressed
    // just before the run must not be left for after it.
    dispatcher.ProcessEvents();
    // A nested RunAndWait run from these events may take our wake-up call; it returns only
    // after its own worker has ended, and this loop then looks at Finished again.
    while (!worker.Finished()) dispatcher.WaitAndProcessEvents();
    worker.WaitFor();
    return worker.Error();
}

std::exception_ptr RunAndWait(TDispatcher& dispatcher, std::function<void()> procedure) {
    struct TRun {
        std::function<void()> procedure;
        std::exception_ptr error;  // written by the worker before finished, read after the join
        std::atomic<bool> finished{false};
    };
    const auto run = std::make_shared<TRun>();
    run->procedure = std::move(procedure);
    std::thread worker([run, &dispatcher] {
        try {
            if (run->procedure) run->procedure();
        } catch (...) {
            run->error = std::current_exception();
        }
        run->finished.store(true);
        dispatcher.Post([] {});  // wakes the wait below; joined before the wait returns
    });
    // Joined also when an event run meanwhile throws: the thread never outlives the call.
    struct TJoin {
        std::thread& thread;
        ~TJoin() { thread.join(); }
    } join{worker};
    dispatcher.ProcessEvents();
    while (!run->finished.load()) dispatcher.WaitAndProcessEvents();
    return run->error;
}

}  // namespace vorla
