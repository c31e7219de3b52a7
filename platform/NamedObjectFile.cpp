#include "platform/NamedObjectFile.h"

#include "platform/Clock.h"
#include "platform/Paths.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr off_t kGateByte = 0;
constexpr off_t kPresenceByte = 1;
// The gate is held only for a few system calls; a holder stuck longer than this is
// stopped or hung, and the object is then not to be had.
constexpr unsigned kGateWaitMs = 2000;

bool SetLock(int fd, short type, off_t byte) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = byte;
    fl.l_len = 1;
    fl.l_pid = 0;
    int rc;
    do {
        rc = ::fcntl(fd, F_OFD_SETLK, &fl);
    } while (rc < 0 && errno == EINTR);
    return rc == 0;
}

// Whether path still names the file open on fd: a closing last holder unlinks the
// file under the gate, and whoever opened the old file before that must start over.
bool StillNamed(int fd, const std::string& path) {
    struct stat open {};
    struct stat named {};
    if (::fstat(fd, &open) != 0 || open.st_nlink == 0)
        return false;
    if (::lstat(path.c_str(), &named) != 0)
        return false;
    return open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

int OpenFile(const std::string& path, bool create) {
    const int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | (create ? O_CREAT : 0);
    int fd;
    do {
        fd = ::open(path.c_str(), flags, 0600);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

} // namespace

bool NamedObjectFile::LockByte(int fd, off_t byte, bool exclusive, unsigned timeoutMs) {
    const short type = exclusive ? F_WRLCK : F_RDLCK;
    if (SetLock(fd, type, byte))
        return true;
    const uint64_t deadline = TickCount64() + timeoutMs;
    uint32_t pause = 1;
    for (;;) {
        const uint64_t now = TickCount64();
        if (now >= deadline)
            return false;
        SleepMs(static_cast<uint32_t>(std::min<uint64_t>(pause, deadline - now)));
        if (SetLock(fd, type, byte))
            return true;
        pause = std::min<uint32_t>(pause * 2, 10);
    }
}

void NamedObjectFile::UnlockByte(int fd, off_t byte) {
    SetLock(fd, F_UNLCK, byte);
}

NamedObjectFile::~NamedObjectFile() {
    Close();
}

NamedObjectFile::Result NamedObjectFile::Open(const std::string& folder, const std::string& name, Mode mode,
                                              const Initialiser& initialise) {
    Close();
    if (!ValidName(name))
        return Result::Failed;
    const std::string where = folder.empty() ? DefaultFolder() : folder;
    if (where.empty() || !PrepareFolder(where))
        return Result::Failed;
    const std::string path = JoinPath(where, name);
    // Each round that finds the file unlinked under it starts over; a handful is far
    // more than the number of holders that can leave meanwhile.
    for (int round = 0; round < 16; ++round) {
        const int fd = OpenFile(path, mode == Mode::CreateOrOpen);
        if (fd < 0)
            return Result::Failed;
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
            !LockByte(fd, kGateByte, true, kGateWaitMs)) {
            ::close(fd);
            return Result::Failed;
        }
        if (!StillNamed(fd, path)) {
            ::close(fd);
            continue;
        }
        Result result;
        if (SetLock(fd, F_WRLCK, kPresenceByte)) {
            // Nobody holds the object: whatever the file holds is left from holders
            // that are gone.
            if (mode == Mode::OpenExisting) {
                ::unlink(path.c_str());
                ::close(fd);
                return Result::Failed;
            }
            if (initialise && !initialise(fd)) {
                ::close(fd);
                return Result::Failed;
            }
            SetLock(fd, F_RDLCK, kPresenceByte); // an atomic downgrade
            result = Result::Created;
        } else if (SetLock(fd, F_RDLCK, kPresenceByte)) {
            // Exclusive presence is only ever held under the gate, which is ours.
            result = Result::Opened;
        } else {
            ::close(fd);
            return Result::Failed;
        }
        UnlockByte(fd, kGateByte);
        fd_ = fd;
        device_ = st.st_dev;
        inode_ = st.st_ino;
        path_ = path;
        return result;
    }
    return Result::Failed;
}

void NamedObjectFile::Close() {
    if (fd_ < 0)
        return;
    // The last holder removes the name; when the gate cannot be had the file stays and
    // the next opener reuses it as a fresh object.
    if (LockByte(fd_, kGateByte, true, kGateWaitMs) && SetLock(fd_, F_WRLCK, kPresenceByte) &&
        StillNamed(fd_, path_))
        ::unlink(path_.c_str());
    ::close(fd_); // drops every lock of this descriptor
    fd_ = -1;
    device_ = 0;
    inode_ = 0;
    path_.clear();
}

std::string NamedObjectFile::DefaultFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && IsSeparator(runtime[0]) && IsDirectory(runtime))
        return JoinPath(runtime, "brisklane");
    return TempFolder() + "brisklane-" + std::to_string(::geteuid());
}

bool NamedObjectFile::PrepareFolder(const std::string& folder) {
    if (folder.empty())
        return false;
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
        return false;
    if ((st.st_mode & 077) != 0 && ::chmod(folder.c_str(), 0700) != 0)
        return false;
    return true;
}

bool NamedObjectFile::ValidName(std::string_view name) {
    if (name.empty() || name.size() > 200 || name == "." || name == "..")
        return false;
    return name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

} // namespace platform
