#pragma once
#include "engine/piece/TFileLayout.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// What the file layer tells its owner and asks of it.
class TFileStoreHost {
public:
    virtual ~TFileStoreHost() = default;
    // 1002 disk full, 1003 space available again, 1004 a file cannot be sized or written.
    virtual void OnFileEvent(int code) = 0;
    virtual bool StopRequested() = 0;
};

// The files of one download: maps download offsets onto files, opens and grows them
// (preallocating on first write), keeps unfinished files under a temporary name and
// renames them when they are complete. Every read and write holds the process-wide
// disk lock.
class TFileStore {
public:
    struct Item {
        std::string path; // the temporary name while unfinished
        std::string relativeName;
        std::string finalPath; // set while the item carries its temporary name
        int32_t index = 0;
        uint64_t size = 0;
        uint64_t startOffset = 0;
        int32_t firstPiece = 0;
        int32_t pieceSpan = 0;
        int32_t priority = 0;
        bool temporaryName = false;
        int fd = -1;
        bool writable = false;
        bool written = false; // opened for writing since the last close
        bool sized = false;   // open and known to have its full size

        bool Excluded() const { return priority < -2; }
    };

    // Free bytes on the file system of a path; replaceable for tests.
    using FreeSpaceFn = std::function<bool(const std::string& path, uint64_t& bytes)>;

    static constexpr const char* kTemporarySuffix = ".qvtmp";

    explicit TFileStore(TFileStoreHost* host);
    ~TFileStore();
    TFileStore(const TFileStore&) = delete;
    TFileStore& operator=(const TFileStore&) = delete;

    void Build(const TFileLayout& layout, bool temporaryNaming);
    void SetFreeSpaceFunction(FreeSpaceFn fn) { freeSpace_ = std::move(fn); }
    void SetUnfinished(bool unfinished) { unfinished_ = unfinished; }

    std::vector<Item>& Items() { return items_; }
    const std::vector<Item>& Items() const { return items_; }
    uint64_t TotalSize() const { return total_; }

    // Reads or writes download bytes [offset, offset + length) across the files.
    // Write fails (false) on any short or failed write; Read fails on a short read.
    bool Write(uint64_t offset, const uint8_t* data, size_t length);
    bool Read(uint64_t offset, uint8_t* out, size_t length);

    // Closes every open file; true when one of them had been opened for writing.
    bool CloseAll();
    // Renames to its final name every temporary item for which complete(item) holds.
    void RenameFinished(const std::function<bool(const Item&)>& complete);

    // Whether every item exists on disk with exactly its size.
    bool AllFilesPresentWithFullSize() const;

    size_t OpenCount() const;
    size_t OpenLimit() const { return openLimit_; }

    // Reads made, for tests that prove what was not read again.
    uint64_t ReadCount() const { return reads_; }

    // Replaces '?', CR and LF by '_'.
    static std::string SanitizePath(const std::string& path);
    // Bytes allocated on disk for the file, or for its temporary name when only that
    // exists; 0 for a missing file, -1 when it exists but cannot be queried.
    static int64_t AllocatedSize(const std::string& path);

private:
    bool OpenForIO(Item& item, uint64_t offset, bool write);
    // Splits download bytes [offset, offset + length) over the items they lie in; part
    // gets the item, the offset in it, the byte count and how many bytes came before.
    bool ForEachPart(uint64_t offset, size_t length,
                     const std::function<bool(Item&, uint64_t inFile, size_t n, size_t done)>& part);
    bool GrowFile(Item& item, uint64_t target);
    bool WaitForSpace(const Item& item, uint64_t needed);
    void CloseItem(Item& item);

    TFileStoreHost* host_;
    std::vector<Item> items_;
    uint64_t total_ = 0;
    int32_t pieceLength_ = 0;
    size_t openLimit_ = 128;
    bool unfinished_ = true;
    bool diskFullSignalled_ = false;
    uint64_t reads_ = 0;
    FreeSpaceFn freeSpace_;
};
