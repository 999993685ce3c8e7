#include "engine/Dispatcher.h"

#include <atomic>
#include <exception>
#include <thread>

namespace vorla {

void TDispatcher::RunAndWait(std::function<void()> work) {
    std::atomic<bool> done{false};
    std::exception_ptr error;
    std::jthread worker([&] {
        try {
            work();
        } catch (...) {
            error = std::current_exception();
        }
        done.store(true);
        // Wakes the UI thread's wait. The worker is joined below before any of the locals
        // above go, so posting after setting done is safe.
        Post([] {});
    });
    // A nested RunAndWait started from these events may swallow our wake-up call; it returns
    // only after its own worker, and this loop then sees done.
    while (!done.load()) WaitAndProcessEvents();
    worker.join();
    if (error) std::rethrow_exception(error);
}

}  // namespace vorla
