#include "engine/core/QAdler32.h"
#include "engine/core/QMd5.h"
#include "engine/core/QSha1.h"
#include "support/RandomBytes.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

using testsupport::RandomByteVector;

std::string Hex(const uint8_t* p, size_t n) {
    static const char kHex[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += kHex[p[i] >> 4];
        s += kHex[p[i] & 15];
    }
    return s;
}

// Splits [0, n) into chunks whose sizes mix single bytes, sizes around one block and
// runs of many blocks, so that every path through the buffering is taken.
std::vector<size_t> RandomChunks(std::mt19937_64& rng, size_t n) {
    std::vector<size_t> sizes;
    size_t done = 0;
    while (done < n) {
        size_t want;
        switch (rng() % 4) {
        case 0:
            want = rng() % 4;
            break;
        case 1:
            want = 60 + rng() % 10;
            break;
        case 2:
            want = rng() % 300;
            break;
        default:
            want = rng() % 70000;
            break;
        }
        want = std::min(want, n - done);
        sizes.push_back(want);
        done += want;
    }
    return sizes;
}

std::string OpenSslHex(const EVP_MD* md, const std::vector<uint8_t>& data) {
    uint8_t out[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    EXPECT_EQ(EVP_Digest(data.data(), data.size(), out, &len, md, nullptr), 1);
    return Hex(out, len);
}

std::vector<Sha1Engine> Engines() {
    std::vector<Sha1Engine> e{Sha1Engine::Portable};
    if (Sha1AcceleratedAvailable())
        e.push_back(Sha1Engine::Accelerated);
    return e;
}

const char* Name(Sha1Engine e) {
    return e == Sha1Engine::Portable ? "portable" : "accelerated";
}

std::string Sha1Hex(Sha1Context& c, Sha1Engine e) {
    uint8_t d[kSha1DigestSize];
    EXPECT_EQ(c.Result(d, e), Sha1Status::Ok);
    return Hex(d, sizeof(d));
}

std::string Sha1Chunked(const std::vector<uint8_t>& data, const std::vector<size_t>& chunks, Sha1Engine e) {
    Sha1Context c;
    c.Reset();
    size_t at = 0;
    for (size_t n : chunks) {
        EXPECT_EQ(c.Input(data.data() + at, n, e), Sha1Status::Ok);
        at += n;
    }
    return Sha1Hex(c, e);
}

std::array<uint8_t, kSha1ContextSize> Saved(const Sha1Context& c) {
    std::array<uint8_t, kSha1ContextSize> r;
    Sha1SaveContext(c, r.data());
    return r;
}

// Adler-32 straight from its definition, reducing after every byte.
uint32_t NaiveAdler(uint32_t initial, const uint8_t* p, size_t n) {
    uint64_t a = (initial & 0xffff) % 65521, b = (initial >> 16) % 65521;
    for (size_t i = 0; i < n; ++i) {
        a = (a + p[i]) % 65521;
        b = (b + a) % 65521;
    }
    return uint32_t(b << 16 | a);
}

// ---------------------------------------------------------------- SHA-1

TEST(Sha1, Rfc3174Vectors) {
    const std::string four = "0123456701234567012345670123456701234567012345670123456701234567";
    struct Case {
        std::string text;
        int repeat;
        const char* digest;
    } cases[] = {
        {"abc", 1, "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 1,
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {"a", 1000000, "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
        {four, 10, "dea356a2cddd90c7a7ecedc5ebb563934f460452"},
        {"", 1, "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
    };
    for (Sha1Engine e : Engines()) {
        for (const Case& k : cases) {
            SCOPED_TRACE(std::string(Name(e)) + " " + k.text.substr(0, 10));
            // As the RFC's driver does: the text fed repeat times.
            Sha1Context c;
            c.Reset();
            for (int i = 0; i < k.repeat; ++i)
                ASSERT_EQ(c.Input(k.text.data(), k.text.size(), e), Sha1Status::Ok);
            EXPECT_EQ(Sha1Hex(c, e), k.digest);
            // And the whole message at once.
            std::string whole;
            for (int i = 0; i < k.repeat; ++i)
                whole += k.text;
            uint8_t d[kSha1DigestSize];
            Sha1Digest(whole.data(), whole.size(), d, e);
            EXPECT_EQ(Hex(d, sizeof(d)), k.digest);
        }
    }
}

TEST(Sha1, MatchesOpenSslOnRandomInputInRandomChunks) {
    std::mt19937_64 rng(0x5eed5a1);
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 5000; ++n)
        lengths.push_back(n);
    for (size_t n : {size_t(1) << 20, (size_t(3) << 20) + 63, (size_t(1) << 22) + 1})
        lengths.push_back(n);
    for (size_t n : lengths) {
        const auto data = RandomByteVector(n, static_cast<uint32_t>(rng()));
        const auto chunks = RandomChunks(rng, n);
        const std::string expected = OpenSslHex(EVP_sha1(), data);
        for (Sha1Engine e : Engines()) {
            ASSERT_EQ(Sha1Chunked(data, chunks, e), expected) << Name(e) << " length " << n;
        }
    }
}

TEST(Sha1, AcceleratedAndPortableKeepIdenticalContexts) {
    if (!Sha1AcceleratedAvailable())
        GTEST_SKIP() << "no SHA instructions on this CPU";
    std::mt19937_64 rng(77);
    for (int round = 0; round < 40; ++round) {
        const size_t n = rng() % 200000;
        const auto data = RandomByteVector(n, static_cast<uint32_t>(rng()));
        Sha1Context portable, accelerated;
        portable.Reset();
        accelerated.Reset();
        size_t at = 0;
        for (size_t n : RandomChunks(rng, data.size())) {
            portable.Input(data.data() + at, n, Sha1Engine::Portable);
            accelerated.Input(data.data() + at, n, Sha1Engine::Accelerated);
            at += n;
            ASSERT_EQ(std::memcmp(&portable, &accelerated, sizeof(Sha1Context)), 0) << "after " << at;
        }
        uint8_t a[kSha1DigestSize], b[kSha1DigestSize];
        portable.Result(a, Sha1Engine::Portable);
        accelerated.Result(b, Sha1Engine::Accelerated);
        ASSERT_EQ(std::memcmp(&portable, &accelerated, sizeof(Sha1Context)), 0);
        ASSERT_EQ(Hex(a, 20), Hex(b, 20));
    }
}

TEST(Sha1, SavedContextLoadsAndContinuesToTheOneShotDigest) {
    std::mt19937_64 rng(4242);
    const auto engines = Engines();
    for (int round = 0; round < 300; ++round) {
        const size_t n = round < 250 ? rng() % 1000 : rng() % 600000;
        const auto data = RandomByteVector(n, static_cast<uint32_t>(rng()));
        const size_t split = n ? rng() % (n + 1) : 0;
        const Sha1Engine first = engines[rng() % engines.size()];
        const Sha1Engine second = engines[rng() % engines.size()];
        SCOPED_TRACE("length " + std::to_string(n) + " split " + std::to_string(split));

        Sha1Context before;
        before.Reset();
        before.Input(data.data(), split, first);
        const auto record = Saved(before);

        // A context full of leftovers from another piece must not leak into the load.
        Sha1Context after;
        std::memset(&after, 0xA5, sizeof(after));
        ASSERT_TRUE(Sha1LoadContext(after, record.data(), record.size()));
        EXPECT_EQ(after.BytesHashed(), split);
        EXPECT_EQ(Saved(after), record);
        after.Input(data.data() + split, n - split, second);
        EXPECT_EQ(Sha1Hex(after, second), OpenSslHex(EVP_sha1(), data));
    }
}

TEST(Sha1, SavedRecordIsTheLittleEndianClassicLayout) {
    // 67 bytes: one whole block hashed, three bytes waiting in the block.
    std::string text(64, 'x');
    text += "abc";
    Sha1Context c;
    c.Reset();
    c.Input(text.data(), text.size());
    const auto r = Saved(c);

    std::array<uint8_t, kSha1ContextSize> expected{};
    for (int i = 0; i < 5; ++i) {
        const uint32_t w = c.intermediateHash[i];
        for (int j = 0; j < 4; ++j)
            expected[4 * i + j] = uint8_t(w >> (8 * j));
    }
    expected[20] = 536 & 0xff; // 67 * 8 bits
    expected[21] = 536 >> 8;
    expected[28] = 3;
    expected[32] = 'a';
    expected[33] = 'b';
    expected[34] = 'c';
    EXPECT_EQ(r, expected);
    // The words are the state after the block of 'x', not the initial constants.
    EXPECT_NE(c.intermediateHash[0], 0x67452301u);
    // The digest of "x"*64 + "abc" pins those words.
    EXPECT_EQ(Sha1Hex(c, Sha1Engine::Auto),
              OpenSslHex(EVP_sha1(), std::vector<uint8_t>(text.begin(), text.end())));

    // Another writer of the layout may leave stale bytes after the index and in the
    // padding; they are not part of the state.
    Sha1Context fresh;
    fresh.Reset();
    fresh.Input(text.data(), text.size());
    auto dirty = Saved(fresh);
    for (size_t i = 35; i < 96; ++i)
        dirty[i] = uint8_t(i);
    dirty[30] = 0xEE;
    dirty[31] = 0xFF;
    Sha1Context loaded;
    ASSERT_TRUE(Sha1LoadContext(loaded, dirty.data(), dirty.size()));
    EXPECT_EQ(Saved(loaded), Saved(fresh));
}

TEST(Sha1, LoadRejectsRecordsThatCannotContinue) {
    Sha1Context c;
    c.Reset();
    c.Input("hello", 5); // index 5, 40 bits
    const auto good = Saved(c);
    {
        Sha1Context probe;
        ASSERT_TRUE(Sha1LoadContext(probe, good.data(), good.size()));
    }

    auto set32 = [](std::array<uint8_t, kSha1ContextSize>& r, size_t at, uint32_t v) {
        for (int j = 0; j < 4; ++j)
            r[at + j] = uint8_t(v >> (8 * j));
    };
    auto set16 = [](std::array<uint8_t, kSha1ContextSize>& r, size_t at, uint16_t v) {
        r[at] = uint8_t(v);
        r[at + 1] = uint8_t(v >> 8);
    };
    struct Case {
        const char* what;
        std::function<void(std::array<uint8_t, kSha1ContextSize>&)> damage;
    } cases[] = {
        {"negative index", [&](auto& r) { set16(r, 28, 0xFFFF); }},
        {"index 64",
         [&](auto& r) {
             set16(r, 28, 64);
             set32(r, 20, 64 * 8);
         }},
        {"huge index", [&](auto& r) { set16(r, 28, 0x7FFF); }},
        {"index disagrees with length", [&](auto& r) { set16(r, 28, 6); }},
        {"length not whole bytes", [&](auto& r) { set32(r, 20, 41); }},
        {"computed", [&](auto& r) { set32(r, 96, 1); }},
        {"corrupted", [&](auto& r) { set32(r, 100, 3); }},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        auto bad = good;
        k.damage(bad);
        Sha1Context target;
        target.Reset();
        target.Input("kept", 4);
        const auto untouched = Saved(target);
        EXPECT_FALSE(Sha1LoadContext(target, bad.data(), bad.size()));
        EXPECT_EQ(Saved(target), untouched);
    }
    Sha1Context target;
    EXPECT_FALSE(Sha1LoadContext(target, good.data(), kSha1ContextSize - 1));
    EXPECT_FALSE(Sha1LoadContext(target, nullptr, kSha1ContextSize));
}

TEST(Sha1, ResultIsFinalAndLaterInputIsAStateError) {
    for (Sha1Engine e : Engines()) {
        SCOPED_TRACE(Name(e));
        Sha1Context c;
        c.Reset();
        ASSERT_EQ(c.Input("abc", 3, e), Sha1Status::Ok);
        EXPECT_EQ(c.Input(nullptr, 0, e), Sha1Status::Ok);
        EXPECT_EQ(c.Input(nullptr, 1, e), Sha1Status::Null);
        EXPECT_EQ(Sha1Hex(c, e), "a9993e364706816aba3e25717850c26c9cd0d89d");
        // Asking again gives the same digest; the message is not padded twice.
        EXPECT_EQ(Sha1Hex(c, e), "a9993e364706816aba3e25717850c26c9cd0d89d");
        // The finished context keeps no message bytes.
        EXPECT_EQ(c.lengthLow, 0u);
        EXPECT_EQ(c.messageBlockIndex, 0);
        EXPECT_EQ(c.computed, 1);
        EXPECT_TRUE(
            std::all_of(std::begin(c.messageBlock), std::end(c.messageBlock), [](uint8_t b) { return !b; }));

        EXPECT_EQ(c.Input("d", 1, e), Sha1Status::StateError);
        uint8_t d[kSha1DigestSize];
        EXPECT_EQ(c.Result(d, e), Sha1Status::StateError);
        c.Reset();
        ASSERT_EQ(c.Input("abc", 3, e), Sha1Status::Ok);
        EXPECT_EQ(Sha1Hex(c, e), "a9993e364706816aba3e25717850c26c9cd0d89d");
    }
}

TEST(Sha1, BitLengthCarriesIntoTheHighWordAndOverflowIsRefused) {
    // A context 2^32 - 8 bits into its message (index 63), built as a record.
    std::array<uint8_t, kSha1ContextSize> r{};
    Sha1Context start;
    start.Reset();
    Sha1SaveContext(start, r.data());
    r[20] = 0xF8;
    r[21] = r[22] = r[23] = 0xFF;
    r[28] = 63;
    Sha1Context c;
    ASSERT_TRUE(Sha1LoadContext(c, r.data(), r.size()));
    ASSERT_EQ(c.Input("xy", 2), Sha1Status::Ok);
    EXPECT_EQ(c.lengthLow, 8u);
    EXPECT_EQ(c.lengthHigh, 1u);
    EXPECT_EQ(c.messageBlockIndex, 1);
    EXPECT_EQ(c.BytesHashed(), (uint64_t(1) << 29) + 1);

    // 2^64 - 8 bits: one more byte does not fit.
    r[24] = r[25] = r[26] = r[27] = 0xFF;
    ASSERT_TRUE(Sha1LoadContext(c, r.data(), r.size()));
    EXPECT_EQ(c.Input("z", 1), Sha1Status::InputTooLong);
    uint8_t d[kSha1DigestSize];
    EXPECT_EQ(c.Result(d), Sha1Status::InputTooLong);
}

// ---------------------------------------------------------------- MD5

TEST(Md5, Rfc1321Vectors) {
    struct Case {
        const char* text;
        const char* digest;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const Case& k : cases) {
        EXPECT_EQ(Md5Hex(k.text, std::strlen(k.text)), k.digest) << k.text;
        // Byte by byte through the context.
        Md5Context c;
        c.Init();
        for (const char* p = k.text; *p; ++p)
            c.Update(p, 1);
        uint8_t d[kMd5DigestSize];
        c.Final(d);
        EXPECT_EQ(Md5ToHex(d), k.digest) << k.text;
    }
}

TEST(Md5, MatchesOpenSslOnRandomInputInRandomChunks) {
    std::mt19937_64 rng(0x3d5);
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 5000; ++n)
        lengths.push_back(n);
    for (size_t n : {size_t(1) << 20, (size_t(3) << 20) + 55, (size_t(1) << 22) + 1})
        lengths.push_back(n);
    for (size_t n : lengths) {
        const auto data = RandomByteVector(n, static_cast<uint32_t>(rng()));
        Md5Context c;
        c.Init();
        size_t at = 0;
        for (size_t k : RandomChunks(rng, n)) {
            c.Update(data.data() + at, k);
            at += k;
        }
        uint8_t d[kMd5DigestSize];
        c.Final(d);
        ASSERT_EQ(Md5ToHex(d), OpenSslHex(EVP_md5(), data)) << "length " << n;
    }
}

// ---------------------------------------------------------------- Adler-32

TEST(Adler32, KnownValues) {
    struct Case {
        uint32_t initial;
        const char* text;
        uint32_t value;
    } cases[] = {
        {1, "", 0x00000001},
        {1, "a", 0x00620062},
        {1, "abc", 0x024d0127},
        {1, "Wikipedia", 0x11E60398},
        {1, "message digest", 0x29750586},
        {0, "", 0x00000000},
        // Halves at or above the modulus are reduced even without data.
        {0xFFF1FFF1, "", 0x00000000},
        {0xFFFFFFFF, "", 0x000E000E},
    };
    for (const Case& k : cases)
        EXPECT_EQ(Adler32(k.initial, k.text, std::strlen(k.text)), k.value) << k.text;
    EXPECT_EQ(Adler32(1, nullptr, 10), 1u);
}

TEST(Adler32, MatchesZlibAndTheDefinitionForAnyStartValue) {
    std::mt19937_64 rng(1950);
    const uint32_t starts[] = {1, 0, 7, 65520, 65521, 0xFFFF, 0xFFF0FFF0, 0xFFF1FFF1, 0xFFFFFFFF, 0x0001E240};
    for (int round = 0; round < 520; ++round) {
        const size_t n = round < 500 ? rng() % 20000 : rng() % 3000000;
        const auto data = RandomByteVector(n, static_cast<uint32_t>(rng()));
        const uint32_t start = round % 3 == 0 ? uint32_t(rng()) : starts[round % std::size(starts)];
        const uint32_t ours = Adler32(start, data.data(), n);
        ASSERT_EQ(ours, uint32_t(adler32(start, data.data(), uInt(n))))
            << "start " << start << " length " << n;
        if (n < 20000) {
            ASSERT_EQ(ours, NaiveAdler(start, data.data(), n));
        }
    }
}

TEST(Adler32, LargestSumsAcrossReductionBoundaries) {
    // All bytes 0xFF from the largest reduced start value drive both sums as high as
    // they go; lengths around multiples of the reduction interval check its bound.
    const std::vector<uint8_t> ff(4 * 5552 + 64, 0xFF);
    for (size_t n : {5551, 5552, 5553, 5552 + 15, 5552 + 16, 2 * 5552, 2 * 5552 + 1, 4 * 5552 + 63})
        for (uint32_t start : {0xFFF0FFF0u, 0xFFFFFFFFu, 1u})
            EXPECT_EQ(Adler32(start, ff.data(), n), NaiveAdler(start, ff.data(), n)) << n << " " << start;
}

TEST(Adler32, ContinuesFromAnEarlierValue) {
    std::mt19937_64 rng(5);
    const auto data = RandomByteVector(100000, static_cast<uint32_t>(rng()));
    for (size_t split : {size_t(0), size_t(1), size_t(5552), size_t(77777), data.size()}) {
        const uint32_t head = Adler32(1, data.data(), split);
        EXPECT_EQ(Adler32(head, data.data() + split, data.size() - split),
                  Adler32(1, data.data(), data.size()));
    }
}

} // namespace
