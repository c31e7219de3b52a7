#pragma once
// A download of known bytes laid out over files in a temporary folder, with the
// piece map's host recorded, for the piece and file tests.
#include "engine/core/QSha1.h"
#include "engine/piece/TPieces.h"
#include "support/TempDir.h"

#include <cstdint>
#include <string>
#include <vector>

namespace piecetest {

struct RecordingHost : TPiecesHost {
    std::vector<int> verified, lost, fileEvents, corrupt;
    std::string part, bits;
    uint64_t now = 1000000;
    uint64_t done = 0, total = 0;
    bool stop = false;
    void OnPieceVerified(int piece) override { verified.push_back(piece); }
    void OnPieceLost(int piece) override { lost.push_back(piece); }
    void OnProgress(uint64_t d, uint64_t t) override {
        done = d;
        total = t;
    }
    void OnPublishRequest() override {}
    void OnLayoutCommitted(int, const std::string&) override {}
    void OnRecord(int code, const std::string& record) override { (code == 1000 ? part : bits) = record; }
    void OnCorruptPiece(int piece, TPieceSource*) override { corrupt.push_back(piece); }
    void OnFileEvent(int code) override { fileEvents.push_back(code); }
    bool StopRequested() override { return stop; }
    uint64_t Now() override { return now; }
};

// Counts what the piece map credits and charges.
struct CountingSource : TPieceSource {
    int good = 0, bad = 0, reports = 0;
    void CreditPiece(bool verified) override { (verified ? good : bad)++; }
    void ReportCorruptPiece(int, const std::string&) override { ++reports; }
};

// A layout of the given file sizes under folder, with piece hashes of data.
inline TFileLayout MakeLayout(const std::string& folder, const std::vector<uint64_t>& sizes,
                              int32_t pieceLength, const std::vector<uint8_t>& data, bool withHashes = true) {
    TFileLayout l;
    l.name = "pkg";
    l.folder = folder + "/";
    l.pieceLength = pieceLength;
    uint64_t offset = 0;
    int index = 0;
    for (uint64_t size : sizes) {
        TLayoutFile f;
        f.relativeName = "pkg/file" + std::to_string(index) + ".bin";
        f.path = folder + "/" + f.relativeName;
        f.size = size;
        f.startOffset = offset;
        f.index = index++;
        offset += size;
        l.files.push_back(f);
    }
    l.totalSize = offset;
    l.pieceCount = static_cast<int32_t>((offset + static_cast<uint64_t>(pieceLength) - 1) / pieceLength);
    if (withHashes) {
        for (int32_t i = 0; i < l.pieceCount; ++i) {
            const uint64_t start = static_cast<uint64_t>(i) * pieceLength;
            const uint64_t n = std::min<uint64_t>(pieceLength, offset - start);
            uint8_t digest[kSha1DigestSize];
            Sha1Digest(data.data() + start, n, digest);
            l.pieceHashes.append(reinterpret_cast<const char*>(digest), sizeof digest);
        }
    }
    return l;
}

inline InfoHash TestHash(uint8_t fill = 7) {
    InfoHash h;
    h.fill(fill);
    return h;
}

// Writes block k of data into the map.
inline int Deliver(TPieces& map, const std::vector<uint8_t>& data, uint32_t block,
                   TPieceSource* source = nullptr) {
    bool completed = false;
    const uint32_t length = static_cast<uint32_t>(map.BlockLength(block));
    return map.WriteBlock(block, data.data() + static_cast<uint64_t>(block) * kBlockSize,
                          static_cast<int32_t>(length), source, completed);
}

inline uint32_t BlockCount(const TPieces& map) {
    return static_cast<uint32_t>((map.TotalSize() + kBlockSize - 1) / kBlockSize);
}

} // namespace piecetest
