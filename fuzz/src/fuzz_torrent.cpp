// Feeds arbitrary bytes to the torrent reader, as torrent data and, when they look like
// one, as a P2SP template. Whatever it accepts must describe a download that stays inside
// its folder, whose files tile the total size and whose hash list fits the size; whatever
// it refuses must leave nothing behind. Nothing is written to disk: the layout is only
// checked by its names.
#include "engine/core/QSha1.h"
#include "engine/piece/TTorrent.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

constexpr const char* kFolder = "/nonexistent/brisklane-fuzz/in/";

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "fuzz_torrent: %s\n", what);
    std::abort();
}

// Every element of the name is a plain one: no way up, no way to the root.
void CheckRelative(const std::string& relative) {
    if (relative.empty() || relative.front() == '/' || relative.back() == '/') {
        Fail("a relative name is empty or not relative");
    }
    size_t start = 0;
    while (start <= relative.size()) {
        size_t end = relative.find('/', start);
        if (end == std::string::npos) {
            end = relative.size();
        }
        const std::string_view part(relative.data() + start, end - start);
        if (part.empty() || part == "." || part == ".." || part.find('\0') != std::string_view::npos) {
            Fail("a relative name has an element that leaves its folder");
        }
        for (char c : part) {
            if (c == '?' || c == '\r' || c == '\n') {
                Fail("a relative name keeps a character the file layer refuses");
            }
        }
        start = end + 1;
    }
}

void CheckAccepted(const TTorrent& t, const TTorrentTarget& target) {
    const TFileLayout& layout = t.FileSet();
    if (layout.pieceLength <= 0 || layout.pieceLength > TTorrent::kMaxPieceLength || layout.pieceCount <= 0) {
        Fail("accepted a piece length or count out of range");
    }
    const uint64_t length = static_cast<uint64_t>(layout.pieceLength);
    if ((layout.totalSize + length - 1) / length != static_cast<uint64_t>(layout.pieceCount)) {
        Fail("the piece count disagrees with the total size");
    }
    if (layout.HasHashes() &&
        layout.pieceHashes.size() != static_cast<size_t>(layout.pieceCount) * kSha1DigestSize) {
        Fail("the hash list disagrees with the piece count");
    }
    if (layout.files.empty()) {
        Fail("accepted a download without files");
    }
    const std::string folder = kFolder;
    uint64_t offset = 0;
    for (size_t i = 0; i < layout.files.size(); ++i) {
        const TLayoutFile& f = layout.files[i];
        if (f.index != static_cast<int32_t>(i) || f.startOffset != offset) {
            Fail("the files do not follow each other");
        }
        CheckRelative(f.relativeName);
        // Whatever the torrent says, its files land below the task's folder.
        if (f.path.compare(0, folder.size(), folder) != 0) {
            Fail("a file lies outside the task's folder");
        }
        CheckRelative(f.path.substr(folder.size()));
        if (f.path != target.targetFile && f.path != layout.folder + f.relativeName) {
            Fail("a file's path is neither the target nor its folder and relative name");
        }
        offset += f.size;
    }
    if (offset != layout.totalSize) {
        Fail("the file sizes do not add up to the total");
    }
    const std::string& hex = t.InfoHashHex();
    if (hex.size() != 2 * kSha1DigestSize) {
        Fail("accepted without an info hash");
    }
    std::string unescaped;
    const std::string& escaped = t.InfoHashEscaped();
    for (size_t i = 0; i < escaped.size(); ++i) {
        if (escaped[i] == '%' && i + 2 < escaped.size()) {
            unescaped.push_back(
                static_cast<char>(std::strtol(escaped.substr(i + 1, 2).c_str(), nullptr, 16)));
            i += 2;
        } else {
            unescaped.push_back(escaped[i]);
        }
    }
    if (unescaped != std::string(reinterpret_cast<const char*>(t.GetInfoHash().data()), kSha1DigestSize)) {
        Fail("the escaped info hash is not the info hash");
    }
    for (size_t i = 0; i < t.Trackers().size(); ++i) {
        if (t.Trackers()[i].empty()) {
            Fail("an empty tracker was kept");
        }
        for (size_t j = 0; j < i; ++j) {
            if (t.Trackers()[i] == t.Trackers()[j]) {
                Fail("a tracker was kept twice");
            }
        }
    }
}

void CheckRefused(const TTorrent& t) {
    if (!t.FileSet().files.empty() || !t.InfoHashHex().empty() || !t.Trackers().empty() ||
        t.GetInfoHash() != InfoHash{}) {
        Fail("a refused torrent left metadata behind");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    TTorrentTarget target;
    target.folder = kFolder;
    target.createDirectories = false;
    // Half the inputs run as a task told which file to write.
    if (size % 2 == 1) {
        target.targetFile = std::string(kFolder) + "target.bin";
    }

    TRef<TTorrent> t = TRef<TTorrent>::Adopt(new TTorrent);
    int phases = 0;
    t->SetPhaseCallback([&](int phase) {
        if (phase != (phases == 0 ? TTorrent::kPhaseLoading : TTorrent::kPhaseRunning) || phases > 1) {
            Fail("phases out of order");
        }
        ++phases;
    });
    if (!bytes.empty() && bytes[0] == '$') {
        t->SetSource(bytes);
    } else {
        t->SetTorrentData(bytes);
    }
    if (t->Load(target)) {
        CheckAccepted(*t, target);
    } else {
        CheckRefused(*t);
    }
    if (phases != 0 && phases != 2) {
        Fail("a load that started did not end");
    }
    return 0;
}
