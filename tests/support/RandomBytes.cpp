#include "support/RandomBytes.h"

#include <random>

namespace testsupport {

namespace {

template <typename Bytes> Bytes Generate(size_t n, uint32_t seed) {
    std::mt19937 random(seed);
    Bytes out(n, 0);
    for (auto& b : out)
        b = static_cast<typename Bytes::value_type>(random());
    return out;
}

} // namespace

std::string RandomBytes(size_t n, uint32_t seed) {
    return Generate<std::string>(n, seed);
}

std::vector<uint8_t> RandomByteVector(size_t n, uint32_t seed) {
    return Generate<std::vector<uint8_t>>(n, seed);
}

} // namespace testsupport
