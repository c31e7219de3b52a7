#include "engine/core/QSha1.h"

#include <algorithm>
#include <cstring>
#include <utility>

#if defined(__x86_64__) || defined(__i386__)
#define BRISKLANE_SHA1_X86 1
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace {

using BlockFunction = void (*)(uint32_t hash[5], const uint8_t* blocks, size_t count);

inline uint32_t Rol(uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}

inline uint32_t LoadBe32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

inline void StoreBe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

inline uint32_t LoadLe32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

inline void StoreLe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

constexpr uint32_t kK0 = 0x5A827999;
constexpr uint32_t kK1 = 0x6ED9EBA1;
constexpr uint32_t kK2 = 0x8F1BBCDC;
constexpr uint32_t kK3 = 0xCA62C1D6;

// Round T of the 80. The five working words stay in place and change roles from round
// to round instead of being moved, and the message schedule is kept as a 16-word
// window computed as the rounds need it. Both are resolved at compile time because
// every round is its own instantiation; a loop over an 80-word schedule tempts the
// vectoriser into code several times slower.
template <size_t T> inline void Round(uint32_t* s, uint32_t* w) {
    constexpr size_t r = T % 5;
    const uint32_t a = s[(5 - r) % 5];
    uint32_t& b = s[(6 - r) % 5];
    const uint32_t c = s[(7 - r) % 5];
    const uint32_t d = s[(8 - r) % 5];
    uint32_t& e = s[(9 - r) % 5];
    uint32_t x;
    if constexpr (T < 16) {
        x = w[T];
    } else {
        x = Rol(w[(T + 13) & 15] ^ w[(T + 8) & 15] ^ w[(T + 2) & 15] ^ w[T & 15], 1);
        w[T & 15] = x;
    }
    if constexpr (T < 20)
        e += Rol(a, 5) + (d ^ (b & (c ^ d))) + kK0 + x;
    else if constexpr (T < 40)
        e += Rol(a, 5) + (b ^ c ^ d) + kK1 + x;
    else if constexpr (T < 60)
        e += Rol(a, 5) + ((b & c) | (d & (b | c))) + kK2 + x;
    else
        e += Rol(a, 5) + (b ^ c ^ d) + kK3 + x;
    b = Rol(b, 30);
}

template <size_t... T> inline void Rounds(uint32_t* s, uint32_t* w, std::index_sequence<T...>) {
    (Round<T>(s, w), ...);
}

void BlocksPortable(uint32_t hash[5], const uint8_t* p, size_t count) {
    for (; count > 0; --count, p += 64) {
        uint32_t w[16];
        for (int t = 0; t < 16; ++t)
            w[t] = LoadBe32(p + 4 * t);
        uint32_t s[5] = {hash[0], hash[1], hash[2], hash[3], hash[4]};
        Rounds(s, w, std::make_index_sequence<80>());
        for (int i = 0; i < 5; ++i)
            hash[i] += s[i];
    }
}

#ifdef BRISKLANE_SHA1_X86

// The SHA extensions keep A,B,C,D in one register with A in the top lane and carry E
// added to the first message word of each group of four rounds. Each group's E is
// ROL(A of the state before the previous group, 30), which sha1nexte adds to the next
// message words; the schedule for group i (i >= 4) is
// msg2(msg1(W[i-4], W[i-3]) ^ W[i-2], W[i-1]) in 4-word groups, so four registers
// suffice, each overwritten with the group it is next needed for.
__attribute__((target("sha,sse4.1"))) void BlocksShaNi(uint32_t hash[5], const uint8_t* p, size_t count) {
    // Reversing all 16 bytes turns four big-endian words into lanes with word 0 on top.
    const __m128i reverse = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
    __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(hash)), 0x1B);
    __m128i e = _mm_set_epi32(int(hash[4]), 0, 0, 0);

    for (; count > 0; --count, p += 64) {
        const __m128i abcdStart = abcd;
        const __m128i eStart = e;
        __m128i m0 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), reverse);
        __m128i m1 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)), reverse);
        __m128i m2 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32)), reverse);
        __m128i m3 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48)), reverse);
        __m128i we;
        __m128i previous;

        // Rounds 0-19.
        we = _mm_add_epi32(e, m0);
        previous = abcd;
        abcd = _mm_sha1rnds4_epu32(abcd, we, 0);
        we = _mm_sha1nexte_epu32(previous, m1);
        previous = abcd;
        abcd = _mm_sha1rnds4_epu32(abcd, we, 0);
        we = _mm_sha1nexte_epu32(previous, m2);
        previous = abcd;
        abcd = _mm_sha1rnds4_epu32(abcd, we, 0);
        we = _mm_sha1nexte_epu32(previous, m3);
        previous = abcd;
        abcd = _mm_sha1rnds4_epu32(abcd, we, 0);
        m0 = _mm_sha1msg2_epu32(_mm_xor_si128(_mm_sha1msg1_epu32(m0, m1), m2), m3);
        we = _mm_sha1nexte_epu32(previous, m0);
        previous = abcd;
        abcd = _mm_sha1rnds4_epu32(abcd, we, 0);

        // Rounds 20-39.
        m1 = _mm_sha1msg2_epu32(_mm_xor_si128(_mm_sha1msg1_epu32(m1, m2), m3), m0);
        we = _mm_sha1nexte_epu32(previous, m1);
        previous = abcd;
        abcd = _mm_sha1rnds4_epu32(abcd, we, 1);
        m2 = _mm_sha1msg2_epu32(_mm_xor_si128(_mm_sha1msg1_epu32(m2, m3), m0), m1);
        we = _mm_sha1nexte_epu32(previous, m2);
        previous = abcd;
        abcd = _mm_sha1rnds4_epu32(abcd, we, 1);
        m3 = _mm_sha1msg2_epu32(_mm_xor_si128(_mm_sha1msg1_epu32(m3, m0), m1), m2);
        we = _mm_sha1nexte_epu32(previous, m3);
        previous = abcd;
        abcd = _mm_sha1rnds4_epu32(abcd, we, 1);
        m0 = _mm_sha1msg2_epu32(_mm_xor_si128(_mm_sha1msg1_epu32(m0, m1), m2), m3);
        we = _mm_sha1nexte_epu32(previous, m0);
        previous = abcd;
        abcd = _mm_sha1rnds4_epu32(abcd, we, 1);
        m1 = _mm_sha1msg2_epu32(_mm_xor_si128(_mm_sha1msg1_epu32(m1, m2), m3), m0);
        we = _mm_sha1nexte_epu32(previous, m1);
        previous = abcd;
        abcd = _mm_sha1rnds4_epu32(abcd, we, 1);

        // Rounds 40-59.
        m2 = _mm_sha1msg2_epu32(_mm_xor_si128(_mm_sha1msg1_epu32(m2, m3), m0), m1);
        we = _mm_sha1nexte_epu32(previous, m2);
        previous = abcd;
        abcd = _mm_sha1rnds4_epu32(abcd, we, 2);
        m3 = _mm_sha1msg2_epu32(_mm_xor_si128(_mm_sha1msg1_epu32(m3, m0), m1), m2);
        we = _mm_sha1nexte_epu32(previous, m3);
        previous = abcd;
        abcd = _mm_sha1rnds4_epu32(abcd, we, 2);
        m0 = _mm_sha1msg2_epu32(_mm_xor_si128(_mm_sha1msg1_epu32(m0, m1), m2), m3);
        we = _mm_sha1nexte_epu32(previous, m0);
        previous = abcd;
        abcd = _mm_sha1rnds4_epu32(abcd, we, 2);
        m1 = _mm_sha1msg2_epu32(_mm_xor_si128(_mm_sha1msg1_epu32(m1, m2), m3), m0);
        we = _mm_sha1nexte_epu32(previous, m1);
        previous = abcd;
        abcd = _mm_sha1rnds4_epu32(abcd, we, 2);
        m2 = _mm_sha1msg2_epu32(_mm_xor_si128(_mm_sha1msg1_epu32(m2, m3), m0), m1);
        we = _mm_sha1nexte_epu32(previous, m2);
        previous = abcd;
        abcd = _mm_sha1rnds4_epu32(abcd, we, 2);

        // Rounds 60-79.
        m3 = _mm_sha1msg2_epu32(_mm_xor_si128(_mm_sha1msg1_epu32(m3, m0), m1), m2);
        we = _mm_sha1nexte_epu32(previous, m3);
        previous = abcd;
        abcd = _mm_sha1rnds4_epu32(abcd, we, 3);
        m0 = _mm_sha1msg2_epu32(_mm_xor_si128(_mm_sha1msg1_epu32(m0, m1), m2), m3);
        we = _mm_sha1nexte_epu32(previous, m0);
        previous = abcd;
        abcd = _mm_sha1rnds4_epu32(abcd, we, 3);
        m1 = _mm_sha1msg2_epu32(_mm_xor_si128(_mm_sha1msg1_epu32(m1, m2), m3), m0);
        we = _mm_sha1nexte_epu32(previous, m1);
        previous = abcd;
        abcd = _mm_sha1rnds4_epu32(abcd, we, 3);
        m2 = _mm_sha1msg2_epu32(_mm_xor_si128(_mm_sha1msg1_epu32(m2, m3), m0), m1);
        we = _mm_sha1nexte_epu32(previous, m2);
        previous = abcd;
        abcd = _mm_sha1rnds4_epu32(abcd, we, 3);
        m3 = _mm_sha1msg2_epu32(_mm_xor_si128(_mm_sha1msg1_epu32(m3, m0), m1), m2);
        we = _mm_sha1nexte_epu32(previous, m3);
        previous = abcd;
        abcd = _mm_sha1rnds4_epu32(abcd, we, 3);

        // The final E is ROL(A before the last group, 30) plus E at the block's start.
        e = _mm_sha1nexte_epu32(previous, eStart);
        abcd = _mm_add_epi32(abcd, abcdStart);
    }

    _mm_storeu_si128(reinterpret_cast<__m128i*>(hash), _mm_shuffle_epi32(abcd, 0x1B));
    hash[4] = uint32_t(_mm_extract_epi32(e, 3));
}

bool DetectShaExtensions() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx))
        return false;
    const bool ssse3 = (ecx & (1u << 9)) != 0;
    const bool sse41 = (ecx & (1u << 19)) != 0;
    if (!ssse3 || !sse41)
        return false;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx))
        return false;
    return (ebx & (1u << 29)) != 0;
}

#endif

BlockFunction Select(Sha1Engine engine) {
#ifdef BRISKLANE_SHA1_X86
    static const bool accelerated = DetectShaExtensions();
    if (engine != Sha1Engine::Portable && accelerated)
        return BlocksShaNi;
#else
    (void)engine;
#endif
    return BlocksPortable;
}

} // namespace

bool Sha1AcceleratedAvailable() {
#ifdef BRISKLANE_SHA1_X86
    return Select(Sha1Engine::Accelerated) == BlocksShaNi;
#else
    return false;
#endif
}

void Sha1Context::Reset() {
    std::memset(this, 0, sizeof(*this));
    intermediateHash[0] = 0x67452301;
    intermediateHash[1] = 0xEFCDAB89;
    intermediateHash[2] = 0x98BADCFE;
    intermediateHash[3] = 0x10325476;
    intermediateHash[4] = 0xC3D2E1F0;
}

Sha1Status Sha1Context::Input(const void* data, size_t length, Sha1Engine engine) {
    if (length == 0)
        return Sha1Status::Ok;
    if (!data)
        return Sha1Status::Null;
    if (computed) {
        corrupted = int32_t(Sha1Status::StateError);
        return Sha1Status::StateError;
    }
    if (corrupted)
        return Sha1Status(corrupted);

    const uint64_t before = (uint64_t(lengthHigh) << 32) | lengthLow;
    const uint64_t bits = uint64_t(length) << 3;
    if ((uint64_t(length) >> 61) != 0 || before + bits < before) {
        corrupted = int32_t(Sha1Status::InputTooLong);
        return Sha1Status::InputTooLong;
    }
    const uint64_t after = before + bits;
    lengthLow = uint32_t(after);
    lengthHigh = uint32_t(after >> 32);

    const BlockFunction blocks = Select(engine);
    const uint8_t* p = static_cast<const uint8_t*>(data);
    if (messageBlockIndex > 0) {
        const size_t take = std::min<size_t>(64 - size_t(messageBlockIndex), length);
        std::memcpy(messageBlock + messageBlockIndex, p, take);
        messageBlockIndex = int16_t(messageBlockIndex + take);
        p += take;
        length -= take;
        if (messageBlockIndex < 64)
            return Sha1Status::Ok;
        blocks(intermediateHash, messageBlock, 1);
        messageBlockIndex = 0;
    }
    const size_t whole = length / 64;
    if (whole > 0) {
        blocks(intermediateHash, p, whole);
        p += whole * 64;
        length -= whole * 64;
    }
    if (length > 0) {
        std::memcpy(messageBlock, p, length);
        messageBlockIndex = int16_t(length);
    }
    return Sha1Status::Ok;
}

Sha1Status Sha1Context::Result(uint8_t digest[kSha1DigestSize], Sha1Engine engine) {
    if (!digest)
        return Sha1Status::Null;
    if (corrupted)
        return Sha1Status(corrupted);
    if (!computed) {
        const BlockFunction blocks = Select(engine);
        size_t index = size_t(messageBlockIndex);
        messageBlock[index++] = 0x80;
        if (index > 56) {
            std::memset(messageBlock + index, 0, 64 - index);
            blocks(intermediateHash, messageBlock, 1);
            index = 0;
        }
        std::memset(messageBlock + index, 0, 56 - index);
        StoreBe32(messageBlock + 56, lengthHigh);
        StoreBe32(messageBlock + 60, lengthLow);
        blocks(intermediateHash, messageBlock, 1);
        // The block may hold the end of the message; keep no copy of it once done.
        std::memset(messageBlock, 0, sizeof(messageBlock));
        messageBlockIndex = 0;
        lengthLow = 0;
        lengthHigh = 0;
        computed = 1;
    }
    for (int i = 0; i < 5; ++i)
        StoreBe32(digest + 4 * i, intermediateHash[i]);
    return Sha1Status::Ok;
}

void Sha1SaveContext(const Sha1Context& context, uint8_t out[kSha1ContextSize]) {
    std::memset(out, 0, kSha1ContextSize);
    for (int i = 0; i < 5; ++i)
        StoreLe32(out + 4 * i, context.intermediateHash[i]);
    StoreLe32(out + 20, context.lengthLow);
    StoreLe32(out + 24, context.lengthHigh);
    const uint16_t index = uint16_t(context.messageBlockIndex);
    out[28] = uint8_t(index);
    out[29] = uint8_t(index >> 8);
    if (context.messageBlockIndex > 0 && context.messageBlockIndex <= 64)
        std::memcpy(out + 32, context.messageBlock, size_t(context.messageBlockIndex));
    StoreLe32(out + 96, uint32_t(context.computed));
    StoreLe32(out + 100, uint32_t(context.corrupted));
}

bool Sha1LoadContext(Sha1Context& context, const uint8_t* data, size_t length) {
    if (!data || length < kSha1ContextSize)
        return false;
    Sha1Context loaded;
    std::memset(&loaded, 0, sizeof(loaded));
    for (int i = 0; i < 5; ++i)
        loaded.intermediateHash[i] = LoadLe32(data + 4 * i);
    loaded.lengthLow = LoadLe32(data + 20);
    loaded.lengthHigh = LoadLe32(data + 24);
    loaded.messageBlockIndex = int16_t(uint16_t(data[28] | (data[29] << 8)));
    loaded.computed = int32_t(LoadLe32(data + 96));
    loaded.corrupted = int32_t(LoadLe32(data + 100));

    if (loaded.messageBlockIndex < 0 || loaded.messageBlockIndex > 63)
        return false;
    if ((loaded.lengthLow & 7) != 0 || ((loaded.lengthLow >> 3) & 63) != uint32_t(loaded.messageBlockIndex))
        return false;
    if (loaded.computed != 0 || loaded.corrupted != 0)
        return false;
    std::memcpy(loaded.messageBlock, data + 32, size_t(loaded.messageBlockIndex));
    context = loaded;
    return true;
}

void Sha1Digest(const void* data, size_t length, uint8_t digest[kSha1DigestSize], Sha1Engine engine) {
    Sha1Context context;
    context.Reset();
    context.Input(data, length, engine);
    context.Result(digest, engine);
}
