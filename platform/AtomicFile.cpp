#include "platform/AtomicFile.h"
#include "platform/WriteAll.h"

#include "platform/Paths.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace platform {

namespace {

bool SyncFolder(const std::string& folder) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

} // namespace

bool ReplaceFile(const std::string& path, std::string_view data, const struct stat* old) {
    static std::atomic<unsigned> counter{0};
    std::string folder = FolderOf(path);
    std::string syncFolder = folder.empty() ? "." : folder;
    // Shortened so that a long file name still leaves room for the suffix.
    std::string name = FileNameOf(path).substr(0, 160);
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        temp = folder + "." + name + ".tmp-" + std::to_string(::getpid()) + "-" +
               std::to_string(counter.fetch_add(1));
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            return false;
    }
    if (fd < 0)
        return false;
    if (old)
        (void)::fchmod(fd, old->st_mode & 07777);
    bool ok = WriteAll(fd, data) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (ok)
        ok = ::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    // The rename itself is durable only once the folder has reached the disk; the
    // file is in place either way, so a failure here is not a failed write.
    SyncFolder(syncFolder);
    return true;
}

} // namespace platform
