#pragma once
// Driving a task's time rules with the test's clock: wait for the task thread to take
// its start time, then move the clock on while the task ticks.
#include "engine/api/BrisklaneEngine.h"
#include "engine/task/QTaskRegistry.h"
#include "engine/task/TWorkThread.h"
#include "platform/Clock.h"
#include "support/ManualEngineClock.h"

#include <chrono>
#include <cstdint>

namespace enginetest {

using testsupport::ManualEngineClock;

// The task thread has started its run (and taken its start time from the clock).
inline bool WaitUntilRunning(EngineTask t) {
    TWorkThread* task = dynamic_cast<TWorkThread*>(QTaskRegistry::Find(t));
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (task && !task->IsRunning() && std::chrono::steady_clock::now() < end)
        platform::SleepMs(2);
    // The start time is read right after the thread reports itself running.
    platform::SleepMs(20);
    return task && task->IsRunning();
}

// Moves the test's clock forward in quarter seconds, letting the task tick between
// steps, until pred holds or ms have passed on that clock; then gives the task up to
// settleMs of real time to publish what those seconds made it do.
template <typename Pred>
inline bool AdvanceUntil(ManualEngineClock& clock, EngineTask t, Pred pred, uint64_t ms, int settleMs) {
    TaskStatus s;
    for (uint64_t passed = 0; passed < ms; passed += 250) {
        clock.Advance(250);
        platform::SleepMs(4);
        if (EngineGetTaskStatus(t, &s) == kEngineOk && pred(s))
            return true;
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(settleMs);
    do {
        if (EngineGetTaskStatus(t, &s) == kEngineOk && pred(s))
            return true;
        platform::SleepMs(5);
    } while (std::chrono::steady_clock::now() < end);
    return false;
}

} // namespace enginetest
