#pragma once
#include <cstddef>
#include <cstdint>
#include <type_traits>

// Result codes of the SHA-1 context, kept as the numbers the saved record uses in
// its corrupted field.
enum class Sha1Status : int32_t {
    Ok = 0,
    Null = 1,         // a null data pointer with a non-zero length
    InputTooLong = 2, // more than 2^64 - 1 bits
    StateError = 3,   // input after the result was taken
};

// Which block function hashes the data. Auto takes the CPU's SHA instructions when
// it has them; Portable forces the plain C++ rounds (used to cross-check the two).
enum class Sha1Engine { Auto, Portable, Accelerated };

// True when this CPU can run Sha1Engine::Accelerated.
bool Sha1AcceleratedAvailable();

constexpr size_t kSha1DigestSize = 20;
constexpr size_t kSha1ContextSize = 104;

// Running SHA-1 (RFC 3174). The members are exactly the classic context record, so
// a partly hashed piece can be saved in 104 bytes and continued after a restart.
// Only the bytes of the last incomplete block live in messageBlock; whole blocks are
// hashed straight from the caller's buffer.
struct Sha1Context {
    uint32_t intermediateHash[5];
    uint32_t lengthLow;  // message length in bits, low word
    uint32_t lengthHigh; // message length in bits, high word
    int16_t messageBlockIndex;
    uint8_t padding[2];
    uint8_t messageBlock[64];
    int32_t computed;
    int32_t corrupted;

    void Reset();
    // Appending after Result() is a state error and corrupts the context.
    Sha1Status Input(const void* data, size_t length, Sha1Engine engine = Sha1Engine::Auto);
    // Pads and finishes on the first call; later calls give the same digest again.
    Sha1Status Result(uint8_t digest[kSha1DigestSize], Sha1Engine engine = Sha1Engine::Auto);

    // Bytes hashed so far (meaningful only before Result()).
    uint64_t BytesHashed() const { return ((uint64_t(lengthHigh) << 32) | lengthLow) >> 3; }
};

static_assert(sizeof(Sha1Context) == kSha1ContextSize);
static_assert(std::is_standard_layout_v<Sha1Context>);
static_assert(std::is_trivially_copyable_v<Sha1Context>);
static_assert(offsetof(Sha1Context, lengthLow) == 20 && offsetof(Sha1Context, messageBlockIndex) == 28 &&
              offsetof(Sha1Context, messageBlock) == 32 && offsetof(Sha1Context, computed) == 96 &&
              offsetof(Sha1Context, corrupted) == 100);

// Writes the record little-endian whatever the host. The padding and the block bytes
// past messageBlockIndex are written as zeros, so one state always gives one record.
void Sha1SaveContext(const Sha1Context& context, uint8_t out[kSha1ContextSize]);

// Reads a record written by Sha1SaveContext (or by any writer of the same layout).
// Only a context that can be continued is accepted: block index in 0..63, a bit
// length that is whole bytes and agrees with the index, and neither the computed nor
// the corrupted flag set. The record comes from disk and may be damaged: an index
// past the block would make the next Input write outside it, and any other
// inconsistency would only show once the rest of the piece had been downloaded and
// failed its check. On failure the context is left untouched.
bool Sha1LoadContext(Sha1Context& context, const uint8_t* data, size_t length);

// One-shot digest.
void Sha1Digest(const void* data, size_t length, uint8_t digest[kSha1DigestSize],
                Sha1Engine engine = Sha1Engine::Auto);
