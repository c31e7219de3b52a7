#include "engine/core/QMd5.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace {

template <int S> inline uint32_t Rol(uint32_t x) {
    return (x << S) | (x >> (32 - S));
}

// The four round functions. G is written as a sum because its two terms never share
// a set bit, which lets the additions start before d is known; H and I follow RFC 1321
// with the fewest operations on the dependency chain through b.
template <int S>
inline uint32_t StepF(uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t k) {
    return Rol<S>(a + x + k + (d ^ (b & (c ^ d)))) + b;
}

template <int S>
inline uint32_t StepG(uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t k) {
    return Rol<S>(a + x + k + (c & ~d) + (b & d)) + b;
}

template <int S>
inline uint32_t StepH(uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t k) {
    return Rol<S>(a + x + k + (b ^ c ^ d)) + b;
}

template <int S>
inline uint32_t StepI(uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t k) {
    return Rol<S>(a + x + k + (c ^ (b | ~d))) + b;
}

inline void LoadWords(uint32_t x[16], const uint8_t* p) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(x, p, 64);
    } else {
        for (int i = 0; i < 16; ++i)
            x[i] = uint32_t(p[4 * i]) | (uint32_t(p[4 * i + 1]) << 8) | (uint32_t(p[4 * i + 2]) << 16) |
                   (uint32_t(p[4 * i + 3]) << 24);
    }
}

void Blocks(uint32_t state[4], const uint8_t* p, size_t count) {
    uint32_t a0 = state[0], b0 = state[1], c0 = state[2], d0 = state[3];
    for (; count > 0; --count, p += 64) {
        uint32_t x[16];
        LoadWords(x, p);
        uint32_t a = a0, b = b0, c = c0, d = d0;

        a = StepF<7>(a, b, c, d, x[0], 0xd76aa478);
        d = StepF<12>(d, a, b, c, x[1], 0xe8c7b756);
        c = StepF<17>(c, d, a, b, x[2], 0x242070db);
        b = StepF<22>(b, c, d, a, x[3], 0xc1bdceee);
        a = StepF<7>(a, b, c, d, x[4], 0xf57c0faf);
        d = StepF<12>(d, a, b, c, x[5], 0x4787c62a);
        c = StepF<17>(c, d, a, b, x[6], 0xa8304613);
        b = StepF<22>(b, c, d, a, x[7], 0xfd469501);
        a = StepF<7>(a, b, c, d, x[8], 0x698098d8);
        d = StepF<12>(d, a, b, c, x[9], 0x8b44f7af);
        c = StepF<17>(c, d, a, b, x[10], 0xffff5bb1);
        b = StepF<22>(b, c, d, a, x[11], 0x895cd7be);
        a = StepF<7>(a, b, c, d, x[12], 0x6b901122);
        d = StepF<12>(d, a, b, c, x[13], 0xfd987193);
        c = StepF<17>(c, d, a, b, x[14], 0xa679438e);
        b = StepF<22>(b, c, d, a, x[15], 0x49b40821);

        a = StepG<5>(a, b, c, d, x[1], 0xf61e2562);
        d = StepG<9>(d, a, b, c, x[6], 0xc040b340);
        c = StepG<14>(c, d, a, b, x[11], 0x265e5a51);
        b = StepG<20>(b, c, d, a, x[0], 0xe9b6c7aa);
        a = StepG<5>(a, b, c, d, x[5], 0xd62f105d);
        d = StepG<9>(d, a, b, c, x[10], 0x02441453);
        c = StepG<14>(c, d, a, b, x[15], 0xd8a1e681);
        b = StepG<20>(b, c, d, a, x[4], 0xe7d3fbc8);
        a = StepG<5>(a, b, c, d, x[9], 0x21e1cde6);
        d = StepG<9>(d, a, b, c, x[14], 0xc33707d6);
        c = StepG<14>(c, d, a, b, x[3], 0xf4d50d87);
        b = StepG<20>(b, c, d, a, x[8], 0x455a14ed);
        a = StepG<5>(a, b, c, d, x[13], 0xa9e3e905);
        d = StepG<9>(d, a, b, c, x[2], 0xfcefa3f8);
        c = StepG<14>(c, d, a, b, x[7], 0x676f02d9);
        b = StepG<20>(b, c, d, a, x[12], 0x8d2a4c8a);

        a = StepH<4>(a, b, c, d, x[5], 0xfffa3942);
        d = StepH<11>(d, a, b, c, x[8], 0x8771f681);
        c = StepH<16>(c, d, a, b, x[11], 0x6d9d6122);
        b = StepH<23>(b, c, d, a, x[14], 0xfde5380c);
        a = StepH<4>(a, b, c, d, x[1], 0xa4beea44);
        d = StepH<11>(d, a, b, c, x[4], 0x4bdecfa9);
        c = StepH<16>(c, d, a, b, x[7], 0xf6bb4b60);
        b = StepH<23>(b, c, d, a, x[10], 0xbebfbc70);
        a = StepH<4>(a, b, c, d, x[13], 0x289b7ec6);
        d = StepH<11>(d, a, b, c, x[0], 0xeaa127fa);
        c = StepH<16>(c, d, a, b, x[3], 0xd4ef3085);
        b = StepH<23>(b, c, d, a, x[6], 0x04881d05);
        a = StepH<4>(a, b, c, d, x[9], 0xd9d4d039);
        d = StepH<11>(d, a, b, c, x[12], 0xe6db99e5);
        c = StepH<16>(c, d, a, b, x[15], 0x1fa27cf8);
        b = StepH<23>(b, c, d, a, x[2], 0xc4ac5665);

        a = StepI<6>(a, b, c, d, x[0], 0xf4292244);
        d = StepI<10>(d, a, b, c, x[7], 0x432aff97);
        c = StepI<15>(c, d, a, b, x[14], 0xab9423a7);
        b = StepI<21>(b, c, d, a, x[5], 0xfc93a039);
        a = StepI<6>(a, b, c, d, x[12], 0x655b59c3);
        d = StepI<10>(d, a, b, c, x[3], 0x8f0ccc92);
        c = StepI<15>(c, d, a, b, x[10], 0xffeff47d);
        b = StepI<21>(b, c, d, a, x[1], 0x85845dd1);
        a = StepI<6>(a, b, c, d, x[8], 0x6fa87e4f);
        d = StepI<10>(d, a, b, c, x[15], 0xfe2ce6e0);
        c = StepI<15>(c, d, a, b, x[6], 0xa3014314);
        b = StepI<21>(b, c, d, a, x[13], 0x4e0811a1);
        a = StepI<6>(a, b, c, d, x[4], 0xf7537e82);
        d = StepI<10>(d, a, b, c, x[11], 0xbd3af235);
        c = StepI<15>(c, d, a, b, x[2], 0x2ad7d2bb);
        b = StepI<21>(b, c, d, a, x[9], 0xeb86d391);

        a0 += a;
        b0 += b;
        c0 += c;
        d0 += d;
    }
    state[0] = a0;
    state[1] = b0;
    state[2] = c0;
    state[3] = d0;
}

} // namespace

void Md5Context::Init() {
    state[0] = 0x67452301;
    state[1] = 0xefcdab89;
    state[2] = 0x98badcfe;
    state[3] = 0x10325476;
    byteCount = 0;
    std::memset(buffer, 0, sizeof(buffer));
}

void Md5Context::Update(const void* data, size_t length) {
    if (length == 0 || !data)
        return;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    size_t used = size_t(byteCount & 63);
    byteCount += length;
    if (used > 0) {
        const size_t take = std::min(64 - used, length);
        std::memcpy(buffer + used, p, take);
        p += take;
        length -= take;
        if (used + take < 64)
            return;
        Blocks(state, buffer, 1);
    }
    const size_t whole = length / 64;
    if (whole > 0) {
        Blocks(state, p, whole);
        p += whole * 64;
        length -= whole * 64;
    }
    if (length > 0)
        std::memcpy(buffer, p, length);
}

void Md5Context::Final(uint8_t digest[kMd5DigestSize]) {
    const uint64_t bits = byteCount << 3;
    size_t used = size_t(byteCount & 63);
    buffer[used++] = 0x80;
    if (used > 56) {
        std::memset(buffer + used, 0, 64 - used);
        Blocks(state, buffer, 1);
        used = 0;
    }
    std::memset(buffer + used, 0, 56 - used);
    for (int i = 0; i < 8; ++i)
        buffer[56 + i] = uint8_t(bits >> (8 * i));
    Blocks(state, buffer, 1);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            digest[4 * i + j] = uint8_t(state[i] >> (8 * j));
    std::memset(buffer, 0, sizeof(buffer));
}

void Md5Digest(const void* data, size_t length, uint8_t digest[kMd5DigestSize]) {
    Md5Context context;
    context.Init();
    context.Update(data, length);
    context.Final(digest);
}

std::string Md5ToHex(const uint8_t digest[kMd5DigestSize]) {
    static const char kHex[] = "0123456789abcdef";
    std::string text(2 * kMd5DigestSize, '0');
    for (size_t i = 0; i < kMd5DigestSize; ++i) {
        text[2 * i] = kHex[digest[i] >> 4];
        text[2 * i + 1] = kHex[digest[i] & 15];
    }
    return text;
}

std::string Md5Hex(const void* data, size_t length) {
    uint8_t digest[kMd5DigestSize];
    Md5Digest(data, length, digest);
    return Md5ToHex(digest);
}
