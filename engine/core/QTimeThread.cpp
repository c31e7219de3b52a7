#include "engine/core/QTimeThread.h"

#include "engine/core/EngineLocks.h"
#include "engine/core/QScopedLock.h"
#include "platform/Clock.h"

namespace {
std::atomic<uint32_t> g_uptime{1};
std::atomic<uint64_t> g_wall{0};
std::atomic<QTimeThread::TickSource> g_tickSource{&platform::TickCount};
std::atomic<QTimeThread*> g_clock{nullptr};
} // namespace

void QClockState::Begin(uint32_t nowTick, uint64_t systemSeconds) {
    startTick_ = nowTick;
    baseUptime_ = uptime_.load();
    baseWall_ = wall_.load();
    if (baseWall_ == 0) {
        baseWall_ = systemSeconds;
        wall_.store(baseWall_);
    }
}

void QClockState::Advance(uint32_t nowTick) {
    if (nowTick < startTick_) {
        startTick_ = nowTick;
        baseWall_ = wall_.load() + 1;
        baseUptime_ = uptime_.load() + 1;
        wall_.store(baseWall_);
        uptime_.store(baseUptime_);
        return;
    }
    const uint32_t elapsed = (nowTick - startTick_) / 1000;
    wall_.store(baseWall_ + elapsed);
    uptime_.store(baseUptime_ + elapsed);
}

QTimeThread::QTimeThread() = default;

QTimeThread::~QTimeThread() {
    Stop();
}

void QTimeThread::SetTickSource(TickSource source) {
    g_tickSource.store(source ? source : &platform::TickCount);
}

void QTimeThread::Run() {
    QClockState clock(g_uptime, g_wall);
    TickSource tick = g_tickSource.load();
    clock.Begin(tick(), platform::SystemTimeSeconds());
    for (;;) {
        clock.Advance(tick());
        for (int i = 0; i < 10; ++i) {
            platform::SleepMs(100);
            if (CheckStop())
                return;
        }
    }
}

void TimeEnsure() {
    if (g_clock.load())
        return;
    QTimeThread* created = nullptr;
    {
        QScopedLock guard(RegistryLock());
        if (!g_clock.load()) {
            g_wall.store(0);
            created = new QTimeThread;
            g_clock.store(created);
        }
    }
    if (created)
        created->Start("TimeEnsure");
}

bool StopClock() {
    QTimeThread* clock = nullptr;
    {
        QScopedLock guard(RegistryLock());
        clock = g_clock.exchange(nullptr);
    }
    if (!clock)
        return false;
    clock->Stop();
    delete clock;
    return true;
}

uint32_t EngineUptime() {
    TimeEnsure();
    return g_uptime.load();
}

uint64_t EngineWallClock() {
    TimeEnsure();
    const uint64_t wall = g_wall.load();
    return wall ? wall : platform::SystemTimeSeconds();
}
