#pragma once
// Makes single-file torrents: the deployment packer embeds them in the program, and the
// tests use them as fixtures. Pieces are hashed with the engine's own SHA-1 and the
// document is written with the engine's bencode writer, so what comes out is what the
// reader expects to see.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class TTorrentWriter {
public:
    // The file name the torrent gives its download: one plain name, no folders.
    void SetName(std::string name) { name_ = std::move(name); }
    void SetPieceLength(int32_t length) { pieceLength_ = length; }
    // The first becomes "announce"; together they form "announce-list", one tier each.
    void SetTrackers(std::vector<std::string> trackers) { trackers_ = std::move(trackers); }
    // Left out of the torrent while empty or 0.
    void SetComment(std::string comment) { comment_ = std::move(comment); }
    void SetCreationDate(int64_t seconds) { creationDate_ = seconds; }
    // The "encoding" the reader maps to a code page ("GBK", "BIG5", ...).
    void SetEncoding(std::string encoding) { encoding_ = std::move(encoding); }

    // The bencoded torrent of content. False, leaving out empty, when the name is not a
    // plain file name, the piece length is outside 1..128 MiB or content is empty.
    bool Build(std::string_view content, std::string& out) const;
    // The same for a file on disk, read one piece at a time.
    bool BuildFromFile(const std::string& path, std::string& out) const;
    // Writes bytes to path, replacing what was there. False when any byte is missing.
    static bool WriteTorrentFile(const std::string& path, std::string_view bytes);

private:
    bool CanBuild() const;
    bool Assemble(uint64_t length, const std::string& pieces, std::string& out) const;

    std::string name_;
    int32_t pieceLength_ = 256 * 1024;
    std::vector<std::string> trackers_;
    std::string comment_;
    int64_t creationDate_ = 0;
    std::string encoding_;
};
