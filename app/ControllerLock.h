#pragma once
// The one mutex that guards every field of the controller and its parts. It is taken
// recursively, since one operation calls others; when the outermost operation on a
// thread ends it is released before the work that must not run under it (a question
// that waits for the user, a call that may come back into the controller) is done.
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

class ControllerLock {
public:
    // Holds the mutex for one operation.
    class Scope {
    public:
        explicit Scope(const ControllerLock& lock) : lock_(lock), hold_(lock.mutex_) { ++lock_.depth_; }
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        const ControllerLock& lock_;
        std::unique_lock<std::recursive_mutex> hold_;
    };

    // With the mutex held: work to run once the outermost operation has released it.
    void Defer(std::function<void()> work) const;
    // With the mutex held: waits with the mutex released at every level this thread
    // holds it, so that the timer thread and the front end are not held up; the work
    // deferred so far stays with this operation.
    void SleepUnlocked(uint32_t ms) const;

private:
    mutable std::recursive_mutex mutex_;
    mutable int depth_ = 0; // nesting of operations on the thread that holds the mutex
    mutable std::vector<std::function<void()>> deferred_;
};
