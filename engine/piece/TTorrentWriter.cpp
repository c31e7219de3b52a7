#include "engine/piece/TTorrentWriter.h"

#include "engine/bencode/Bencode.h"
#include "engine/bencode/QDictionaryElement.h"
#include "engine/bencode/QListElement.h"
#include "engine/core/QSha1.h"
#include "engine/piece/TTorrent.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <memory>

namespace {

bool AddText(QElement& dict, const char* key, std::string_view value) {
    if (value.size() > static_cast<size_t>(INT_MAX)) {
        return false;
    }
    return dict.AddString(key, -1, 0, false) != nullptr &&
           dict.AddString(value.data(), static_cast<int>(value.size()), 0, false) != nullptr;
}

bool AddInteger(QElement& dict, const char* key, int64_t value) {
    return dict.AddString(key, -1, value, true) != nullptr;
}

bool AddContainer(QElement& dict, const char* key, std::unique_ptr<QElement> value) {
    if (dict.AddString(key, -1, 0, false) == nullptr || dict.Append(value.get()) == nullptr) {
        return false;
    }
    value.release();
    return true;
}

void AppendDigest(std::string& pieces, const void* data, size_t length) {
    uint8_t digest[kSha1DigestSize];
    Sha1Digest(data, length, digest);
    pieces.append(reinterpret_cast<const char*>(digest), kSha1DigestSize);
}

} // namespace

bool TTorrentWriter::CanBuild() const {
    if (pieceLength_ <= 0 || pieceLength_ > TTorrent::kMaxPieceLength) {
        return false;
    }
    // What the reader would refuse is not written either.
    return TTorrent::IsPlainName(name_);
}

bool TTorrentWriter::Build(std::string_view content, std::string& out) const {
    out.clear();
    if (!CanBuild() || content.empty()) {
        return false;
    }
    std::string pieces;
    const size_t step = static_cast<size_t>(pieceLength_);
    for (size_t offset = 0; offset < content.size(); offset += step) {
        const size_t length = std::min(step, content.size() - offset);
        AppendDigest(pieces, content.data() + offset, length);
    }
    return Assemble(content.size(), pieces, out);
}

bool TTorrentWriter::BuildFromFile(const std::string& path, std::string& out) const {
    out.clear();
    if (!CanBuild()) {
        return false;
    }
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file) {
        return false;
    }
    std::string buffer(static_cast<size_t>(pieceLength_), '\0');
    std::string pieces;
    uint64_t total = 0;
    for (;;) {
        // fread may return short of a whole piece before the end; only the last piece of
        // the file may be short.
        size_t filled = 0;
        while (filled < buffer.size()) {
            const size_t got = std::fread(buffer.data() + filled, 1, buffer.size() - filled, file.get());
            if (got == 0) {
                break;
            }
            filled += got;
        }
        if (std::ferror(file.get())) {
            return false;
        }
        if (filled == 0) {
            break;
        }
        AppendDigest(pieces, buffer.data(), filled);
        total += filled;
        if (filled < buffer.size()) {
            break;
        }
    }
    if (total == 0) {
        return false;
    }
    return Assemble(total, pieces, out);
}

bool TTorrentWriter::Assemble(uint64_t length, const std::string& pieces, std::string& out) const {
    if (length > static_cast<uint64_t>(INT64_MAX)) {
        return false;
    }
    // Keys in byte order, as every reader that re-encodes a torrent expects.
    auto info = std::make_unique<QDictionaryElement>();
    if (!AddInteger(*info, "length", static_cast<int64_t>(length)) || !AddText(*info, "name", name_) ||
        !AddInteger(*info, "piece length", pieceLength_) || !AddText(*info, "pieces", pieces)) {
        return false;
    }

    QDictionaryElement root;
    if (!trackers_.empty()) {
        if (!AddText(root, "announce", trackers_.front())) {
            return false;
        }
        auto tiers = std::make_unique<QListElement>();
        for (const std::string& tracker : trackers_) {
            auto tier = std::make_unique<QListElement>();
            if (tracker.size() > static_cast<size_t>(INT_MAX) ||
                tier->AddString(tracker.data(), static_cast<int>(tracker.size()), 0, false) == nullptr ||
                tiers->Append(tier.get()) == nullptr) {
                return false;
            }
            tier.release();
        }
        if (!AddContainer(root, "announce-list", std::move(tiers))) {
            return false;
        }
    }
    if (!comment_.empty() && !AddText(root, "comment", comment_)) {
        return false;
    }
    if (creationDate_ != 0 && !AddInteger(root, "creation date", creationDate_)) {
        return false;
    }
    if (!encoding_.empty() && !AddText(root, "encoding", encoding_)) {
        return false;
    }
    if (!AddContainer(root, "info", std::move(info))) {
        return false;
    }
    std::string encoded;
    if (!Encode(&root, encoded)) {
        return false;
    }
    out = std::move(encoded);
    return true;
}

bool TTorrentWriter::WriteTorrentFile(const std::string& path, std::string_view bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    const bool closed = std::fclose(file) == 0;
    return written && closed;
}
