#pragma once
// Replacing a file's whole content so that its name always refers to either the
// complete old or the complete new content, whatever happens meanwhile (a crash, a
// power cut, a full disk).
#include <string>
#include <string_view>
#include <sys/stat.h>

namespace platform {

// Writes data to a fresh hidden file beside path (same file system, so the rename is
// atomic), flushes it to the disk, renames it over path and flushes the folder. The
// old file's permission bits are kept when old is given. False, with path untouched,
// when any step before the rename fails. A crash may leave the hidden temporary file
// behind; it never has the file's name.
bool ReplaceFile(const std::string& path, std::string_view data, const struct stat* old = nullptr);

} // namespace platform
