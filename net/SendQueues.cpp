#include "net/SendQueues.h"

#include <atomic>
#include <condition_variable>
#include <exception>
#include <utility>
#include <vector>

#include "mail/MessageStore.h"

namespace vorla {

// What a pass shares with the calls it posts to the UI thread, which may run after the pass
// object is gone.
struct TPassShared {
    std::mutex mutex;      // guards again and closing
    bool again = false;    // a start request came in while the pass was sending
    bool closing = false;  // the last run is over: further requests start a new pass
    std::atomic<bool> ended{false};      // end handling done: the thread may be joined
    std::atomic<bool> abandoned{false};  // the owner stopped caring: posted calls do nothing
};

struct TSendQueues::TPass {
    TZivadMessageCollection* queue = nullptr;
    std::shared_ptr<void> keepAlive;  // the queue's owner, held until the pass is reaped
    std::shared_ptr<TPassShared> shared = std::make_shared<TPassShared>();
    std::jthread thread;  // last: joined while the rest still exists
};

namespace {

// Runs status(line) on the UI thread and waits until it has run there, or until stop.
void StatusOnUi(const TSendQueues::TPost& post, const TSendQueue::TStatusSink& status, const std::string& line,
                const std::shared_ptr<TPassShared>& shared, std::stop_token stop) {
    struct TCall {
        std::mutex mutex;  // guards done and cancelled
        std::condition_variable_any wake;
        bool done = false;
        bool cancelled = false;
    };
    auto call = std::make_shared<TCall>();
    post([call, status, line, shared] {
        {
            std::scoped_lock lock(call->mutex);
            if (call->cancelled || shared->abandoned) return;
        }
        try {
            status(line);
        } catch (const std::exception&) {
            // A status line that cannot be shown must not stop the UI thread.
        }
        {
            std::scoped_lock lock(call->mutex);
            call->done = true;
        }
        call->wake.notify_all();
    });
    std::unique_lock lock(call->mutex);
    call->wake.wait(lock, stop, [&] { return call->done; });
    if (!call->done) call->cancelled = true;
}

void RunPasses(std::stop_token stop, const std::shared_ptr<TPassShared>& shared, TSendQueueSettings settings,
               TZivadMessageCollection& queue, TSendQueue::TStatusSink status, TSendQueues::TPost post) {
    TSendQueue::TStatusSink sink = status;
    if (post && status)
        sink = [&post, &status, &shared, stop](const std::string& line) { StatusOnUi(post, status, line, shared, stop); };
    TSendQueue pass(std::move(settings), queue, sink);
    bool touched = false;
    for (;;) {
        touched = pass.Run(stop) || touched;
        std::scoped_lock lock(shared->mutex);
        if (!shared->again || stop.stop_requested()) {
            shared->closing = true;
            break;
        }
        shared->again = false;
    }
    auto end = [shared, &queue, touched] {
        if (shared->abandoned) return;
        try {
            if (touched) queue.Reload();
        } catch (const std::exception&) {
            // The list stays as it was; the next load shows the files.
        }
        shared->ended = true;
    };
    if (post) {
        // The lambda holds &queue: it runs only while the owner has not abandoned the pass,
        // and the owner abandons it before the collection may go.
        post(end);
    } else {
        end();
        shared->ended = true;
    }
}

}  // namespace

TSendQueues::TSendQueues() = default;

TSendQueues::~TSendQueues() {
    std::list<std::unique_ptr<TPass>> passes;
    {
        std::scoped_lock lock(m_mutex);
        passes.swap(m_passes);
    }
    for (auto& pass : passes) {
        pass->shared->abandoned = true;
        pass->thread.request_stop();
    }
    passes.clear();  // joins
}

bool TSendQueues::Start(TSendQueueSettings settings, TZivadMessageCollection& queue, TSendQueue::TStatusSink status,
                        TPost post, std::shared_ptr<void> keepAlive) {
    Reap();
    std::scoped_lock lock(m_mutex);
    for (auto& pass : m_passes) {
        if (pass->queue != &queue) continue;
        std::scoped_lock passLock(pass->shared->mutex);
        if (!pass->shared->closing) {
            pass->shared->again = true;
            return false;
        }
    }
    auto pass = std::make_unique<TPass>();
    pass->queue = &queue;
    pass->keepAlive = std::move(keepAlive);
    pass->thread = std::jthread(RunPasses, pass->shared, std::move(settings), std::ref(queue), std::move(status),
                                std::move(post));
    m_passes.push_back(std::move(pass));
    return true;
}

int TSendQueues::Running() const {
    std::scoped_lock lock(m_mutex);
    int count = 0;
    for (const auto& pass : m_passes)
        if (!pass->shared->ended) ++count;
    return count;
}

bool TSendQueues::Running(const TZivadMessageCollection& queue) const {
    std::scoped_lock lock(m_mutex);
    for (const auto& pass : m_passes)
        if (pass->queue == &queue && !pass->shared->ended) return true;
    return false;
}

void TSendQueues::Reap() {
    std::list<std::unique_ptr<TPass>> ended;
    {
        std::scoped_lock lock(m_mutex);
        for (auto it = m_passes.begin(); it != m_passes.end();) {
            auto next = std::next(it);
            if ((*it)->shared->ended) ended.splice(ended.end(), m_passes, it);
            it = next;
        }
    }
    ended.clear();  // joins: each thread has at most its return left
}

void TSendQueues::StopAll() {
    std::scoped_lock lock(m_mutex);
    for (auto& pass : m_passes) pass->thread.request_stop();
}

void TSendQueues::StopAndWait(const TZivadMessageCollection* queue) {
    std::list<std::unique_ptr<TPass>> stopping;
    {
        std::scoped_lock lock(m_mutex);
        for (auto it = m_passes.begin(); it != m_passes.end();) {
            auto next = std::next(it);
            if (!queue || (*it)->queue == queue) stopping.splice(stopping.end(), m_passes, it);
            it = next;
        }
    }
    for (auto& pass : stopping) {
        pass->shared->abandoned = true;
        pass->thread.request_stop();
    }
    for (auto& pass : stopping) {
        pass->thread.join();
        if (pass->shared->ended) continue;
        try {
            pass->queue->Reload();  // while the pass still holds the queue's owner
        } catch (const std::exception&) {
        }
    }
    stopping.clear();
}

TSendQueues& SharedSendQueues() {
    static TSendQueues queues;
    return queues;
}

}  // namespace vorla
