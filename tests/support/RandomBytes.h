#pragma once
// Test data that looks random and is the same for the same seed on every run and
// machine: byte i is the low byte of the i-th draw of std::mt19937. The resume sample in
// tests/data was made from such bytes, so the rule must stay.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

std::string RandomBytes(size_t n, uint32_t seed);
std::vector<uint8_t> RandomByteVector(size_t n, uint32_t seed);

} // namespace testsupport
