#pragma once
#include <cstdint>
#include <string>
#include <vector>

// One file of a download as the metadata describes it.
struct TLayoutFile {
    std::string relativeName; // name inside the download; key of the resume records
    std::string path;         // final full path on disk
    uint64_t size = 0;
    uint64_t startOffset = 0; // offset of the file's first byte in the download
    int32_t index = 0;
    int32_t priority = 0; // -2..2; below -2 excludes the file
};

// What metadata (a torrent, a template, or a plain source's size) says the download
// looks like. The piece map is built from it.
struct TFileLayout {
    std::string name;   // the download's name, shown to the user
    std::string folder; // destination folder, with a trailing separator
    int32_t pieceLength = 0;
    int32_t pieceCount = 0;
    std::string pieceHashes; // pieceCount x 20 bytes; empty when none are known
    uint64_t totalSize = 0;
    std::vector<TLayoutFile> files;

    bool HasHashes() const { return !pieceHashes.empty(); }
};
