#pragma once
// A clock a test moves by hand: while it lives, the engine's milliseconds and both its
// seconds counters follow it instead of the system's clock, so rules that wait many
// seconds (give-up, time-outs, back-offs, periodic steps) run in a moment.
#include "engine/core/EngineClock.h"

#include <atomic>
#include <cstdint>

namespace testsupport {

class ManualEngineClock : public EngineClockSource {
public:
    explicit ManualEngineClock(uint64_t startMs = 1000000) : ms_(startMs) {
        previous_ = SetEngineClockSource(this);
    }
    ~ManualEngineClock() override { SetEngineClockSource(previous_); }
    ManualEngineClock(const ManualEngineClock&) = delete;
    ManualEngineClock& operator=(const ManualEngineClock&) = delete;

    uint64_t TickMs() const override { return ms_.load(); }
    void Advance(uint64_t ms) { ms_.fetch_add(ms); }

private:
    std::atomic<uint64_t> ms_;
    EngineClockSource* previous_ = nullptr;
};

} // namespace testsupport
