#pragma once
#include <atomic>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

// The worker threads of the fetch: a thread that runs one procedure once (TSimpleThread), the
// worker type that the UI thread waits for while it keeps running its events (TWaitThread),
// and that wait (RunAndWait).
namespace vorla {

class TDispatcher;
class TZivadAccount;
class TZivadLog;

// What a worker runs: FetchMail has this form.
using TThreadProcedure = std::function<void(TZivadAccount& context, TZivadLog& log)>;

// A thread that runs procedure(context, log) once and ends. Created suspended or started at
// once. The object is the thread's owner: its destructor waits for the run to end, so a
// thread never outlives what it uses (the "frees itself" of a worker is its owner destroying
// it right after the run). An exception that escapes the procedure ends the run and is kept
// (Error); it never leaves the thread. context and log must outlive the object.
class TSimpleThread {
public:
    TSimpleThread(bool createSuspended, TZivadLog& log, TThreadProcedure procedure, TZivadAccount& context);
    virtual ~TSimpleThread();  // waits for a started run; a never-started thread just goes
    TSimpleThread(const TSimpleThread&) = delete;
    TSimpleThread& operator=(const TSimpleThread&) = delete;

    // Called on the thread once the run has ended (after Finished() became true); for waking a
    // waiter. Must not throw. Set it before Start.
    void SetOnTerminate(std::function<void()> onTerminate);
    // Starts a suspended thread; does nothing when it was started already.
    void Start();
    bool Started() const { return m_started.load(); }
    // The run has ended (any thread).
    bool Finished() const { return m_finished.load(); }
    // Waits until a started run has ended; returns at once when it was never started.
    void WaitFor();
    // What escaped the procedure, or null. Read it after Finished().
    std::exception_ptr Error() const;

private:
    void Execute() noexcept;

    TZivadLog& m_log;
    TThreadProcedure m_procedure;
    TZivadAccount& m_context;
    std::function<void()> m_onTerminate;
    std::atomic<bool> m_started{false};
    std::atomic<bool> m_finished{false};
    mutable std::mutex m_mutex;  // guards m_onTerminate and m_error
    std::exception_ptr m_error;
    std::mutex m_threadMutex;  // guards m_thread (its start and join); never taken by the run
    std::thread m_thread;      // last: joined while everything above still exists
};

// The worker that RunAndWait starts: a TSimpleThread that is always created suspended.
class TWaitThread : public TSimpleThread {
public:
    TWaitThread(TZivadLog& log, TThreadProcedure procedure, TZivadAccount& context)
        : TSimpleThread(true, log, std::move(procedure), context) {}
};

// UI thread only. Runs procedure(context, log) on a new TWaitThread and returns when it has
// ended, running the UI thread's pending events (through the dispatcher) whenever they arrive
// meanwhile, so that windows and "Stop" stay usable; any command may run from them, a nested
// RunAndWait included. Returns what escaped the procedure (null when nothing did): the worker
// has ended either way and shows nothing to anyone.
std::exception_ptr RunAndWait(TDispatcher& dispatcher, TZivadLog& log, TThreadProcedure procedure,
                              TZivadAccount& context);

// The same wait for a procedure that needs no account and no log (the peek window's server
// commands). Whatever procedure uses must outlive the worker: hold it by a shared pointer
// captured in procedure when the caller itself may go meanwhile.
std::exception_ptr RunAndWait(TDispatcher& dispatcher, std::function<void()> procedure);

}  // namespace vorla
