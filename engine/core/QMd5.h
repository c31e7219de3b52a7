#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

constexpr size_t kMd5DigestSize = 16;

// Incremental MD5 (RFC 1321). Whole 64-byte blocks are hashed straight from the
// caller's buffer; only a trailing partial block is copied.
struct Md5Context {
    uint32_t state[4];
    uint64_t byteCount;
    uint8_t buffer[64];

    void Init();
    void Update(const void* data, size_t length);
    // Finishes the digest; the context must be initialised again before reuse.
    void Final(uint8_t digest[kMd5DigestSize]);
};

// One-shot digest.
void Md5Digest(const void* data, size_t length, uint8_t digest[kMd5DigestSize]);

// The 32-character lower-case hexadecimal text of a digest, the form in which MD5
// values are configured and compared.
std::string Md5ToHex(const uint8_t digest[kMd5DigestSize]);

// Md5ToHex of the digest of the data.
std::string Md5Hex(const void* data, size_t length);
