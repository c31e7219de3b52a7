#pragma once
#include "engine/task/TActiveTorrents.h"
#include "engine/task/TWorkWithPeers.h"

#include <cstdint>
#include <string>
#include <vector>

// The task layer that owns the file set, the piece map and the torrent metadata.
class TWorkWithPieces : public TWorkWithPeers {
public:
    TWorkWithPieces();
    ~TWorkWithPieces() override;

    // The file set is known (from metadata, or from the first source's size).
    virtual bool HasMetadata() const { return hasFileSet_; }
    int GetFileCount() const;
    int64_t GetFileSize(int index) const;
    // kind 1: relative name, 2: display name, 3: full path on disk.
    int GetFileName(int index, int kind, std::string& out) const;

    // The piece bitfield, most significant bit first; the caller holds the object lock.
    const std::vector<uint8_t>& Bitfield() const { return bitfield_; }

    // The torrent's info hash; all zeros while unknown.
    const InfoHash& GetInfoHash() const { return infoHash_; }
    // True when received starts with a BitTorrent handshake for this task's torrent.
    bool MatchHandshake(const uint8_t* received, size_t length) const;
    bool RegisterActiveTorrent() { return TActiveTorrents::Register(this, infoHash_); }
    void UnregisterActiveTorrent() { TActiveTorrents::Unregister(this); }

protected:
    // Reads the bencoded torrent a file:// identifier names into torrentData_.
    bool ReadTorrentFile(const std::string& fileUrl);
    // Builds the file set from torrentData_.
    virtual bool LoadMetadata() { return false; }
    virtual void ReloadMetadata() {}
    // Reads the resume records and brings the piece map up to date from them.
    virtual void ReadResumeInformation() {}
    virtual void WriteResumeInformation() {}
    void DeleteResumeInformation();
    // Writes buffered data and closes the files.
    virtual void FlushAndCloseFiles() {}
    // The periodic piece-availability and buffer housekeeping.
    virtual void PieceHousekeeping() {}
    void ResetPieces(bool release, bool full);
    // Removes the download's files and every companion of the first one.
    void DeleteDownloadFiles();

    bool hasFileSet_ = false;
    bool metadataChanged_ = false;
    std::string torrentData_;
    InfoHash infoHash_{};
    std::vector<uint8_t> bitfield_;
    struct FileItem {
        std::string relativeName;
        std::string fullPath;
        int64_t size = 0;
    };
    std::vector<FileItem> files_;
};
