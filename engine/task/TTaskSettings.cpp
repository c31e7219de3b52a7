#include "engine/task/TTaskSettings.h"

#include <algorithm>

namespace {
void InRange(int32_t& v, int32_t lo, int32_t hi, int32_t def) {
    if (v < lo || v > hi)
        v = def;
}
} // namespace

void TTaskSettings::Clamp() {
    InRange(maxConnections, 1, 20480, 52);
    InRange(minConnectionsPerSource, 1, 20, 1);
    InRange(cacheUnits, 1, 8000, 64);
    InRange(seedHours, 0, 20480, 12);
    InRange(downloadLimit, 0, 32766, 0);
    InRange(uploadLimit, 0, 32766, 0);
    InRange(value4, 0, 32766, 0);
}

int32_t TTaskSettings::EffectiveCacheUnits() const {
    return std::clamp(cacheUnits, 4, 8000);
}
