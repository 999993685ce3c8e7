#include "engine/SimpleThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "engine/EventQueue.h"
#include "engine/ZivadAccount.h"
#include "log/ZivadLog.h"
#include "platform/Home.h"
#include "support/TempDir.h"

namespace vorla {
namespace {

using namespace std::chrono_literals;

class SimpleThreadTest : public ::testing::Test {
protected:
    SimpleThreadTest() {
        SetHomeFolder(m_home.Path());
        m_owned = std::make_unique<TZivadAccount>(nullptr, "acct");
    }
    ~SimpleThreadTest() override {
        m_owned.reset();
        SetHomeFolder("");
    }

    test::TTempDir m_home;
    TZivadLog m_log{m_home / "vorla.log"};
    std::unique_ptr<TZivadAccount> m_owned;
};

TEST_F(SimpleThreadTest, RunsItsProcedureOnceOnItsOwnThreadWhenStarted) {
    std::atomic<int> runs{0};
    std::thread::id where;
    TZivadAccount* seenContext = nullptr;
    TZivadLog* seenLog = nullptr;
    {
        TSimpleThread thread(true, m_log, [&](TZivadAccount& context, TZivadLog& log) {
            ++runs;
            where = std::this_thread::get_id();
            seenContext = &context;
            seenLog = &log;
        }, *m_owned);
        std::this_thread::sleep_for(20ms);
        EXPECT_EQ(runs, 0);  // suspended until started
        EXPECT_FALSE(thread.Started());
        thread.Start();
        thread.Start();  // once only
        thread.WaitFor();
        EXPECT_TRUE(thread.Finished());
        EXPECT_EQ(thread.Error(), nullptr);
    }
    EXPECT_EQ(runs, 1);
    EXPECT_NE(where, std::this_thread::get_id());
    EXPECT_EQ(seenContext, m_owned.get());
    EXPECT_EQ(seenLog, &m_log);

    // Started at once, and gone at the end of its scope only after its run.
    std::atomic<bool> done{false};
    {
        TSimpleThread thread(false, m_log, [&](TZivadAccount&, TZivadLog&) {
            std::this_thread::sleep_for(50ms);
            done = true;
        }, *m_owned);
    }
    EXPECT_TRUE(done);
    { TWaitThread neverStarted(m_log, [&](TZivadAccount&, TZivadLog&) { ++runs; }, *m_owned); }
    EXPECT_EQ(runs, 1);
}

TEST_F(SimpleThreadTest, AnEscapingErrorEndsTheRunAndIsKeptNotThrown) {
    TWaitThread thread(m_log, [](TZivadAccount&, TZivadLog&) { throw std::runtime_error("fetch failed"); }, *m_owned);
    std::atomic<bool> terminated{false};
    thread.SetOnTerminate([&] { terminated = thread.Finished(); });
    thread.Start();
    thread.WaitFor();
    EXPECT_TRUE(terminated);  // after the run was marked finished
    ASSERT_NE(thread.Error(), nullptr);
    EXPECT_THROW(std::rethrow_exception(thread.Error()), std::runtime_error);
}

TEST_F(SimpleThreadTest, RunAndWaitKeepsTheUiThreadRunningItsEvents) {
    TEventQueue queue(TEventQueue::TClockMode::Manual);
    std::atomic<bool> uiCallRan{false};
    bool nestedRan = false;
    const std::exception_ptr error = RunAndWait(queue, m_log, [&](TZivadAccount& context, TZivadLog& log) {
        // A call for the UI thread, and a wait for it: without the UI pumping this would time out.
        queue.Post([&] {
            uiCallRan = true;
            // Any command may run from there, another wait included.
            EXPECT_EQ(RunAndWait(queue, log, [&](TZivadAccount&, TZivadLog&) { nestedRan = true; }, context), nullptr);
        });
        for (int i = 0; i < 500 && !uiCallRan; ++i) std::this_thread::sleep_for(10ms);
        if (!uiCallRan) throw std::runtime_error("the UI thread did not run its events");
    }, *m_owned);
    EXPECT_EQ(error, nullptr);
    EXPECT_TRUE(uiCallRan);
    EXPECT_TRUE(nestedRan);

    const std::exception_ptr escaped =
        RunAndWait(queue, m_log, [](TZivadAccount&, TZivadLog&) { throw std::logic_error("boom"); }, *m_owned);
    ASSERT_NE(escaped, nullptr);
    EXPECT_THROW(std::rethrow_exception(escaped), std::logic_error);
}

TEST_F(SimpleThreadTest, NestedRunAndWaitReturnsInOrder) {
    TEventQueue queue;
    std::atomic<bool> releaseOuter{false};
    std::vector<int> order;
    queue.Post([&] {
        // Runs while the outer worker waits: a second run, as a "Get Mail" pressed mid-run.
        EXPECT_EQ(RunAndWait(queue, m_log, [&](TZivadAccount&, TZivadLog&) { order.push_back(1); }, *m_owned),
                  nullptr);
        order.push_back(2);
        releaseOuter = true;
    });
    RunAndWait(queue, m_log, [&](TZivadAccount&, TZivadLog&) {
        for (int i = 0; i < 5000 && !releaseOuter; ++i) std::this_thread::sleep_for(1ms);
    }, *m_owned);
    order.push_back(3);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(RunAndWaitWithoutAccount, KeepsTheUiThreadRunningAndReturnsWhatEscaped) {
    TEventQueue queue(TEventQueue::TClockMode::Manual);
    std::atomic<bool> uiCallRan{false};
    std::thread::id workerThread;
    const std::exception_ptr error = RunAndWait(queue, [&] {
        workerThread = std::this_thread::get_id();
        queue.Post([&] { uiCallRan = true; });
        for (int i = 0; i < 500 && !uiCallRan; ++i) std::this_thread::sleep_for(10ms);
        if (!uiCallRan) throw std::runtime_error("the UI thread did not run its events");
    });
    EXPECT_EQ(error, nullptr);
    EXPECT_TRUE(uiCallRan);
    EXPECT_NE(workerThread, std::this_thread::get_id());

    // What the worker holds by a shared pointer stays while it runs, also when the caller's
    // copy goes in an event run meanwhile.
    auto held = std::make_shared<std::vector<int>>(3, 7);
    std::weak_ptr<std::vector<int>> watch = held;
    std::atomic<bool> dropped{false};
    queue.Post([&] {
        held.reset();
        dropped = true;
    });
    const std::exception_ptr escaped = RunAndWait(queue, [data = held, &dropped] {
        for (int i = 0; i < 500 && !dropped; ++i) std::this_thread::sleep_for(10ms);
        if (data->at(2) != 7) throw std::logic_error("changed");
        throw std::out_of_range("boom");
    });
    ASSERT_NE(escaped, nullptr);
    EXPECT_THROW(std::rethrow_exception(escaped), std::out_of_range);
    EXPECT_TRUE(dropped);
    EXPECT_TRUE(watch.expired());  // the worker's copy went with it
}

}  // namespace
}  // namespace vorla
