#include "platform/Disk.h"

#include "platform/Paths.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr int64_t kTicksPerSecond = 10000000;
// Seconds from 1601-01-01 to 1970-01-01.
constexpr int64_t kSecondsBefore1970 = 11644473600;

// The folder that holds path, or "" when path is a root or has no parent to try.
std::string ParentOf(std::string path) {
    while (path.size() > 1 && IsSeparator(path.back()))
        path.pop_back();
    if (path == "/" || path == "." || path.empty())
        return {};
    size_t pos = path.find_last_of(kPathSeparator);
    if (pos == std::string::npos)
        return ".";
    if (pos == 0)
        return "/";
    return path.substr(0, pos);
}

bool Missing(int err) {
    return err == ENOENT || err == ENOTDIR;
}

// The nearest existing folder at or above path: path itself when it is a folder,
// the folder of a file, the first existing ancestor of a path not yet created.
std::string ExistingFolderFor(const std::string& path) {
    std::string at = path;
    while (!at.empty()) {
        struct stat st {};
        if (::stat(at.c_str(), &st) == 0)
            return S_ISDIR(st.st_mode) ? at : ParentOf(at);
        if (!Missing(errno))
            return {};
        at = ParentOf(at);
    }
    return {};
}

// An anonymous scratch file in folder: unlinked as soon as it is open, so that it
// cannot be left behind whatever happens to the process. -1 when none can be made.
int OpenProbeFile(const std::string& folder) {
    static std::atomic<unsigned> counter{0};
    int fd = -1;
#ifdef O_TMPFILE
    fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0)
        return fd;
#endif
    // O_TMPFILE is missing on some file systems: fall back to a named file.
    for (int attempt = 0; attempt < 16; ++attempt) {
        std::string name = JoinPath(folder, ".brisklane-probe-" + std::to_string(::getpid()) + "-" +
                                                std::to_string(counter.fetch_add(1)));
        fd = ::open(name.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600);
        if (fd >= 0) {
            ::unlink(name.c_str());
            return fd;
        }
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}

// Used only when no probe file can be made: file systems known to keep holes.
bool KnownSparseType(const std::string& folder) {
    struct statfs fs {};
    if (::statfs(folder.c_str(), &fs) != 0)
        return false;
    switch (static_cast<unsigned long>(fs.f_type)) {
    case 0xEF53UL:     // ext2, ext3, ext4
    case 0x58465342UL: // xfs
    case 0x9123683EUL: // btrfs
    case 0x01021994UL: // tmpfs
    case 0xF2F52010UL: // f2fs
    case 0x2FC12FC1UL: // zfs
    case 0x6969UL:     // nfs
    case 0x7366746EUL: // ntfs3
    case 0x52654973UL: // reiserfs
    case 0x3153464AUL: // jfs
        return true;
    default:
        return false;
    }
}

} // namespace

bool FreeBytesForCaller(const std::string& path, uint64_t& bytes) {
    std::string at = path;
    while (!at.empty()) {
        struct statvfs vfs {};
        if (::statvfs(at.c_str(), &vfs) == 0) {
            bytes = static_cast<uint64_t>(vfs.f_bavail) * static_cast<uint64_t>(vfs.f_frsize);
            return true;
        }
        // Only a path that is not there yet moves the question up; any other error
        // (no access, say) may hide a different file system, so no guess is made.
        if (!Missing(errno))
            return false;
        at = ParentOf(at);
    }
    return false;
}

FileQuery AllocatedBytes(const std::string& path, uint64_t& bytes) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return Missing(errno) ? FileQuery::NotFound : FileQuery::OtherError;
    bytes = static_cast<uint64_t>(st.st_blocks) * 512u;
    return FileQuery::Ok;
}

uint64_t UnixToFileTime(int64_t seconds, int64_t nanoseconds) {
    // Clamp first so that folding the nanoseconds in cannot overflow.
    constexpr int64_t kFar = INT64_C(1) << 50;
    if (seconds > kFar)
        seconds = kFar;
    if (seconds < -kFar)
        seconds = -kFar;
    seconds += nanoseconds / 1000000000;
    nanoseconds %= 1000000000;
    if (nanoseconds < 0) {
        nanoseconds += 1000000000;
        --seconds;
    }
    // FILETIME cannot express times before 1601 or after the year 60056.
    if (seconds < -kSecondsBefore1970)
        return 0;
    const uint64_t whole = static_cast<uint64_t>(seconds + kSecondsBefore1970);
    const uint64_t fraction = static_cast<uint64_t>(nanoseconds / 100);
    if (whole > UINT64_MAX / kTicksPerSecond)
        return UINT64_MAX;
    const uint64_t base = whole * static_cast<uint64_t>(kTicksPerSecond);
    return base > UINT64_MAX - fraction ? UINT64_MAX : base + fraction;
}

void FileTimeToUnix(uint64_t fileTime, int64_t& seconds, int64_t& nanoseconds) {
    seconds = static_cast<int64_t>(fileTime / kTicksPerSecond) - kSecondsBefore1970;
    nanoseconds = static_cast<int64_t>(fileTime % kTicksPerSecond) * 100;
}

FileQuery ModificationFileTime(const std::string& path, uint64_t& fileTime) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return Missing(errno) ? FileQuery::NotFound : FileQuery::OtherError;
    fileTime = UnixToFileTime(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
    return FileQuery::Ok;
}

bool SetModificationFileTime(const std::string& path, uint64_t fileTime) {
    int64_t seconds = 0;
    int64_t nanoseconds = 0;
    FileTimeToUnix(fileTime, seconds, nanoseconds);
    timespec times[2] = {};
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(seconds);
    times[1].tv_nsec = static_cast<long>(nanoseconds);
    return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

// Decided by trying: a byte written far into an empty scratch file must not make the
// file occupy the distance before it. The distance is large enough that a big
// allocation unit (a 2 MiB huge page on tmpfs) does not pass for a filled gap. The
// answer does not wait for write-back: the common file systems count delayed
// allocations in st_blocks, and those that fill gaps (FAT, exFAT) allocate at once.
bool VolumeSupportsSparseFiles(const std::string& path) {
    std::string folder = ExistingFolderFor(path);
    if (folder.empty())
        return false;
    int fd = OpenProbeFile(folder);
    if (fd < 0)
        return KnownSparseType(folder);
    constexpr off_t kDistance = 8 << 20;
    bool sparse = false;
    struct stat st {};
    if (::pwrite(fd, "x", 1, kDistance) == 1 && ::fstat(fd, &st) == 0)
        sparse = static_cast<uint64_t>(st.st_blocks) * 512u < static_cast<uint64_t>(kDistance) / 2;
    else
        sparse = KnownSparseType(folder);
    ::close(fd);
    return sparse;
}

bool VolumeSupportsReservation(const std::string& path) {
    std::string folder = ExistingFolderFor(path);
    if (folder.empty())
        return false;
    int fd = OpenProbeFile(folder);
    if (fd < 0)
        return false;
    // fallocate, not posix_fallocate: the latter quietly writes zeros where the file
    // system cannot reserve, which is exactly what must be told apart.
    bool ok = ::fallocate(fd, 0, 0, 64 * 1024) == 0;
    ::close(fd);
    return ok;
}

} // namespace platform
