#include "engine/core/EngineServices.h"

#include "engine/core/EngineLocks.h"
#include "engine/core/QScopedLock.h"
#include "engine/core/QTimeThread.h"
#include "engine/task/TIncomingRouter.h"

#include <atomic>
#include <mutex>
#include <random>

namespace {
std::array<uint8_t, 16> g_nodeId{};
std::atomic<bool> g_udpOff{false};
std::atomic<bool> g_reachable{false};
std::mutex g_sessionLock;
std::string* g_session = new std::string;

void FillNodeId() {
    QScopedLock guard(RegistryLock());
    for (uint8_t b : g_nodeId)
        if (b)
            return;
    // A version 4 UUID.
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
} // namespace

void OnFirstTaskRegistered() {
    TimeEnsure();
    FillNodeId();
    // The UDP server joins these hooks when it exists; the listener opens from the
    // tasks' own ticks.
    SetUdpStreamsOff(false);
    SetDirectlyReachable(false);
}

void OnLastTaskUnregistered() {
    // With the switch set, closing the listener releases the UDP streams as well.
    SetUdpStreamsOff(true);
    TIncomingRouter::Instance().CloseListener();
    SetDirectlyReachable(false);
}

std::array<uint8_t, 16> EngineNodeId() {
    QScopedLock guard(RegistryLock());
    return g_nodeId;
}

// Linux has no system-wide cap on half-open connections to read out, so the engine's
// own ceiling applies.
int HalfOpenConnectionLimit() {
    return 32;
}

bool UdpStreamsOff() {
    return g_udpOff.load();
}
void SetUdpStreamsOff(bool off) {
    g_udpOff.store(off);
}
bool DirectlyReachable() {
    return g_reachable.load();
}
void SetDirectlyReachable(bool on) {
    g_reachable.store(on);
}

std::string StatisticsSessionCode() {
    std::lock_guard<std::mutex> g(g_sessionLock);
    return *g_session;
}

void SetStatisticsSessionCode(const std::string& code) {
    std::lock_guard<std::mutex> g(g_sessionLock);
    *g_session = code;
}
