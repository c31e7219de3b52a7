#pragma once
#include <array>
#include <cstdint>

// The engine's 16-byte node identifier, a random (version 4) UUID made once per
// process by the first task; all zero until then. Peer ids and UDP announcements are
// built from it.
using NodeId = std::array<uint8_t, 16>;

NodeId EngineNodeId();
// Makes the identifier unless it exists.
void EnsureNodeId();
