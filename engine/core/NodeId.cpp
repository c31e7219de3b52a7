#include "engine/core/NodeId.h"

#include "engine/core/EngineLocks.h"
#include "engine/core/QScopedLock.h"

#include <random>

namespace {
NodeId g_nodeId{};
} // namespace

void EnsureNodeId() {
    QScopedLock guard(RegistryLock());
    for (uint8_t b : g_nodeId)
        if (b)
            return;
    std::random_device rd;
    for (size_t i = 0; i < g_nodeId.size(); i += 4) {
        uint32_t r = rd();
        for (size_t j = 0; j < 4; ++j)
            g_nodeId[i + j] = static_cast<uint8_t>(r >> (8 * j));
    }
    g_nodeId[6] = static_cast<uint8_t>((g_nodeId[6] & 0x0F) | 0x40);
    g_nodeId[8] = static_cast<uint8_t>((g_nodeId[8] & 0x3F) | 0x80);
    if (g_nodeId[0] == 0)
        g_nodeId[0] = 1;
}

NodeId EngineNodeId() {
    QScopedLock guard(RegistryLock());
    return g_nodeId;
}
