#pragma once
// File-system queries: free space, allocated sizes, file times, and what a volume
// can do.
#include <cstdint>
#include <string>

namespace platform {

// Bytes available to the calling user on the file system that holds path, or on
// that of its nearest existing ancestor when path does not exist yet. False when
// nothing along the chain can be queried.
bool FreeBytesForCaller(const std::string& path, uint64_t& bytes);

// The outcome of opening a file for an attribute query.
enum class FileQuery { Ok, NotFound, OtherError };

// Bytes the file occupies on disk (st_blocks * 512).
FileQuery AllocatedBytes(const std::string& path, uint64_t& bytes);

// 100-nanosecond intervals since 1601-01-01 UTC, as Windows FILETIME values count.
uint64_t UnixToFileTime(int64_t seconds, int64_t nanoseconds);
// The file's last modification time as a FILETIME value.
FileQuery ModificationFileTime(const std::string& path, uint64_t& fileTime);
// Sets the file's modification time from a FILETIME value.
bool SetModificationFileTime(const std::string& path, uint64_t fileTime);

// Whether files on the volume that holds path may have holes (allocated lazily).
bool VolumeSupportsSparseFiles(const std::string& path);
// Whether space can be reserved up front on that volume (fallocate works there).
bool VolumeSupportsReservation(const std::string& path);

} // namespace platform
