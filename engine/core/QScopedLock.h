#pragma once
#include "engine/core/QBaseMutex.h"

// Holds a lock for a scope; releases it only if it was actually taken.
class QScopedLock {
public:
    explicit QScopedLock(QBaseMutex& mutex, bool lockNow = true) : mutex_(mutex) {
        if (lockNow)
            held_ = mutex_.Lock();
    }
    ~QScopedLock() {
        if (held_)
            mutex_.Unlock();
    }
    QScopedLock(const QScopedLock&) = delete;
    QScopedLock& operator=(const QScopedLock&) = delete;

    bool Lock() {
        if (!held_)
            held_ = mutex_.Lock();
        return held_;
    }
    void Unlock() {
        if (held_ && mutex_.Unlock())
            held_ = false;
    }
    bool Held() const { return held_; }

private:
    QBaseMutex& mutex_;
    bool held_ = false;
};
