#include "engine/core/EngineLocks.h"

namespace {
// Function-local and leaked on purpose: static destructors and detached threads at
// process exit may still take these locks.
template <int N> QTMutex& ProcessLock() {
    static QTMutex* lock = new QTMutex;
    return *lock;
}

void ReleaseAll(QTMutex& m) {
    while (m.Unlock()) {
    }
}
} // namespace

QTMutex& EngineApiLock() {
    return ProcessLock<0>();
}
QTMutex& RegistryLock() {
    return ProcessLock<1>();
}
QTMutex& RateShareLock() {
    return ProcessLock<2>();
}
QTMutex& ProxySettingsLock() {
    return ProcessLock<3>();
}
QTMutex& DiskLock() {
    return ProcessLock<4>();
}

void ReleaseHeldEngineLocks() {
    ReleaseAll(RegistryLock());
    ReleaseAll(ProxySettingsLock());
    ReleaseAll(DiskLock());
}
