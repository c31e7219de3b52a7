#pragma once
// Path helpers and the special folders the program uses. Paths are file-system
// bytes, handed to the system unchanged; only '/' separates.
#include <string>
#include <string_view>

namespace platform {

constexpr char kPathSeparator = '/';

bool IsSeparator(char c);
bool EndsWithSeparator(std::string_view path);
// a + separator + b, with exactly one separator between them; an empty a gives b.
std::string JoinPath(std::string_view a, std::string_view b);
// Everything up to and including the last separator; "" when there is none.
std::string FolderOf(std::string_view path);
// Everything after the last separator.
std::string FileNameOf(std::string_view path);

bool PathExists(const std::string& path);
bool IsDirectory(const std::string& path);
// Creates one folder level; true when it exists afterwards.
bool CreateFolder(const std::string& path);
// Removes a file; true when it is gone afterwards (also when it never existed).
bool RemoveFile(const std::string& path);
// Lets everyone who may read the regular file run it too (a program that arrived by
// download has no execute bit). True when it is runnable by its owner afterwards.
bool MakeExecutable(const std::string& path);
// The executable regular file name names: name itself when it holds a separator,
// else the first one in the folders of $PATH (/usr/local/bin:/usr/bin:/bin when
// unset) and then of extraFolders (':'-separated). "" when there is none.
std::string FindProgram(const std::string& name, std::string_view extraFolders = {});

// The common application data folder: $XDG_DATA_HOME, else $HOME/.local/share.
// Not created here. No trailing separator.
std::string CommonAppDataFolder();
// The temporary folder: $TMPDIR, else /tmp; always ends with a separator.
std::string TempFolder();
// The folder of the running program's executable, with a trailing separator.
std::string ProgramFolder();
// The full path of the running program's executable.
std::string ProgramPath();

} // namespace platform
