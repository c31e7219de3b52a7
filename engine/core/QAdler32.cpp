#include "engine/core/QAdler32.h"

namespace {

constexpr uint32_t kBase = 65521;
// Largest n with 255 n (n + 1) / 2 + (n + 1) (kBase - 1) <= 2^32 - 1: the sums can run
// this many bytes without a reduction and without overflowing 32 bits.
constexpr size_t kNmax = 5552;
static_assert(kNmax % 16 == 0);

// Sums 16 bytes at once: the sum of sums gains 16 times the running sum plus each byte
// weighted by how many of the 16 steps it takes part in. The weighted sum has no chain
// from byte to byte, so it runs in parallel where the plain recurrence would not.
inline void Sixteen(uint32_t& a, uint32_t& b, const uint8_t* p) {
    uint32_t sum = 0;
    uint32_t weighted = 0;
    for (int i = 0; i < 16; ++i) {
        sum += p[i];
        weighted += uint32_t(16 - i) * p[i];
    }
    b += 16 * a + weighted;
    a += sum;
}

} // namespace

uint32_t Adler32(uint32_t initial, const void* data, size_t length) {
    uint32_t a = (initial & 0xffff) % kBase;
    uint32_t b = (initial >> 16) % kBase;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    if (!p)
        length = 0;
    while (length > 0) {
        size_t chunk = length < kNmax ? length : kNmax;
        length -= chunk;
        for (; chunk >= 16; chunk -= 16, p += 16)
            Sixteen(a, b, p);
        for (; chunk > 0; --chunk, ++p) {
            a += *p;
            b += a;
        }
        a %= kBase;
        b %= kBase;
    }
    return (b << 16) | a;
}
