#include "platform/FixedDisks.h"

#include "platform/Disk.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <fstream>
#include <pwd.h>
#include <sstream>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

// Kernel-made trees, memory-backed file systems and read-only image formats: nothing
// here is a disk a download should land on.
constexpr std::array<std::string_view, 26> kPseudoTypes = {
    "proc",    "sysfs",      "tmpfs",    "devtmpfs",    "devpts", "ramfs",    "cgroup",
    "cgroup2", "securityfs", "debugfs",  "tracefs",     "pstore", "bpf",      "configfs",
    "fusectl", "hugetlbfs",  "mqueue",   "binfmt_misc", "autofs", "efivarfs", "rpc_pipefs",
    "nsfs",    "overlay",    "squashfs", "iso9660",     "udf"};

// Shares of other machines (or of a virtual machine's host).
constexpr std::array<std::string_view, 11> kNetworkTypes = {
    "nfs", "nfs4", "cifs", "smb3", "smbfs", "ncpfs", "afs", "ceph", "glusterfs", "9p", "virtiofs"};

// Real file systems whose source is not a device path (a ZFS data set, a btrfs
// subvolume by name).
constexpr std::array<std::string_view, 17> kDiskTypes = {
    "ext2",     "ext3",   "ext4", "xfs",   "btrfs", "zfs",   "f2fs",    "jfs",    "reiserfs",
    "bcachefs", "nilfs2", "vfat", "exfat", "ntfs",  "ntfs3", "fuseblk", "hfsplus"};

template <size_t N> bool Listed(const std::array<std::string_view, N>& list, std::string_view type) {
    return std::find(list.begin(), list.end(), type) != list.end();
}

bool IsOctal(char c) {
    return c >= '0' && c <= '7';
}

// The mount table writes blanks, tabs, line feeds and backslashes in its fields as
// three-digit octal escapes.
std::string Unescape(std::string_view field) {
    std::string out;
    out.reserve(field.size());
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && IsOctal(field[i + 1]) && IsOctal(field[i + 2]) &&
            IsOctal(field[i + 3])) {
            const int value = (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
            if (value <= 0xff) {
                out.push_back(static_cast<char>(value));
                i += 3;
                continue;
            }
        }
        out.push_back(field[i]);
    }
    return out;
}

bool ReadOnly(const std::string& options) {
    std::istringstream in(options);
    std::string option;
    while (std::getline(in, option, ','))
        if (option == "ro")
            return true;
    return false;
}

bool OnFixedDisk(const std::string& device, const std::string& type) {
    if (Listed(kPseudoTypes, type) || Listed(kNetworkTypes, type))
        return false;
    if (device.starts_with("/dev/"))
        return true;
    // FUSE file systems without a device behind them (sshfs, archive mounts, the
    // desktop's virtual folders) are not disks.
    return Listed(kDiskTypes, type);
}

std::string WithoutTrailingSeparator(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

// Bind mounts of single files (a container's /etc/hosts, say) are in the table too;
// only folders can hold a save folder.
bool WritableFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && ::access(path.c_str(), W_OK) == 0;
}

std::string HomeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home)
        return home;
    struct passwd pw {};
    struct passwd* found = nullptr;
    std::array<char, 4096> buf{};
    if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_dir)
        return found->pw_dir;
    return {};
}

} // namespace

std::vector<std::string> FixedDiskPlaces(const std::string& mountTable) {
    std::vector<std::string> places;
    auto add = [&places](std::string path) {
        path = WithoutTrailingSeparator(std::move(path));
        if (path.empty() || std::find(places.begin(), places.end(), path) != places.end())
            return;
        if (WritableFolder(path))
            places.push_back(std::move(path));
    };
    add(HomeFolder());

    std::ifstream in(mountTable);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string device, mountPoint, type, options;
        if (!(fields >> device >> mountPoint >> type >> options))
            continue;
        device = Unescape(device);
        if (ReadOnly(options) || !OnFixedDisk(device, Unescape(type)))
            continue;
        add(Unescape(mountPoint));
    }
    return places;
}

std::string LargestPlace(const std::vector<std::string>& places, const FreeBytesQuery& freeBytes) {
    std::string best;
    uint64_t bestBytes = 0;
    bool found = false;
    for (const std::string& place : places) {
        uint64_t bytes = 0;
        if (!freeBytes(place, bytes))
            continue;
        if (!found || bytes > bestBytes) {
            best = place;
            bestBytes = bytes;
            found = true;
        }
    }
    return best;
}

std::string LargestFixedDiskPlace(const std::string& mountTable) {
    return LargestPlace(FixedDiskPlaces(mountTable), FreeBytesForCaller);
}

} // namespace platform
