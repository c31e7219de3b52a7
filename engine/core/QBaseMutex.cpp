#include "engine/core/QBaseMutex.h"

bool QBaseMutex::CreateHandle() {
    if (handle_)
        return true;
    auto* m = new pthread_mutex_t;
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
    int rc = pthread_mutex_init(m, &attr);
    pthread_mutexattr_destroy(&attr);
    if (rc != 0) {
        delete m;
        return false;
    }
    handle_ = m;
    return true;
}

void QBaseMutex::CloseHandle(pthread_mutex_t* handle) {
    if (!handle)
        return;
    pthread_mutex_destroy(handle);
    delete handle;
}
