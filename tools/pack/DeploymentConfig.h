#pragma once
// The deployment description the packer reads: what goes into a program's
// configuration block and resources. Everything is checked here, before anything is
// read from or written to a program, so a bad description never yields output.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

// A refusal of the packer, with the message for the user (naming the key or file).
class PackError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct PackageFileEntry {
    std::string url;
    std::string name;
    // Either a local copy of the file (then size, MD5 and torrent are made from it) ...
    std::string path;
    // ... or the three given.
    uint64_t size = 0;
    std::string md5;
    std::string torrentPath;

    bool FromLocalFile() const { return !path.empty(); }
};

class DeploymentConfig {
public:
    static constexpr int kFiles = 4;
    static constexpr int32_t kDefaultPieceLength = 256 * 1024;
    // The statistics client reads addresses of at most this many characters.
    static constexpr size_t kMaxSubmitUrl = 260;

    // Reads and checks the file; relative paths in it are taken from its folder.
    // Throws PackError.
    static DeploymentConfig Load(const std::string& file);

    std::string resourceList;
    PackageFileEntry files[kFiles];
    std::vector<std::string> trackers;
    int32_t pieceLength = kDefaultPieceLength;
    std::vector<std::string> submitUrls;      // single events
    std::vector<std::string> batchSubmitUrls; // batches
    bool hasVersion = false;
    uint16_t version[4] = {};
};
