#pragma once
// The engine's time. Every engine rule that waits (give-up, time-outs, back-offs, the
// periodic steps of a task) reads it here and nowhere else, so that a test can drive
// those rules with a clock of its own instead of waiting them out.
#include <cstdint>

// Milliseconds from an arbitrary start, monotonic.
uint64_t EngineTickMs();
// Engine seconds since the process started (starts at 1). Starts the clock thread when
// needed.
uint32_t EngineUptime();
// Seconds since 1970 as the engine keeps them: they follow the monotonic clock, so
// engine time does not jump when the user sets the system clock.
uint64_t EngineWallClock();

// A clock that stands in for the system's. While one is installed every reading above
// comes from it: the two seconds counters continue from where they stood when it was
// installed and advance with its milliseconds.
class EngineClockSource {
public:
    virtual ~EngineClockSource() = default;
    virtual uint64_t TickMs() const = 0;
};

// Installs source (null puts the system's clock back); returns the previous one. The
// source must outlive its installation.
EngineClockSource* SetEngineClockSource(EngineClockSource* source);
