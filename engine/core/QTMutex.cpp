#include "engine/core/QTMutex.h"

#include "platform/Clock.h"

QTMutex::QTMutex() {
    Create();
}

QTMutex::~QTMutex() {
    Destroy();
}

bool QTMutex::Create() {
    return CreateHandle();
}

void QTMutex::Destroy() {
    if (!handle_)
        return;
    const uint32_t self = platform::CurrentThreadId();
    if (Owner() != self)
        pthread_mutex_lock(handle_);
    pthread_mutex_t* old = handle_;
    handle_ = nullptr;
    owner_.store(0, std::memory_order_release);
    depth_ = 0;
    pthread_mutex_unlock(old);
    CloseHandle(old);
}

bool QTMutex::Lock() {
    const uint32_t self = platform::CurrentThreadId();
    if (Owner() == self) {
        ++depth_;
        return true;
    }
    if (!handle_ || pthread_mutex_lock(handle_) != 0)
        return false;
    owner_.store(self, std::memory_order_release);
    depth_ = 1;
    return true;
}

bool QTMutex::TryLock() {
    const uint32_t self = platform::CurrentThreadId();
    const uint32_t owner = Owner();
    if (owner == self) {
        ++depth_;
        return true;
    }
    if (owner != 0 || !handle_ || pthread_mutex_trylock(handle_) != 0)
        return false;
    owner_.store(self, std::memory_order_release);
    depth_ = 1;
    return true;
}

bool QTMutex::Unlock() {
    const uint32_t self = platform::CurrentThreadId();
    if (Owner() != self)
        return false;
    if (--depth_ > 0)
        return true;
    owner_.store(0, std::memory_order_release);
    if (!handle_ || pthread_mutex_unlock(handle_) != 0) {
        owner_.store(self, std::memory_order_release);
        depth_ = 1;
        return false;
    }
    return true;
}

int QTMutex::HeldDepth() const {
    return Owner() == platform::CurrentThreadId() ? depth_ : 0;
}
