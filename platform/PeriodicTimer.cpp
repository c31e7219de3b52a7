#include "platform/PeriodicTimer.h"

#include <condition_variable>
#include <mutex>
#include <thread>

namespace platform {

// Shared with the thread, so that a timer dropped from inside its own callback can let
// the thread finish on its own.
struct PeriodicTimer::State {
    std::mutex m;
    std::condition_variable cv;
    bool stop = false;
    std::chrono::milliseconds period{0};
    std::function<void()> fn;
    std::thread thread;

    void Run() {
        using Clock = std::chrono::steady_clock;
        const Clock::time_point start = Clock::now();
        Clock::time_point next = start + period;
        std::unique_lock<std::mutex> lock(m);
        for (;;) {
            if (cv.wait_until(lock, next, [this] { return stop; }))
                return;
            lock.unlock();
            fn();
            lock.lock();
            // Keep to the grid laid from the start: a call that overran its period
            // gives up the ticks it covered instead of making them up in a burst.
            const Clock::time_point now = Clock::now();
            next += period;
            if (next <= now)
                next = start + period * ((now - start) / period + 1);
        }
    }

    bool OnOwnThread() const { return thread.get_id() == std::this_thread::get_id(); }
};

PeriodicTimer::PeriodicTimer() = default;

PeriodicTimer::~PeriodicTimer() {
    if (state_ && state_->OnOwnThread()) {
        // Destroyed by its own callback: the thread cannot wait for itself, so it is
        // told to stop and left to end once the callback returns.
        {
            std::lock_guard<std::mutex> g(state_->m);
            state_->stop = true;
        }
        state_->thread.detach();
        state_.reset();
        return;
    }
    Stop();
}

bool PeriodicTimer::Start(unsigned periodMs, std::function<void()> fn) {
    if (periodMs == 0 || !fn)
        return false;
    if (state_) {
        if (Running())
            return false;
        // Stopped from inside its callback earlier: its thread is ending, or is the
        // caller itself.
        if (state_->OnOwnThread())
            state_->thread.detach();
        else
            state_->thread.join();
        state_.reset();
    }
    auto state = std::make_shared<State>();
    state->period = std::chrono::milliseconds(periodMs);
    state->fn = std::move(fn);
    // The thread holds its own reference: a detached thread must not outlive the
    // state it runs on. The lock keeps its first call from seeing the thread handle
    // or state_ half written, should that call stop the timer.
    std::lock_guard<std::mutex> g(state->m);
    state->thread = std::thread([s = state] { s->Run(); });
    state_ = state;
    return true;
}

void PeriodicTimer::Stop() {
    if (!state_)
        return;
    {
        std::lock_guard<std::mutex> g(state_->m);
        state_->stop = true;
    }
    state_->cv.notify_all();
    if (state_->OnOwnThread())
        return; // the loop sees the flag once this call returns to it
    state_->thread.join();
    state_.reset();
}

bool PeriodicTimer::Running() const {
    if (!state_)
        return false;
    std::lock_guard<std::mutex> g(state_->m);
    return !state_->stop;
}

} // namespace platform
