#pragma once
#include "engine/core/TRefObject.h"
#include "engine/piece/InfoHash.h"
#include "engine/piece/TFileLayout.h"
#include "engine/piece/TFileStore.h"
#include "engine/piece/TPiece.h"
#include "engine/piece/TPieceQuery.h"

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

// What the piece map reports to its task and asks of it.
class TPiecesHost : public TFileStoreHost {
public:
    virtual void OnPieceVerified(int piece) = 0;
    // A verified piece had to be given up again (its data could not be stored).
    virtual void OnPieceLost(int piece) = 0;
    virtual void OnProgress(uint64_t doneBytes, uint64_t totalBytes) = 0;
    virtual void OnPublishRequest() = 0;
    virtual void OnLayoutCommitted(int pieceCount, const std::string& name) = 0;
    // 1000 with the file-selection record, 1001 with the piece-state record.
    virtual void OnRecord(int code, const std::string& record) = 0;
    virtual void OnCorruptPiece(int piece, TPieceSource* source) = 0;
    // Wall-clock seconds.
    virtual uint64_t Now() = 0;
};

// The piece map of one download and the files it lands in. Every source delivers
// 16 KiB blocks here; a piece is verified by SHA-1 in memory, so it is never read
// back from disk to be checked, and written in contiguous runs.
class TPieces : public TRefObject, public TPieceQuery {
public:
    static constexpr int kCorruptPiece = -99;
    static constexpr int32_t kStoreRun = 131072;

    struct Options {
        uint64_t cacheBudget = 64 * 262144;
        bool quickCheck = false;
        std::string partialPiecePath; // empty: no partial-piece file
        bool temporaryNaming = true;
    };

    explicit TPieces(TPiecesHost* host);
    ~TPieces() override;

    // Builds the pieces and files of a layout. False, leaving the map unusable, when
    // the layout is inconsistent (piece count, lengths, hashes).
    bool CommitLayout(const TFileLayout& layout, const InfoHash& infoHash, const Options& options);
    bool Usable() const { return pieceCount_ > 0; }

    int32_t PieceCount() const override { return pieceCount_; }
    int32_t PieceLength() const override { return pieceLength_; }
    uint64_t TotalSize() const { return total_; }
    uint64_t DoneBytes() const { return doneBytes_; }
    int32_t PiecesDone() const override { return piecesDone_; }
    bool HasHashes() const { return !hashes_.empty(); }
    const std::string& Name() const { return name_; }
    const std::vector<uint8_t>& Bitfield() const { return bitfield_; }
    const TPiece* Piece(int i) const { return ValidPiece(i) ? &pieces_[static_cast<size_t>(i)] : nullptr; }

    bool HasPiece(int i) const;
    bool PieceNeeded(int i) const override;
    // Drops the buffered data of an unverified piece (its stored prefix stays).
    void DiscardBuffered(int i) override;
    // Size of piece i and its first missing offset; false for a bad index.
    bool PieceInfo(int i, int32_t& size, int32_t& firstMissing) const;
    bool HasBlock(uint32_t block) const;
    int32_t BlockLength(uint32_t block) const;

    // Stores a received block: the accepted length (0 when not needed), kCorruptPiece
    // when the block completed its piece and the piece failed its check.
    int WriteBlock(uint32_t block, const uint8_t* data, int32_t length, TPieceSource* source,
                   bool& completed);
    // Reads data of a present piece, from memory or the files; the bytes read or -1.
    int ReadBlock(int piece, int32_t offset, int32_t length, uint8_t* out);

    // The piece cache pass run between ticks: stores long enough runs of unverified
    // pieces and, above the memory budget, whole verified pieces, oldest first.
    void StoreBufferedData(bool rebuilding = false);
    size_t MemoryHeld() const;

    // Brings the map up to date after the layout was committed: from a previous map,
    // the quick check, the piece-state record or a full check of the files.
    void InitialCheck(TPieces* previous, const std::string& pieceStateRecord);
    bool LoadPieceStateRecord(const std::string& record);
    std::string BuildPieceStateRecord();
    std::string BuildFileSelectionRecord() const;
    bool WritePartialData();
    bool ReadPartialData();
    // Stores verified data, closes the files; when finishing renames complete files and
    // drops the partial-piece file; hands the piece-state record to the host.
    void CloseFiles(bool persist, bool finishing);
    bool FullCheck();

    TFileStore& Files() { return files_; }
    // Reads download bytes whatever the piece state, for carrying data over to a new map.
    bool ReadRange(uint64_t offset, uint8_t* out, size_t length);

private:
    bool ValidPiece(int i) const { return i >= 0 && i < pieceCount_; }
    bool Verify(TPiece& p);
    void MarkVerified(TPiece& p);
    void ResetPiece(TPiece& p);
    bool StoreVerified(TPiece& p);
    bool StoreRun(TPiece& p, int32_t end);
    void SetBit(int i, bool on);
    int32_t PieceSize(int i) const;
    uint64_t PieceOffset(int i) const {
        return static_cast<uint64_t>(i) * static_cast<uint64_t>(pieceLength_);
    }
    void ApplyPieceDone(TPiece& p);
    bool VerifyFromDisk(int i, const uint8_t* data);
    void QuickCheck(bool& done);
    uint32_t PartialSeed(int piece) const;

    TPiecesHost* host_;
    TFileStore files_;
    Options options_;
    std::string name_;
    int32_t pieceLength_ = 0;
    int32_t pieceCount_ = 0;
    uint64_t total_ = 0;
    uint64_t doneBytes_ = 0;
    int32_t piecesDone_ = 0;
    std::string hashes_;
    InfoHash infoHash_{};
    std::vector<TPiece> pieces_;
    std::vector<uint8_t> bitfield_;
    // Pieces that hold buffered data, so the cache pass between ticks looks at those only.
    std::set<int32_t> buffered_;
};
