#pragma once
// The metadata of a torrent-based task: trackers, the info hash that names the swarm and
// the file layout the piece map is built from. It comes from a bencoded torrent or from
// the short text template of a P2SP resource.
//
// Building the layout is kept apart from the piece map: the task decides whether a new
// layout replaces the one it runs on and what progress carries over.
#include "engine/core/TRefObject.h"
#include "engine/piece/InfoHash.h"
#include "engine/piece/TFileLayout.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

class QElement;

// Where the task puts its download.
struct TTorrentTarget {
    std::string folder;     // destination folder
    std::string targetFile; // full path the task was told to write; empty when it has none
    // Folders named by directory entries of a multi-file torrent are created at once.
    // Off where nothing may touch the disk (fuzzing, dry runs).
    bool createDirectories = true;
};

class TTorrent : public TRefObject {
public:
    // Values handed to the phase callback.
    static constexpr int kPhaseLoading = 3;
    static constexpr int kPhaseRunning = 4;

    // Pieces longer than this are refused: every piece is buffered whole in memory and
    // no real torrent comes near it.
    static constexpr int32_t kMaxPieceLength = 128 * 1024 * 1024;

    // Single-file downloads without a name, and P2SP downloads, get these file names.
    static constexpr const char* kUnnamedFile = "strRecommend";
    static constexpr const char* kTemplateFile = "001.qvinfo";

    TTorrent() = default;

    // The task's identifier (a torrent URL or a P2SP template) and its bencoded torrent.
    void SetSource(std::string source) { source_ = std::move(source); }
    void SetTorrentData(std::string data) { torrentData_ = std::move(data); }
    // A code page chosen by the caller wins over what the torrent says (0: let it say).
    // It survives Clear().
    void SetCodePage(int32_t codePage) { preferredCodePage_ = codePage; }
    // Told 3 when loading starts and 4 when it is over, whatever the outcome.
    void SetPhaseCallback(std::function<void(int)> callback) { phaseCallback_ = std::move(callback); }

    // Fills the metadata from the P2SP template in the source when it has one, otherwise
    // from the torrent data. True when a layout was built.
    bool Load(const TTorrentTarget& target);
    // Reads a decoded root dictionary whose texts are still as parsed; their code page is
    // set on the tree. Clears everything and returns false when no layout can be built.
    bool Parse(QElement& root, const TTorrentTarget& target);
    // The layout of an "info" dictionary. Paths are checked before anything is created:
    // a torrent whose names would reach outside the folder is refused. out is only
    // written on success.
    bool BuildFileSet(const QElement& info, const TTorrentTarget& target, TFileLayout& out) const;
    // Empties the metadata. The inputs (source and torrent data) stay.
    void Clear();

    // Skips leading garbage up to the scheme, drops trailing '|' and blanks; a result
    // shorter than two characters is empty.
    static std::string TrimTracker(std::string_view url);
    // One element of a path inside a download (GBK): not empty, not "." or "..", no 0
    // byte and no '/' or '\\' other than the second byte of a two-byte character.
    static bool IsPlainName(std::string_view name);

    // The code page the torrent's texts were read in; 0 for the program's own.
    int32_t CodePage() const { return codePage_; }
    const std::string& Announce() const { return announce_; }
    const std::string& Publisher() const { return publisher_; }
    const std::string& PublisherUrl() const { return publisherUrl_; }
    const std::string& Comment() const { return comment_; }
    int64_t CreationDate() const { return creationDate_; }
    const InfoHash& GetInfoHash() const { return infoHash_; }
    const std::string& InfoHashEscaped() const { return infoHashEscaped_; }
    const std::string& InfoHashHex() const { return infoHashHex_; }
    const std::vector<std::string>& Trackers() const { return trackers_; }
    const std::string& TorrentData() const { return torrentData_; }
    const std::string& Source() const { return source_; }
    const TFileLayout& FileSet() const { return fileSet_; }
    // Hands the layout over to the piece map; the torrent keeps an empty one.
    TFileLayout TakeFileSet() { return std::exchange(fileSet_, TFileLayout()); }

private:
    ~TTorrent() override = default;

    bool ParseTorrentData(const TTorrentTarget& target);
    bool LoadTemplate(const TTorrentTarget& target);
    void SetPhase(int phase) const;
    void AddTracker(const std::string& url);
    void WalkAnnounceList(const QElement& list, int depth);
    void SetInfoHash(const uint8_t* digest);

    int32_t preferredCodePage_ = 0;
    int32_t codePage_ = 0;
    std::string announce_;
    std::string publisher_;
    std::string publisherUrl_;
    std::string comment_;
    int64_t creationDate_ = 0;
    InfoHash infoHash_{};
    std::string infoHashEscaped_;
    std::string infoHashHex_;
    std::vector<std::string> trackers_;
    std::unordered_set<std::string> knownTrackers_; // the same, for the duplicate test
    std::string torrentData_;
    std::string source_;
    TFileLayout fileSet_;
    std::function<void(int)> phaseCallback_;
};
