#pragma once
// A periodic callback on a thread of its own, standing in for the multimedia timers
// the front ends start after initialisation.
#include <chrono>
#include <functional>
#include <memory>

namespace platform {

class PeriodicTimer {
public:
    PeriodicTimer();
    ~PeriodicTimer(); // stops and joins
    PeriodicTimer(const PeriodicTimer&) = delete;
    PeriodicTimer& operator=(const PeriodicTimer&) = delete;

    // Calls fn every periodMs milliseconds (measured from the start, so a slow call does
    // not shift the later ones; calls missed while fn ran are skipped, not queued).
    // False when the timer already runs or periodMs is 0.
    bool Start(unsigned periodMs, std::function<void()> fn);
    // Stops and waits for a running call to return. Safe to call twice. From inside fn
    // it only asks the timer to stop: no further call follows the one running.
    // Start, Stop and the destructor are for one thread at a time.
    void Stop();
    bool Running() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace platform
