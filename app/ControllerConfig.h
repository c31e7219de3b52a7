#pragma once
// The package the controller downloads: what the configuration block of the program
// carries, as plain values. Tests build their own (local servers, small files).
#include <cstdint>
#include <string>

namespace embedded {
class EmbeddedConfigBlock;
}

constexpr int kPackageFileCount = 4;

struct ControllerConfig {
    std::string productKey; // MD5 text of file 0; names the data folder and the job file
    std::string resourceListUrl;
    std::string packageUrls[kPackageFileCount];
    std::string fileNames[kPackageFileCount];
    uint64_t expectedSizes[kPackageFileCount] = {};
    std::string expectedMd5[kPackageFileCount];

    // The values of a configuration block: the texts Base64-decoded, the digests and
    // sizes as they stand.
    static ControllerConfig FromBlock(const embedded::EmbeddedConfigBlock& block);
};
