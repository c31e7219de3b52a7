#include "platform/Clock.h"

#include <gtest/gtest.h>

#include <ctime>
#include <set>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace platform;

TEST(Clock, TicksAdvanceWithSleep) {
    uint64_t before = TickCount64();
    SleepMs(30);
    uint64_t after = TickCount64();
    EXPECT_GE(after - before, 30u);
    SleepMs(0);
}

TEST(Clock, TickCountIsTheLowHalfOfTickCount64) {
    uint64_t a = TickCount64();
    uint32_t t = TickCount();
    uint64_t b = TickCount64();
    // Modular arithmetic: holds across a wrap as well.
    EXPECT_LE(static_cast<uint32_t>(t - static_cast<uint32_t>(a)), static_cast<uint32_t>(b - a));
}

TEST(Clock, ThreadIdsAreKernelIds) {
    EXPECT_EQ(CurrentThreadId(), static_cast<uint32_t>(::getpid())); // tests run on the main thread
    std::set<uint32_t> ids{CurrentThreadId()};
    std::vector<uint32_t> seen(3, 0);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&seen, i] { seen[i] = CurrentThreadId(); });
    for (auto& t : threads)
        t.join();
    for (uint32_t id : seen) {
        EXPECT_NE(id, 0u);
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), 4u);

    // A forked child is a new thread with an id of its own.
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        ::_exit(CurrentThreadId() == static_cast<uint32_t>(::getpid()) ? 0 : 1);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(Clock, SystemTimeIsWallClock) {
    uint64_t before = static_cast<uint64_t>(std::time(nullptr));
    uint64_t now = SystemTimeSeconds();
    uint64_t after = static_cast<uint64_t>(std::time(nullptr));
    EXPECT_GE(now, before);
    EXPECT_LE(now, after + 1); // time() may read a coarser clock that lags a little
}

} // namespace
