#include "engine/core/QSMutex.h"

QSMutex::QSMutex() {
    Create();
}

QSMutex::~QSMutex() {
    Destroy();
}

bool QSMutex::Create() {
    return CreateHandle();
}

void QSMutex::Destroy() {
    if (!handle_)
        return;
    pthread_mutex_t* old = handle_;
    pthread_mutex_lock(old);
    handle_ = nullptr;
    pthread_mutex_unlock(old);
    CloseHandle(old);
}

bool QSMutex::Lock() {
    return handle_ && pthread_mutex_lock(handle_) == 0;
}

bool QSMutex::TryLock() {
    return handle_ && pthread_mutex_trylock(handle_) == 0;
}

bool QSMutex::Unlock() {
    return handle_ && pthread_mutex_unlock(handle_) == 0;
}
