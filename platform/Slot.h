#pragma once
#include <cstdint>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

namespace vorla {

// A notification slot, raised on whatever thread does the work. It holds any number of
// subscribers (a window and a status-line printer may both listen), each a callback whose
// captures are its context; an empty slot is skipped. Set/Subscribe/Unsubscribe/Clear/Raise
// may be called from any thread. Raise calls the callbacks outside the slot's lock, in the
// order they subscribed, so a subscriber may change the slot or read the object back; one
// that unsubscribes while a Raise is under way may still get that one call.
template <typename... Args>
class TSlot {
public:
    using TCallback = std::function<void(Args...)>;
    using TSubscription = std::uint64_t;

    // Adds a subscriber and returns its id for Unsubscribe. An empty callback adds nothing
    // (and returns 0).
    TSubscription Subscribe(TCallback callback) {
        if (!callback) return 0;
        std::scoped_lock lock(m_mutex);
        m_subscribers.emplace_back(++m_lastId, std::move(callback));
        return m_lastId;
    }
    void Unsubscribe(TSubscription id) {
        std::scoped_lock lock(m_mutex);
        std::erase_if(m_subscribers, [id](const auto& entry) { return entry.first == id; });
    }
    // The single-subscriber form: callback becomes the only subscriber (none when empty).
    void Set(TCallback callback) {
        std::scoped_lock lock(m_mutex);
        m_subscribers.clear();
        if (callback) m_subscribers.emplace_back(++m_lastId, std::move(callback));
    }
    void Clear() { Set(nullptr); }
    bool Empty() const {
        std::scoped_lock lock(m_mutex);
        return m_subscribers.empty();
    }
    void Raise(Args... args) const {
        std::vector<std::pair<TSubscription, TCallback>> subscribers;
        {
            std::scoped_lock lock(m_mutex);
            subscribers = m_subscribers;
        }
        for (const auto& entry : subscribers) entry.second(args...);
    }

private:
    mutable std::mutex m_mutex;  // guards m_subscribers and m_lastId
    std::vector<std::pair<TSubscription, TCallback>> m_subscribers;
    TSubscription m_lastId = 0;
};

}  // namespace vorla
