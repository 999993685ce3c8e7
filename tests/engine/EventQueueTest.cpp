#include "engine/EventQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

namespace vorla {
namespace {

using namespace std::chrono_literals;

TEST(EventQueue, ManualClockRunsTicksInTimeOrder) {
    TEventQueue queue(TEventQueue::TClockMode::Manual);
    std::vector<std::string> ticks;
    const TTimerId a = queue.StartTimer(300ms, [&] { ticks.push_back("a"); });
    queue.StartTimer(200ms, [&] { ticks.push_back("b"); });
    queue.Advance(650ms);  // b 200, a 300, b 400, then a and b at 600 in the order they were made
    EXPECT_EQ(ticks, (std::vector<std::string>{"b", "a", "b", "a", "b"}));
    queue.StopTimer(a);
    ticks.clear();
    queue.Advance(400ms);  // b 800, b 1000
    EXPECT_EQ(ticks, (std::vector<std::string>{"b", "b"}));
    EXPECT_THROW(queue.StartTimer(0ms, [] {}), std::exception);
}

TEST(EventQueue, TimerStoppedInItsOwnTickNeverTicksAgain) {
    TEventQueue queue(TEventQueue::TClockMode::Manual);
    int ticks = 0;
    TTimerId id = kNoTimer;
    id = queue.StartTimer(10ms, [&] {
        ++ticks;
        queue.StopTimer(id);
    });
    queue.Advance(100ms);
    EXPECT_EQ(ticks, 1);
    EXPECT_EQ(queue.ActiveTimerCount(), 0u);
}

TEST(EventQueue, RealClockTicksAndQuitEndsRun) {
    TEventQueue queue;
    int ticks = 0;
    queue.StartTimer(5ms, [&] {
        if (++ticks == 3) queue.Quit();
    });
    std::jthread guard([&](std::stop_token stop) {  // bounds the test if Quit never comes
        for (int i = 0; i < 10000 && !stop.stop_requested(); ++i) std::this_thread::sleep_for(1ms);
        if (!stop.stop_requested()) queue.Quit();
    });
    queue.Run();
    guard.request_stop();
    EXPECT_EQ(ticks, 3);
}

TEST(EventQueue, CallsPostedFromACallWaitForTheNextRound) {
    TEventQueue queue;
    int depth = 0;
    std::function<void()> again = [&] {
        ++depth;
        queue.Post(again);
    };
    queue.Post(again);
    queue.ProcessEvents();
    EXPECT_EQ(depth, 1);
    queue.ProcessEvents();
    EXPECT_EQ(depth, 2);
}

}  // namespace
}  // namespace vorla
