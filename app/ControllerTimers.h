#pragma once
// The two periodic callbacks a front end runs after the controller's start-up, on
// timer threads of their own: every 100 ms the status poll, every second the tick
// (left out while the last polled state is finished or checkfinished, as the front
// ends do). Each front end adds its own work after the controller's.
#include "platform/PeriodicTimer.h"

#include <atomic>
#include <functional>

class DownloadController;

class ControllerTimers {
public:
    using Callback = std::function<void(int state)>;

    explicit ControllerTimers(DownloadController& controller) : controller_(controller) {}
    ~ControllerTimers() { Stop(); }
    ControllerTimers(const ControllerTimers&) = delete;
    ControllerTimers& operator=(const ControllerTimers&) = delete;

    // afterPoll gets the state PollState returned; afterTick the last polled state,
    // also when the tick itself was left out. False when already running.
    bool Start(Callback afterPoll = {}, Callback afterTick = {});
    // Stops both and waits for a running callback; not from inside one.
    void Stop();
    // The state the last poll returned; -1 before the first.
    int LastState() const { return lastState_.load(); }

private:
    DownloadController& controller_;
    std::atomic<int> lastState_{-1};
    platform::PeriodicTimer status_;
    platform::PeriodicTimer refresh_;
};
