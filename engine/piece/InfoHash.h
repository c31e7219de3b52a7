#pragma once
#include <array>
#include <cstdint>

// The SHA-1 of a torrent's info dictionary: the torrent's identity on the wire.
using InfoHash = std::array<uint8_t, 20>;
