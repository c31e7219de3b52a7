#pragma once
#include "engine/core/EngineClock.h"
#include "engine/core/QThread.h"

#include <atomic>
#include <cstdint>

// Seconds counters derived from the monotonic tick count, so that engine time does not
// jump when the user changes the system clock.
class QClockState {
public:
    QClockState(std::atomic<uint32_t>& uptime, std::atomic<uint64_t>& wall) : uptime_(uptime), wall_(wall) {}

    // systemSeconds is used only when wall is still 0.
    void Begin(uint32_t nowTick, uint64_t systemSeconds);
    // When the 32-bit tick count wrapped, both counters advance by exactly one second
    // and become the new bases; otherwise they follow the whole seconds elapsed.
    void Advance(uint32_t nowTick);

private:
    std::atomic<uint32_t>& uptime_;
    std::atomic<uint64_t>& wall_;
    uint32_t startTick_ = 0;
    uint32_t baseUptime_ = 0;
    uint64_t baseWall_ = 0;
};

// The engine clock thread, started under the label "TimeEnsure".
class QTimeThread : public QThread {
public:
    using TickSource = uint32_t (*)();

    QTimeThread();
    ~QTimeThread() override;
    void Run() override;
    void Refresh() override {}

    // Replaces the tick source of clock threads started afterwards (tests).
    static void SetTickSource(TickSource source);
};

// Starts the clock thread if it does not exist.
void TimeEnsure();
// Stops and deletes the clock thread; true when there was one.
bool StopClock();
