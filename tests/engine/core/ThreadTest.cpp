#include "engine/core/HostLookup.h"
#include "engine/core/QSMutex.h"
#include "engine/core/QTMutex.h"
#include "engine/core/QThread.h"
#include "engine/core/QTimeThread.h"
#include "platform/Clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// A thread whose body is supplied by the test.
class ProbeThread : public QThread {
public:
    explicit ProbeThread(std::function<void(ProbeThread&)> body) : body_(std::move(body)) {}
    ~ProbeThread() override { Stop(); }
    void Run() override {
        ++runs;
        body_(*this);
    }
    void Refresh() override {}
    std::atomic<int> runs{0};

private:
    std::function<void(ProbeThread&)> body_;
};

void UntilStopped(ProbeThread& t) {
    while (!t.CheckStop())
        platform::SleepMs(5);
}

TEST(QThreadTest, StartOnRunningObjectFailsAndLeavesItRunning) {
    ProbeThread t(UntilStopped);
    ASSERT_TRUE(t.Start("StartDownload"));
    EXPECT_TRUE(t.IsRunning());
    const uint32_t id = t.CurrentThreadId();
    EXPECT_NE(id, 0u);
    EXPECT_FALSE(t.Start("StartDownload"));
    EXPECT_EQ(t.CurrentThreadId(), id);
    for (int i = 0; i < 100 && t.runs.load() == 0; ++i)
        platform::SleepMs(5);
    EXPECT_EQ(t.runs.load(), 1);
    EXPECT_TRUE(t.Stop());
    EXPECT_FALSE(t.IsRunning());
    EXPECT_TRUE(t.HasEnded(id));
}

TEST(QThreadTest, StopOnIdleObjectReturnsAtOnce) {
    ProbeThread t(UntilStopped);
    const auto start = Clock::now();
    EXPECT_TRUE(t.Stop());
    EXPECT_LT(SecondsSince(start), 0.5);
}

TEST(QThreadTest, StopFromTheThreadItselfFails) {
    std::atomic<int> result{-1};
    ProbeThread t([&](ProbeThread& self) { result = self.Stop() ? 1 : 0; });
    ASSERT_TRUE(t.Start("StartDownload"));
    while (t.IsRunning())
        platform::SleepMs(5);
    EXPECT_EQ(result.load(), 0);
}

TEST(QThreadTest, ThrowingRunLeavesObjectIdleUnlockedAndRestartable) {
    std::atomic<bool> throwNext{true};
    ProbeThread t([&](ProbeThread& self) {
        if (throwNext.exchange(false)) {
            // Leave the object lock held twice, as failed code might.
            self.Lock();
            self.Lock();
            throw std::runtime_error("boom");
        }
        UntilStopped(self);
    });
    ASSERT_TRUE(t.Start("StartDownload"));
    for (int i = 0; i < 200 && t.IsRunning(); ++i)
        platform::SleepMs(10);
    EXPECT_FALSE(t.IsRunning());
    // The lock is free for another thread.
    std::atomic<bool> took{false};
    std::thread other([&] {
        took = t.ObjectLock().TryLock();
        if (took)
            t.ObjectLock().Unlock();
    });
    other.join();
    EXPECT_TRUE(took.load());
    ASSERT_TRUE(t.Start("StartDownload"));
    EXPECT_TRUE(t.IsRunning());
    EXPECT_TRUE(t.Stop());
    EXPECT_EQ(t.runs.load(), 2);
}

TEST(QThreadTest, RequestStopAndHasEnded) {
    ProbeThread t(UntilStopped);
    uint32_t id = 0;
    EXPECT_FALSE(t.RequestStop(id));
    EXPECT_EQ(id, 0u);
    ASSERT_TRUE(t.Start("StartDownload"));
    ASSERT_TRUE(t.RequestStop(id));
    EXPECT_NE(id, 0u);
    for (int i = 0; i < 200 && !t.HasEnded(id); ++i)
        platform::SleepMs(10);
    EXPECT_TRUE(t.HasEnded(id));
}

TEST(QThreadTest, PauseHoldsCheckStopUntilLifted) {
    std::atomic<int> passes{0};
    ProbeThread t([&](ProbeThread& self) {
        while (!self.CheckStop()) {
            ++passes;
            platform::SleepMs(5);
        }
    });
    EXPECT_FALSE(t.SetPause(true)); // not running: refused
    ASSERT_TRUE(t.Start("StartDownload"));
    ASSERT_TRUE(t.SetPause(true));
    platform::SleepMs(1100); // the running pass ends, then CheckStop holds
    const int held = passes.load();
    platform::SleepMs(1100);
    EXPECT_EQ(passes.load(), held);
    ASSERT_TRUE(t.SetPause(false));
    platform::SleepMs(1300);
    EXPECT_GT(passes.load(), held);
    EXPECT_TRUE(t.Stop());
}

TEST(QThreadTest, WaitSecondsWithAndWithoutStopRequest) {
    std::atomic<bool> waitResult{true};
    std::atomic<double> waited{0};
    ProbeThread t([&](ProbeThread& self) {
        const auto start = Clock::now();
        waitResult = self.WaitSeconds(3);
        waited = SecondsSince(start);
    });
    ASSERT_TRUE(t.Start("StartDownload"));
    while (t.IsRunning())
        platform::SleepMs(20);
    EXPECT_FALSE(waitResult.load());
    EXPECT_NEAR(waited.load(), 3.0, 0.5);

    ASSERT_TRUE(t.Start("StartDownload"));
    platform::SleepMs(1500);
    uint32_t id;
    t.RequestStop(id);
    while (!t.HasEnded(id))
        platform::SleepMs(20);
    EXPECT_TRUE(waitResult.load());
    EXPECT_NEAR(waited.load(), 2.0, 0.5);
}

TEST(QTMutexTest, OwnershipRulesAcrossThreads) {
    QTMutex m;
    ASSERT_TRUE(m.Lock());
    ASSERT_TRUE(m.TryLock()); // the owner may take it again
    EXPECT_EQ(m.HeldDepth(), 2);

    std::atomic<int> tryResult{-1}, unlockResult{-1};
    std::thread other([&] {
        const auto start = Clock::now();
        tryResult = m.TryLock() ? 1 : 0;
        EXPECT_LT(SecondsSince(start), 0.1);
        unlockResult = m.Unlock() ? 1 : 0;
    });
    other.join();
    EXPECT_EQ(tryResult.load(), 0);
    EXPECT_EQ(unlockResult.load(), 0); // a non-owner cannot release it
    EXPECT_EQ(m.HeldDepth(), 2);

    EXPECT_TRUE(m.Unlock());
    EXPECT_NE(m.Owner(), 0u); // one more level to go
    EXPECT_TRUE(m.Unlock());
    EXPECT_EQ(m.Owner(), 0u);
    EXPECT_FALSE(m.Unlock());

    std::atomic<bool> tookAfter{false};
    std::thread later([&] {
        tookAfter = m.TryLock();
        if (tookAfter)
            m.Unlock();
    });
    later.join();
    EXPECT_TRUE(tookAfter.load());
}

TEST(QTMutexTest, LockWaitsForOwner) {
    QTMutex m;
    std::atomic<bool> acquired{false};
    ASSERT_TRUE(m.Lock());
    std::thread waiter([&] {
        m.Lock();
        acquired = true;
        m.Unlock();
    });
    platform::SleepMs(100);
    EXPECT_FALSE(acquired.load());
    m.Unlock();
    waiter.join();
    EXPECT_TRUE(acquired.load());
}

TEST(QSMutexTest, PlainLockIsNotRecursiveForTryLock) {
    QSMutex m;
    ASSERT_TRUE(m.Lock());
    EXPECT_FALSE(m.TryLock());
    EXPECT_TRUE(m.Unlock());
    EXPECT_TRUE(m.TryLock());
    EXPECT_TRUE(m.Unlock());
}

TEST(QClockStateTest, FollowsWholeSecondsAndStepsOneSecondOnWrap) {
    std::atomic<uint32_t> uptime{1};
    std::atomic<uint64_t> wall{0};
    QClockState clock(uptime, wall);
    clock.Begin(0xFFFFF000u, 1000000);
    EXPECT_EQ(wall.load(), 1000000u);
    clock.Advance(0xFFFFF000u + 2500); // 2.5 s later
    EXPECT_EQ(uptime.load(), 3u);
    EXPECT_EQ(wall.load(), 1000002u);
    // The 32-bit tick wraps: exactly one second more, and the new base is the wrap.
    clock.Advance(100);
    EXPECT_EQ(uptime.load(), 4u);
    EXPECT_EQ(wall.load(), 1000003u);
    clock.Advance(100 + 999);
    EXPECT_EQ(uptime.load(), 4u);
    clock.Advance(100 + 5000);
    EXPECT_EQ(uptime.load(), 9u);
    EXPECT_EQ(wall.load(), 1000008u);
}

TEST(QClockStateTest, KeepsAnExistingWallValue) {
    std::atomic<uint32_t> uptime{7};
    std::atomic<uint64_t> wall{42};
    QClockState clock(uptime, wall);
    clock.Begin(5000, 999999);
    clock.Advance(8000);
    EXPECT_EQ(wall.load(), 45u);
    EXPECT_EQ(uptime.load(), 10u);
}

TEST(EngineClockTest, RunsAndStartsAtOne) {
    const uint32_t first = EngineUptime();
    EXPECT_GE(first, 1u);
    EXPECT_GT(EngineWallClock(), 1600000000u);
    platform::SleepMs(2200);
    EXPECT_GE(EngineUptime(), first + 1);
}

class HostLookupTest : public ::testing::Test {
protected:
    void TearDown() override { SetHostResolver({}); }
};

TEST_F(HostLookupTest, InvalidParametersFailWithoutAThread) {
    std::atomic<int> calls{0};
    SetHostResolver([&](const std::string&, std::vector<HostAddress>&) {
        ++calls;
        return 0;
    });
    uint8_t buf[16];
    int len = 0, count = 0, error = 0;
    EXPECT_FALSE(LookupHostTimed(nullptr, buf, sizeof buf, len, count, error, 1000));
    EXPECT_EQ(error, kLookupInvalidParameter);
    error = 0;
    EXPECT_FALSE(LookupHostTimed("example.example", buf, sizeof buf, len, count, error, 0));
    EXPECT_EQ(error, kLookupInvalidParameter);
    EXPECT_EQ(calls.load(), 0);
}

TEST_F(HostLookupTest, CopiesAddressesWithinTheBuffer) {
    SetHostResolver([](const std::string& host, std::vector<HostAddress>& out) {
        if (host != "mirror.example")
            return 11001;
        out = {{10, 0, 0, 1}, {10, 0, 0, 2}, {10, 0, 0, 3}};
        return 0;
    });
    uint8_t buf[9] = {};
    int len = 0, count = 0, error = -1;
    ASSERT_TRUE(LookupHostTimed("mirror.example", buf, 8, len, count, error, 2000));
    EXPECT_EQ(len, 4);
    EXPECT_EQ(count, 2); // room for two only
    EXPECT_EQ(error, 0);
    EXPECT_EQ(buf[3], 1);
    EXPECT_EQ(buf[7], 2);
    EXPECT_EQ(buf[8], 0);
}

TEST_F(HostLookupTest, FailureWaitsOutTheLimit) {
    SetHostResolver([](const std::string&, std::vector<HostAddress>&) { return 11001; });
    uint8_t buf[16];
    int len = 0, count = 0, error = 0;
    const auto start = Clock::now();
    EXPECT_FALSE(LookupHostTimed("nowhere.example", buf, sizeof buf, len, count, error, 300));
    EXPECT_GE(SecondsSince(start), 0.25);
    EXPECT_EQ(error, 11001);
}

TEST_F(HostLookupTest, LateAnswerIsDropped) {
    std::atomic<bool> finished{false};
    SetHostResolver([&](const std::string&, std::vector<HostAddress>& out) {
        platform::SleepMs(400);
        out = {{1, 2, 3, 4}};
        finished = true;
        return 0;
    });
    uint8_t buf[8] = {};
    int len = 0, count = 0, error = 0;
    EXPECT_FALSE(LookupHostTimed("slow.example", buf, sizeof buf, len, count, error, 100));
    while (!finished)
        platform::SleepMs(10);
    platform::SleepMs(50);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(buf[0], 0);
}

TEST_F(HostLookupTest, ResolvesLoopbackThroughTheSystem) {
    uint8_t buf[64];
    int len = 0, count = 0, error = 0;
    ASSERT_TRUE(LookupHostTimed("127.0.0.1", buf, sizeof buf, len, count, error, 3000));
    ASSERT_GE(count, 1);
    EXPECT_EQ(buf[0], 127);
    EXPECT_EQ(buf[3], 1);
}

} // namespace
