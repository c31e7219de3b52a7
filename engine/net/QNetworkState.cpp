#include "engine/net/QNetworkState.h"

#include <atomic>

namespace {
std::atomic<bool> g_udpOff{false};
std::atomic<bool> g_reachable{false};
} // namespace

namespace QNetworkState {

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

} // namespace QNetworkState
