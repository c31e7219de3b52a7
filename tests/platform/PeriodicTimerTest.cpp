#include "platform/PeriodicTimer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;

TEST(PeriodicTimerTest, CallsAtItsPeriodOnAThreadOfItsOwn) {
    platform::PeriodicTimer timer;
    std::atomic<int> calls{0};
    std::atomic<bool> onCaller{false};
    const std::thread::id caller = std::this_thread::get_id();
    ASSERT_TRUE(timer.Start(50, [&] {
        if (std::this_thread::get_id() == caller)
            onCaller = true;
        ++calls;
    }));
    EXPECT_TRUE(timer.Running());
    EXPECT_FALSE(timer.Start(50, [] {})) << "a running timer is not started twice";
    std::this_thread::sleep_for(1000ms);
    timer.Stop();
    EXPECT_FALSE(timer.Running());
    // About 20 calls; the bounds only catch a timer that does not repeat, or one that
    // runs without waiting.
    EXPECT_GE(calls.load(), 5);
    EXPECT_LE(calls.load(), 25);
    EXPECT_FALSE(onCaller.load());

    const int afterStop = calls.load();
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(calls.load(), afterStop) << "no call after Stop returned";
}

TEST(PeriodicTimerTest, RefusesAZeroPeriodOrNoCallback) {
    platform::PeriodicTimer timer;
    EXPECT_FALSE(timer.Start(0, [] {}));
    EXPECT_FALSE(timer.Start(10, nullptr));
    EXPECT_FALSE(timer.Running());
    timer.Stop(); // nothing to stop
}

TEST(PeriodicTimerTest, StopWaitsForTheRunningCallAndSkipsTheMissedOnes) {
    platform::PeriodicTimer timer;
    std::atomic<int> entered{0};
    std::atomic<int> returned{0};
    ASSERT_TRUE(timer.Start(10, [&] {
        ++entered;
        std::this_thread::sleep_for(300ms);
        ++returned;
    }));
    while (entered.load() == 0)
        std::this_thread::sleep_for(1ms);
    timer.Stop();
    EXPECT_EQ(returned.load(), entered.load()) << "Stop returned while the callback still ran";
    // A 300 ms call covers 30 periods; they are dropped, not run back to back.
    EXPECT_EQ(entered.load(), 1);
    timer.Stop(); // twice is harmless
}

TEST(PeriodicTimerTest, StopFromInsideTheCallbackEndsTheTimer) {
    platform::PeriodicTimer timer;
    std::atomic<int> calls{0};
    ASSERT_TRUE(timer.Start(10, [&] {
        if (++calls == 3)
            timer.Stop();
    }));
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (timer.Running() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    EXPECT_FALSE(timer.Running());
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(calls.load(), 3);
    timer.Stop(); // joins the ended thread
}

TEST(PeriodicTimerTest, StartsAgainAfterStop) {
    platform::PeriodicTimer timer;
    std::atomic<int> first{0};
    std::atomic<int> second{0};
    ASSERT_TRUE(timer.Start(10, [&] { ++first; }));
    std::this_thread::sleep_for(100ms);
    timer.Stop();
    const int firstCalls = first.load();
    EXPECT_GT(firstCalls, 0);

    ASSERT_TRUE(timer.Start(10, [&] { ++second; }));
    std::this_thread::sleep_for(100ms);
    timer.Stop();
    EXPECT_GT(second.load(), 0);
    EXPECT_EQ(first.load(), firstCalls) << "the first callback was dropped with its run";
}

TEST(PeriodicTimerTest, StartsAgainAfterStoppingFromInside) {
    platform::PeriodicTimer timer;
    std::atomic<bool> stopped{false};
    ASSERT_TRUE(timer.Start(10, [&] {
        timer.Stop();
        stopped = true;
    }));
    while (!stopped.load())
        std::this_thread::sleep_for(1ms);
    std::atomic<int> calls{0};
    ASSERT_TRUE(timer.Start(10, [&] { ++calls; }));
    std::this_thread::sleep_for(100ms);
    timer.Stop();
    EXPECT_GT(calls.load(), 0);
}

TEST(PeriodicTimerTest, DestroyedByItsOwnCallback) {
    auto* timer = new platform::PeriodicTimer;
    std::atomic<bool> destroyed{false};
    ASSERT_TRUE(timer->Start(10, [&] {
        if (destroyed.exchange(true))
            ADD_FAILURE() << "called after its timer was destroyed";
        else
            delete timer;
    }));
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!destroyed.load() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    EXPECT_TRUE(destroyed.load());
    std::this_thread::sleep_for(100ms);
}

} // namespace
