#include "platform/Crc32.h"

#include <array>

namespace platform {

namespace {

constexpr std::array<uint32_t, 256> MakeTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}

constexpr std::array<uint32_t, 256> kTable = MakeTable();

} // namespace

uint32_t Crc32(uint32_t crc, const void* data, size_t length) {
    const auto* p = static_cast<const uint8_t*>(data);
    if (!p)
        return crc;
    crc = ~crc;
    for (size_t i = 0; i < length; ++i)
        crc = kTable[(crc ^ p[i]) & 0xff] ^ (crc >> 8);
    return ~crc;
}

} // namespace platform
