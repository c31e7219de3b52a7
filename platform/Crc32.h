#pragma once
#include <cstddef>
#include <cstdint>

namespace platform {

// CRC-32 (the reflected 0xEDB88320 polynomial of zlib and PNG) continued from crc:
// Crc32(Crc32(0, a), b) is the checksum of a followed by b. Start with 0.
uint32_t Crc32(uint32_t crc, const void* data, size_t length);

} // namespace platform
