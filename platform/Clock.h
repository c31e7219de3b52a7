#pragma once
// Monotonic ticks, sleeps and thread identities.
#include <cstdint>

namespace platform {

// Milliseconds since an arbitrary start; wraps at 2^32 like the system tick count.
uint32_t TickCount();
// Milliseconds since the same start, without wrapping.
uint64_t TickCount64();
void SleepMs(uint32_t milliseconds);
// The kernel's identity of the calling thread (never 0).
uint32_t CurrentThreadId();
// Seconds since 1970 from the system's wall clock.
uint64_t SystemTimeSeconds();

} // namespace platform
