#include "engine/core/QTimeThread.h"

#include "engine/core/EngineLocks.h"
#include "engine/core/QScopedLock.h"
#include "platform/Clock.h"

#include <memory>
#include <mutex>
#include <vector>

namespace {
std::atomic<uint32_t> g_uptime{1};
std::atomic<uint64_t> g_wall{0};
std::atomic<QTimeThread::TickSource> g_tickSource{&platform::TickCount};
std::atomic<QTimeThread*> g_clock{nullptr};

// A stand-in clock and where both counters stood when it took over.
struct StandIn {
    EngineClockSource* source = nullptr;
    uint64_t startMs = 0;
    uint32_t baseUptime = 0;
    uint64_t baseWall = 0;
};
std::atomic<StandIn*> g_standIn{nullptr};
} // namespace

uint64_t EngineTickMs() {
    if (const StandIn* s = g_standIn.load())
        return s->source->TickMs();
    return platform::TickCount64();
}

EngineClockSource* SetEngineClockSource(EngineClockSource* source) {
    StandIn* fresh = nullptr;
    if (source) {
        fresh = new StandIn;
        fresh->source = source;
        fresh->startMs = source->TickMs();
        fresh->baseUptime = EngineUptime();
        fresh->baseWall = EngineWallClock();
    }
    // Every stand-in is kept, never deleted: a reader on another thread may still hold
    // one. They are installed a few times per test program.
    static std::mutex keptLock;
    static auto* kept = new std::vector<std::unique_ptr<StandIn>>;
    std::lock_guard<std::mutex> hold(keptLock);
    if (fresh)
        kept->emplace_back(fresh);
    StandIn* old = g_standIn.exchange(fresh);
    return old ? old->source : nullptr;
}

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
    if (const StandIn* s = g_standIn.load())
        return s->baseUptime + static_cast<uint32_t>((s->source->TickMs() - s->startMs) / 1000);
    TimeEnsure();
    return g_uptime.load();
}

uint64_t EngineWallClock() {
    if (const StandIn* s = g_standIn.load())
        return s->baseWall + (s->source->TickMs() - s->startMs) / 1000;
    TimeEnsure();
    const uint64_t wall = g_wall.load();
    return wall ? wall : platform::SystemTimeSeconds();
}
