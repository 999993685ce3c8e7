#pragma once
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <stop_token>
#include <thread>

#include "net/SendQueue.h"

// The owner of the queue senders' threads: each start request runs a pass (TSendQueue) on a
// thread of its own, which this object reaps once the pass has ended. Nothing is detached.
namespace vorla {

class TZivadMessageCollection;

class TSendQueues {
public:
    // Hands a call to the UI thread and returns at once (the dispatcher's Post).
    using TPost = std::function<void(std::function<void()>)>;

    TSendQueues();
    // Stops every pass and waits for its thread; the calls it posted and that have not run
    // yet do nothing. Collections are not touched from here: callers whose collections go
    // first use StopAndWait before.
    ~TSendQueues();
    TSendQueues(const TSendQueues&) = delete;
    TSendQueues& operator=(const TSendQueues&) = delete;

    // Starts a pass over queue on a new thread and returns at once. With post, every status
    // line is handed to the UI thread through it and the sending thread waits until status has
    // run there (a stop request ends that wait; the line is then dropped), and when the pass
    // is over its end handling (queue.Reload()) runs there too. Without post both run on the
    // sending thread.
    //
    // Two passes over one queue never run at once (they share the working folder). A request
    // for a queue whose pass is still sending is not dropped: that pass runs once more when it
    // is done, so messages queued after it took its files still go out; any number of such
    // requests make one more run. Returns true when a new thread was started.
    //
    // Any thread. queue must outlive the pass: keepAlive (its owner, say) is held until the
    // pass has been reaped or stopped; without it the caller keeps queue alive (see
    // StopAndWait). status may be empty.
    bool Start(TSendQueueSettings settings, TZivadMessageCollection& queue, TSendQueue::TStatusSink status,
               TPost post = {}, std::shared_ptr<void> keepAlive = {});

    // Passes whose end handling has not run yet. Any thread.
    int Running() const;
    bool Running(const TZivadMessageCollection& queue) const;
    // Joins the threads of passes that have ended. Any thread but a sending one.
    void Reap();
    // Asks every pass to stop: each ends after the message it is sending and puts the rest
    // back into its queue. Returns at once.
    void StopAll();
    // Stops the passes over queue (all passes when nullptr) and waits for their threads, then
    // reloads each of those queues whose end handling had not run; their posted calls that
    // have not run yet do nothing. For the owner of the collections before they go (the
    // engine's shut-down, deleting an account). Not from a sending thread.
    void StopAndWait(const TZivadMessageCollection* queue = nullptr);

private:
    struct TPass;

    mutable std::mutex m_mutex;  // guards m_passes
    std::list<std::unique_ptr<TPass>> m_passes;
};

// The senders of the engine's accounts (one engine per process). Its owner stops them with
// StopAndWait before the accounts are destroyed.
TSendQueues& SharedSendQueues();

}  // namespace vorla
