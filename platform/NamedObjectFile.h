#pragma once
// A named object shared between the processes of one user: a small file in a private
// folder that counts as existing only while some live process holds it open. Every
// holder keeps a shared record lock on it; the kernel drops the locks of a process
// that ends in any way, so a crashed or killed holder never leaves a live-looking
// object behind. A stale file from such a process is reused as a fresh object.
//
// The locks are open-file-description locks, so two objects of one name in the same
// process behave like two processes (tests rely on this), and closing one descriptor
// of the file never drops the locks of another.
//
// Lock bytes: 0 is the gate that serialises opening and closing decisions, 1 is the
// presence lock every holder keeps, 2 and up are free for the object kinds built on
// this (kFirstFreeLockByte).
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace platform {

class NamedObjectFile {
public:
    enum class Mode {
        CreateOrOpen, // a fresh object is made when no live process holds one
        OpenExisting, // fails unless a live process holds the object
    };
    enum class Result { Created, Opened, Failed };
    // Runs once for a fresh object, before any other process can open it: makes the
    // file's content that of a new object. False makes the open fail.
    using Initialiser = std::function<bool(int fd)>;

    static constexpr off_t kFirstFreeLockByte = 2;

    NamedObjectFile() = default;
    ~NamedObjectFile();
    NamedObjectFile(const NamedObjectFile&) = delete;
    NamedObjectFile& operator=(const NamedObjectFile&) = delete;

    // folder empty: DefaultFolder(). The name must be a plain file name.
    Result Open(const std::string& folder, const std::string& name, Mode mode,
                const Initialiser& initialise = {});
    // Gives the object up; the last holder removes the file.
    void Close();

    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    dev_t device() const { return device_; }
    ino_t inode() const { return inode_; }
    const std::string& path() const { return path_; }

    // Where the objects of this user live: $XDG_RUNTIME_DIR/brisklane when
    // XDG_RUNTIME_DIR is an absolute folder, else <temp folder>/brisklane-<uid>.
    static std::string DefaultFolder();
    // Creates folder (mode 0700) when missing; true when it is a real folder owned by
    // this user that no other user may write to or look into.
    static bool PrepareFolder(const std::string& folder);
    static bool ValidName(std::string_view name);

    // One-byte record locks on fd, for the object kinds' own lock bytes. LockByte
    // waits up to timeoutMs for the lock; a lock this descriptor already holds is
    // granted again at once (or converted between shared and exclusive).
    static bool LockByte(int fd, off_t byte, bool exclusive, unsigned timeoutMs);
    static void UnlockByte(int fd, off_t byte);

private:
    int fd_ = -1;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    std::string path_;
};

} // namespace platform
