#include "app/PortChooser.h"

#include "app/ControllerTexts.h"
#include "app/NullPortMapping.h"
#include "app/StatisticsEvents.h"
#include "engine/api/BrisklaneEngine.h"
#include "platform/ConnectionTable.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <chrono>
#include <random>

namespace {

constexpr int kFirstPort = 40000;
constexpr int kLastPort = 50000;

constexpr std::array<int, 8> kExcludedPorts = {40412, 40421, 40422, 40423, 40426, 43958, 44444, 47262};

NullPortMapping g_noMapping;
EventReporter g_engineEvents;

// The statistics event and the same text in the main log.
void Report(EventReporter& events, const char* code, const std::string& text) {
    events.Event(code, text, 0);
    LogLine(kLogPortMapping, text.c_str());
}

unsigned TimeSeededDraw() {
    const auto now = std::chrono::system_clock::now().time_since_epoch().count();
    std::minstd_rand generator(static_cast<std::minstd_rand::result_type>(now));
    return static_cast<unsigned>(generator());
}

int NextCandidate(int port) {
    ++port;
    while (PortChooser::IsExcludedPort(port))
        ++port;
    if (port > kLastPort || port < kFirstPort)
        port = kFirstPort;
    return port;
}

} // namespace

PortChooser::PortChooser() : PortChooser(Probes{}) {}

PortChooser::PortChooser(Probes probes)
    : probes_(std::move(probes)), mapping_(&g_noMapping), events_(&g_engineEvents) {
    if (!probes_.portInUse)
        probes_.portInUse = [](int port) { return platform::IsLocalPortInUse(static_cast<uint16_t>(port)); };
    if (!probes_.hostAddress)
        probes_.hostAddress = [](std::string& address) { return platform::HostAddress(address); };
    if (!probes_.seed)
        probes_.seed = TimeSeededDraw;
}

int PortChooser::ChoosePortAndForward() {
    const int start = kFirstPort + static_cast<int>(probes_.seed() % 10000);
    int first = start + 1;
    while (IsExcludedPort(first))
        ++first;

    // One round over the range from the first candidate on, wrapping to its start.
    // The round ends at the first candidate again or, should the skips ever step over
    // it, after as many probes as the range has ports.
    int port = 0;
    int candidate = first;
    for (int probes = 0; probes <= kLastPort - kFirstPort; ++probes) {
        if (!probes_.portInUse(candidate)) {
            port = candidate;
            break;
        }
        candidate = NextCandidate(candidate);
        if (candidate == first)
            break;
    }
    if (port == 0) {
        Report(*events_, StatisticsEvents::kPortMappingFailed, texts::kUpnpNoPort);
        return 0;
    }

    std::string address;
    if (!probes_.hostAddress(address)) {
        Report(*events_, StatisticsEvents::kPortMappingFailed, texts::kUpnpNoLocalIp);
        return 0;
    }
    if (!IsLocalNetworkAddress(address)) {
        Report(*events_, StatisticsEvents::kPortMappingNotNeeded,
               std::string(texts::kUpnpNotNeeded) + address);
        return port;
    }
    return mapping_->StartMapping(port, address);
}

bool PortChooser::IsExcludedPort(int port) {
    return std::find(kExcludedPorts.begin(), kExcludedPorts.end(), port) != kExcludedPorts.end();
}

bool PortChooser::IsLocalNetworkAddress(const std::string& address) {
    in_addr parsed{};
    if (::inet_pton(AF_INET, address.c_str(), &parsed) != 1)
        return false;
    const uint32_t a = ntohl(parsed.s_addr);
    const unsigned first = a >> 24;
    const unsigned second = (a >> 16) & 0xff;
    return first <= 6 || first == 10 || first == 127 || (first == 192 && second == 168) ||
           (first == 169 && second == 254) || (first == 172 && second >= 16 && second <= 31);
}
