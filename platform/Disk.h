#pragma once
// File-system queries: free space, allocated sizes, file times, and what a volume
// can do. Paths are handed to the system as they are (no encoding conversion).
#include <cstdint>
#include <string>

namespace platform {

// Bytes available to the calling user on the file system that holds path, or on
// that of its nearest existing ancestor when path does not exist yet. False when
// nothing along the chain exists, or when the query fails for another reason than
// a missing path (no access, say: the folder above may be another file system).
bool FreeBytesForCaller(const std::string& path, uint64_t& bytes);

// The outcome of opening a file for an attribute query.
enum class FileQuery { Ok, NotFound, OtherError };

// Bytes the file occupies on disk (st_blocks * 512). NotFound when the path or one
// of its folders does not exist; OtherError for anything else (no access, say).
FileQuery AllocatedBytes(const std::string& path, uint64_t& bytes);

// 100-nanosecond intervals since 1601-01-01 UTC, as Windows FILETIME values count.
// Times before 1601 give 0; times beyond the range give UINT64_MAX.
uint64_t UnixToFileTime(int64_t seconds, int64_t nanoseconds);
// The inverse: seconds since 1970 (negative before) and nanoseconds 0..999999999.
void FileTimeToUnix(uint64_t fileTime, int64_t& seconds, int64_t& nanoseconds);
// The file's last modification time as a FILETIME value.
FileQuery ModificationFileTime(const std::string& path, uint64_t& fileTime);
// Sets the file's modification time from a FILETIME value.
bool SetModificationFileTime(const std::string& path, uint64_t fileTime);

// Whether files on the volume that holds path may have holes (allocated lazily).
// path may be a folder, a file, or not exist yet (its nearest existing folder is
// asked). Decided by writing one byte far into an unnamed scratch file there and
// looking at what the file then occupies; when no scratch file can be made there,
// by the file-system type. False when nothing along path exists.
bool VolumeSupportsSparseFiles(const std::string& path);
// Whether space can be reserved up front on that volume: fallocate is tried on an
// unnamed scratch file there. Leaves no file behind.
bool VolumeSupportsReservation(const std::string& path);

} // namespace platform
