#pragma once
// Engine-wide services that live beside the tasks: the node identity, the shared
// switches, and the hooks run when the first task appears and the last one goes.
#include <array>
#include <cstdint>
#include <string>

void OnFirstTaskRegistered();
void OnLastTaskUnregistered();

// The engine's 16-byte node identifier; filled from a random UUID by the first task.
std::array<uint8_t, 16> EngineNodeId();

// The most half-open outgoing connections the engine allows at once.
int HalfOpenConnectionLimit();

// Whether connections over UDP streams are switched off (no task runs), and whether
// an incoming connection proved this machine reachable from outside.
bool UdpStreamsOff();
void SetUdpStreamsOff(bool off);
bool DirectlyReachable();
void SetDirectlyReachable(bool on);

// The statistics session code shown after message texts; empty until the statistics
// client hands one out.
std::string StatisticsSessionCode();
void SetStatisticsSessionCode(const std::string& code);
