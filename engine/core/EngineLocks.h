#pragma once
#include "engine/core/QTMutex.h"

// The engine's process-wide locks. They are created on first use and never
// destroyed, so that clean-up code running at process exit can still take them.
// Order: API lock, registry lock, a task's own lock, then the rate-sharing,
// proxy-settings and disk locks innermost.
QTMutex& EngineApiLock();
QTMutex& RegistryLock();
QTMutex& RateShareLock();
QTMutex& ProxySettingsLock();
QTMutex& DiskLock();

// Releases every level the calling thread still holds of the registry, proxy-settings
// and disk locks; used when a task thread ends with an exception.
void ReleaseHeldEngineLocks();
