#include "engine/piece/TFileStore.h"

#include "engine/core/EngineLocks.h"
#include "engine/core/QScopedLock.h"
#include "platform/Clock.h"
#include "platform/Disk.h"
#include "platform/Paths.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// Creates every missing folder above path.
void CreateFoldersFor(const std::string& path) {
    for (size_t i = 1; i < path.size(); ++i) {
        if (path[i] != platform::kPathSeparator)
            continue;
        const std::string prefix = path.substr(0, i);
        if (!platform::IsDirectory(prefix))
            platform::CreateFolder(prefix);
    }
}
} // namespace

TFileStore::TFileStore(TFileStoreHost* host) : host_(host), freeSpace_(&platform::FreeBytesForCaller) {}

TFileStore::~TFileStore() {
    CloseAll();
}

std::string TFileStore::SanitizePath(const std::string& path) {
    std::string out = path;
    for (char& c : out)
        if (c == '?' || c == '\r' || c == '\n')
            c = '_';
    return out;
}

void TFileStore::Build(const TFileLayout& layout, bool temporaryNaming) {
    CloseAll();
    items_.clear();
    total_ = layout.totalSize;
    pieceLength_ = layout.pieceLength;
    const int64_t perOpen = pieceLength_ > 0 ? (static_cast<int64_t>(pieceLength_) + 262143) / 262144 : 1;
    openLimit_ = static_cast<size_t>(128 / std::max<int64_t>(perOpen, 1) + 1);
    for (const TLayoutFile& f : layout.files) {
        Item item;
        item.path = SanitizePath(f.path);
        item.relativeName = f.relativeName;
        item.index = f.index;
        item.size = f.size;
        item.startOffset = f.startOffset;
        item.priority = f.priority;
        if (pieceLength_ > 0) {
            item.firstPiece = static_cast<int32_t>(f.startOffset / static_cast<uint64_t>(pieceLength_));
            const uint64_t end = f.size ? f.startOffset + f.size - 1 : f.startOffset;
            item.pieceSpan =
                static_cast<int32_t>(end / static_cast<uint64_t>(pieceLength_)) - item.firstPiece + 1;
        }
        const std::string temp = item.path + kTemporarySuffix;
        if (!item.path.empty() && !FileExists(item.path) && (temporaryNaming || FileExists(temp))) {
            item.finalPath = item.path;
            item.path = temp;
            item.temporaryName = true;
        }
        items_.push_back(std::move(item));
    }
}

size_t TFileStore::OpenCount() const {
    return static_cast<size_t>(
        std::count_if(items_.begin(), items_.end(), [](const Item& i) { return i.fd >= 0; }));
}

void TFileStore::CloseItem(Item& item) {
    if (item.fd >= 0)
        ::close(item.fd);
    item.fd = -1;
    item.writable = false;
    item.sized = false;
}

bool TFileStore::WaitForSpace(const Item& item, uint64_t needed) {
    uint64_t free = 0;
    if (!freeSpace_ || !freeSpace_(item.path, free) || free >= needed)
        return true;
    if (!diskFullSignalled_) {
        diskFullSignalled_ = true;
        if (host_)
            host_->OnFileEvent(1002);
    }
    // The disk lock is not held while we wait, so other tasks keep reading and writing.
    for (;;) {
        if (host_ && host_->StopRequested())
            return false;
        QTMutex& disk = DiskLock();
        int depth = 0;
        while (disk.Unlock())
            ++depth;
        platform::SleepMs(2000);
        while (depth-- > 0)
            disk.Lock();
        if (freeSpace_(item.path, free) && free >= needed)
            break;
    }
    diskFullSignalled_ = false;
    if (host_)
        host_->OnFileEvent(1003);
    return true;
}

bool TFileStore::GrowFile(Item& item, uint64_t target) {
    struct stat st {};
    if (::fstat(item.fd, &st) != 0) {
        if (host_)
            host_->OnFileEvent(1004);
        return false;
    }
    const uint64_t current = static_cast<uint64_t>(st.st_size);
    if (current >= target)
        return true;
    if (!WaitForSpace(item, target - current))
        return false;
    // Reserve the whole file now so it does not fragment while it fills and a full disk
    // shows at once; where the file system cannot reserve, a sparse end will do.
    if (::fallocate(item.fd, 0, 0, static_cast<off_t>(target)) != 0) {
        if (errno == ENOSPC) {
            if (host_)
                host_->OnFileEvent(1002);
            return false;
        }
        if (::ftruncate(item.fd, static_cast<off_t>(target)) != 0) {
            if (host_)
                host_->OnFileEvent(1004);
            return false;
        }
    }
    return true;
}

bool TFileStore::OpenForIO(Item& item, uint64_t offset, bool write) {
    if (offset > item.size)
        return false;
    if (write && item.fd >= 0 && !item.writable)
        CloseItem(item);
    if (item.fd < 0) {
        if (OpenCount() >= openLimit_)
            for (Item& other : items_)
                CloseItem(other);
        const bool readWrite = write || unfinished_;
        int flags = O_CLOEXEC | (readWrite ? (O_RDWR | O_CREAT) : O_RDONLY);
        int fd = ::open(item.path.c_str(), flags, 0644);
        if (fd < 0 && write) {
            CreateFoldersFor(item.path);
            fd = ::open(item.path.c_str(), flags, 0644);
        }
        if (fd < 0 && readWrite && !write)
            fd = ::open(item.path.c_str(), O_CLOEXEC | O_RDONLY);
        if (fd < 0)
            return false;
        item.fd = fd;
        item.writable = readWrite && (::fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDWR;
        (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    }
    if (item.sized)
        return true;
    if (write) {
        item.written = true;
        const uint64_t target = item.Excluded() ? offset : item.size;
        if (!GrowFile(item, target))
            return false;
        item.sized = target == item.size;
        if (item.sized)
            return true;
    }
    struct stat st {};
    if (::fstat(item.fd, &st) != 0) {
        if (host_)
            host_->OnFileEvent(1004);
        return false;
    }
    return static_cast<uint64_t>(st.st_size) >= offset;
}

bool TFileStore::ForEachPart(uint64_t offset, size_t length,
                             const std::function<bool(Item&, uint64_t inFile, size_t n, size_t done)>& part) {
    size_t done = 0;
    for (Item& item : items_) {
        if (done == length)
            break;
        const uint64_t end = item.startOffset + item.size;
        if (offset >= end || item.size == 0)
            continue;
        if (offset < item.startOffset)
            return false;
        const size_t n = static_cast<size_t>(std::min<uint64_t>(length - done, end - offset));
        if (!part(item, offset - item.startOffset, n, done))
            return false;
        offset += n;
        done += n;
    }
    return done == length;
}

bool TFileStore::Write(uint64_t offset, const uint8_t* data, size_t length) {
    QScopedLock disk(DiskLock());
    return ForEachPart(offset, length, [&](Item& item, uint64_t inFile, size_t n, size_t at) {
        if (!OpenForIO(item, inFile + n, true))
            return false;
        for (size_t done = 0; done < n;) {
            const ssize_t w =
                ::pwrite(item.fd, data + at + done, n - done, static_cast<off_t>(inFile + done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0) {
                if (host_)
                    host_->OnFileEvent(w < 0 && errno == ENOSPC ? 1002 : 1004);
                return false;
            }
            done += static_cast<size_t>(w);
        }
        return true;
    });
}

bool TFileStore::Read(uint64_t offset, uint8_t* out, size_t length) {
    QScopedLock disk(DiskLock());
    ++reads_;
    return ForEachPart(offset, length, [&](Item& item, uint64_t inFile, size_t n, size_t at) {
        if (!OpenForIO(item, inFile, false))
            return false;
        for (size_t done = 0; done < n;) {
            const ssize_t r = ::pread(item.fd, out + at + done, n - done, static_cast<off_t>(inFile + done));
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                return false;
            done += static_cast<size_t>(r);
        }
        return true;
    });
}

bool TFileStore::CloseAll() {
    QScopedLock disk(DiskLock());
    bool written = false;
    for (Item& item : items_) {
        if (item.fd >= 0 && item.writable)
            (void)::fdatasync(item.fd);
        written = written || item.written;
        item.written = false;
        CloseItem(item);
    }
    return written;
}

void TFileStore::RenameFinished(const std::function<bool(const Item&)>& complete) {
    QScopedLock disk(DiskLock());
    for (Item& item : items_) {
        if (!item.temporaryName || item.Excluded() || !complete(item))
            continue;
        CloseItem(item);
        if (!FileExists(item.path) && item.size == 0) {
            // An empty file is never written; create it so it exists under its name.
            const int fd = ::open(item.path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
            if (fd >= 0)
                ::close(fd);
        }
        if (::rename(item.path.c_str(), item.finalPath.c_str()) == 0) {
            item.path = item.finalPath;
            item.finalPath.clear();
            item.temporaryName = false;
        }
    }
}

bool TFileStore::AllFilesPresentWithFullSize() const {
    for (const Item& item : items_) {
        struct stat st {};
        if (::stat(item.path.c_str(), &st) != 0 || static_cast<uint64_t>(st.st_size) != item.size)
            return false;
    }
    return true;
}

int64_t TFileStore::AllocatedSize(const std::string& path) {
    uint64_t bytes = 0;
    platform::FileQuery q = platform::AllocatedBytes(path, bytes);
    if (q != platform::FileQuery::Ok)
        q = platform::AllocatedBytes(path + kTemporarySuffix, bytes);
    switch (q) {
    case platform::FileQuery::Ok:
        return static_cast<int64_t>(bytes);
    case platform::FileQuery::NotFound:
        return 0;
    default:
        return -1;
    }
}
