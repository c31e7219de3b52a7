#pragma once
#include <pthread.h>

// The engine's lock interface. Locks are explicit objects (not std::mutex) because
// the engine needs to ask who owns a lock and to release a lock a failed thread
// left held.
class QBaseMutex {
public:
    QBaseMutex() = default;
    QBaseMutex(const QBaseMutex&) = delete;
    QBaseMutex& operator=(const QBaseMutex&) = delete;
    virtual ~QBaseMutex() = default;

    virtual bool Create() = 0;
    virtual void Destroy() = 0;
    virtual bool Lock() = 0;
    virtual bool TryLock() = 0;
    virtual bool Unlock() = 0;

protected:
    // The system mutex; null when not created. Error-checking, so that a release by a
    // thread that does not hold it is refused instead of corrupting the lock.
    pthread_mutex_t* handle_ = nullptr;

    bool CreateHandle();
    void CloseHandle(pthread_mutex_t* handle);
};
