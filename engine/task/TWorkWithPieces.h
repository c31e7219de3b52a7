#pragma once
#include "engine/piece/TPieceRanges.h"
#include "engine/piece/TPieceWork.h"
#include "engine/piece/TPieces.h"
#include "engine/piece/TResumeInfo.h"
#include "engine/piece/TTorrent.h"
#include "engine/task/TActiveTorrents.h"
#include "engine/task/TWorkWithPeers.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The task layer that owns the file set, the piece map and the torrent metadata.
class TWorkWithPieces : public TWorkWithPeers, public TPiecesHost {
public:
    TWorkWithPieces();
    ~TWorkWithPieces() override;

    // The file set is known (from metadata, or from the first source's size).
    virtual bool HasMetadata() const { return pieces_ && pieces_->Usable(); }
    int GetFileCount() const;
    int64_t GetFileSize(int index) const;
    // kind 1: relative name, 2: display name, 3: full path on disk.
    int GetFileName(int index, int kind, std::string& out) const;

    // The piece bitfield, most significant bit first; the caller holds the object lock.
    const std::vector<uint8_t>& Bitfield() const;
    TPieces* Pieces() const { return pieces_.get(); }
    TTorrent* Torrent() const { return torrent_.get(); }

    // The torrent's info hash; all zeros while unknown.
    const InfoHash& GetInfoHash() const { return infoHash_; }
    // True when received starts with a BitTorrent handshake for this task's torrent;
    // never while the info hash is unknown.
    bool MatchHandshake(const uint8_t* received, size_t length) const override;
    bool RegisterActiveTorrent() { return TActiveTorrents::Register(this, infoHash_); }
    void UnregisterActiveTorrent() { TActiveTorrents::Unregister(this); }

    // A plain task learns its size from its first source: gives it a single-file
    // layout without piece hashes. False when the task already has a layout or the
    // size is 0.
    bool CommitPlainLayout(uint64_t size, const std::string& name);
    // The piece length given to a plain download of this size.
    static int32_t PlainPieceLength(uint64_t size);

    // TPiecesHost
    void OnPieceVerified(int piece) override;
    void OnPieceLost(int piece) override;
    void OnProgress(uint64_t doneBytes, uint64_t totalBytes) override;
    void OnPublishRequest() override;
    void OnLayoutCommitted(int pieceCount, const std::string& name) override;
    void OnRecord(int code, const std::string& record) override;
    void OnCorruptPiece(int piece, TPieceSource* source) override;
    void OnFileEvent(int code) override;
    bool StopRequested() override { return QThread::StopRequested(); }
    uint64_t Now() override;

protected:
    // Reads the bencoded torrent a file:// identifier names into torrentData_.
    bool ReadTorrentFile(const std::string& fileUrl);
    // Builds the file set from the torrent data (or the P2SP template).
    virtual bool LoadMetadata();
    virtual void ReloadMetadata();
    // Reads the resume records; the piece map is brought up to date from them when its
    // layout is committed.
    virtual void ReadResumeInformation();
    virtual void WriteResumeInformation();
    void DeleteResumeInformation();
    // Stores buffered data, closes the files and renames what is complete.
    virtual void FlushAndCloseFiles();
    // The piece cache pass between ticks.
    void StoreBufferedData();
    // The periodic piece-availability and buffer housekeeping.
    virtual void PieceHousekeeping() {}
    void ResetPieces(bool release, bool full);
    // Removes the download's files and every companion of the first one.
    void DeleteDownloadFiles();
    bool CommitLayout(const TFileLayout& layout, TPieces* previous);
    bool HasLayout() override { return HasMetadata(); }
    bool HasAllPiecesNow() override {
        return pieces_ && pieces_->Usable() && pieces_->PiecesDone() >= pieces_->PieceCount();
    }

    bool metadataChanged_ = false;
    std::string torrentData_;
    InfoHash infoHash_{};
    TRef<TPieces> pieces_;
    TRef<TTorrent> torrent_;
    TResumeInfo resume_;
    // The work distribution over the current piece map; replaced with it.
    std::unique_ptr<TPieceRanges> ranges_;
    std::unique_ptr<TPieceWork> work_;
};
