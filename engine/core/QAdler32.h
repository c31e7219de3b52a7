#pragma once
#include <cstddef>
#include <cstdint>

// Adler-32 (RFC 1950) continued from `initial`: its low 16 bits are the running byte
// sum and its high 16 bits the sum of sums, so Adler32(Adler32(1, a), b) is the
// checksum of a followed by b. The standard start value is 1; the resume records seed
// it with other values (a piece index, another checksum). Halves of `initial` that are
// not below 65521 are reduced first, so the result is always a proper checksum.
uint32_t Adler32(uint32_t initial, const void* data, size_t length);
