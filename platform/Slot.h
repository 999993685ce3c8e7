#pragma once
#include <functional>
#include <mutex>

namespace vorla {

// A single-subscriber notification slot: one callback (its captures are the context), raised
// on whatever thread does the work. An empty slot is skipped. Set/Clear/Raise may be called
// from any thread; Raise calls the callback outside the slot's lock, so a subscriber may
// clear the slot or read the object back.
template <typename... Args>
class TSlot {
public:
    void Set(std::function<void(Args...)> callback) {
        std::scoped_lock lock(m_mutex);
        m_callback = std::move(callback);
    }
    void Clear() { Set(nullptr); }
    bool Empty() const {
        std::scoped_lock lock(m_mutex);
        return !m_callback;
    }
    void Raise(Args... args) const {
        std::function<void(Args...)> callback;
        {
            std::scoped_lock lock(m_mutex);
            callback = m_callback;
        }
        if (callback) callback(args...);
    }

private:
    mutable std::mutex m_mutex;  // guards m_callback
    std::function<void(Args...)> m_callback;
};

}  // namespace vorla
