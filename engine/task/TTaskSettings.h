#pragma once
#include <cstdint>

// A task's tuning values. After every change through the engine interface, Clamp
// replaces each value outside its range by its default.
struct TTaskSettings {
    int32_t maxConnections = 52;
    int32_t minConnectionsPerSource = 1;
    int32_t cacheUnits = 64;
    uint8_t flag1 = 1;
    int32_t seedHours = 12;
    int32_t downloadLimit = 0; // KiB/s, 0 = none
    int32_t uploadLimit = 0;   // KiB/s, 0 = none
    uint8_t flags2to5[4] = {1, 1, 1, 0};
    int32_t value4 = 0;
    uint8_t flags6to9[4] = {1, 0, 0, 0};
    uint8_t noPartialFile = 0;
    uint8_t quickCheck = 0;
    int32_t value5 = 32;
    int32_t metadataTimeout = 45;

    void Clamp();
    // The piece cache budget in 256 KiB units, as the piece map uses it.
    int32_t EffectiveCacheUnits() const;
};
