#pragma once
// The writable places on the machine's fixed disks, where a default save folder may
// go: the user's home folder and the mount points of real (block-device backed) file
// systems that this user may write to.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace platform {

// In the order found: the home folder first, then the mount table's order. Pseudo and
// network file systems, read-only mounts and places the user cannot write are left
// out. mountTable names the table to read (tests pass their own).
std::vector<std::string> FixedDiskPlaces(const std::string& mountTable = "/proc/self/mounts");

// The place with the most free space, the first of equals winning; "" when there is
// none.
std::string LargestFixedDiskPlace(const std::string& mountTable = "/proc/self/mounts");

// The choice itself, with the free-space query given (FreeBytesForCaller in the
// program). Places whose query fails are passed over.
using FreeBytesQuery = std::function<bool(const std::string& path, uint64_t& bytes)>;
std::string LargestPlace(const std::vector<std::string>& places, const FreeBytesQuery& freeBytes);

} // namespace platform
