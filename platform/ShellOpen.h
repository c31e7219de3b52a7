#pragma once
// Opening a file the way the desktop does: a program is started, anything else goes
// to the desktop's opener (xdg-open). The result uses the shell's numbering, which
// the controller's texts are keyed by: above 32 is success, 32 or less a failure.
#include <string>

namespace platform {

inline constexpr int kShellOpenSucceeded = 42;
inline constexpr int kShellFileNotFound = 2;
inline constexpr int kShellPathNotFound = 3;
inline constexpr int kShellAccessDenied = 5;
inline constexpr int kShellOutOfMemory = 8;
inline constexpr int kShellBadExecutable = 11;
inline constexpr int kShellSharingViolation = 26;
inline constexpr int kShellNoAssociation = 31;
// A failure the numbering has no value for.
inline constexpr int kShellOtherFailure = 1;

// Opens path (made absolute against the current folder) with workingDirectory as the
// started process's current folder; an empty workingDirectory keeps the current one.
//
// A regular file with an execute bit is started directly: detached in a session of
// its own, stdin from /dev/null, stdout and stderr shared with this process, signal
// dispositions and mask at their defaults, and never a child of this process (no
// zombie is left). Its start failures come back synchronously: no permission 5, not
// a runnable program or its interpreter missing 11, file open for writing 26.
//
// A regular file without an execute bit, or a folder, is handed to the opener; its
// exit status decides: 0 success, 2 file missing, 3 or 4 (tool missing, action
// failed) no association 31. An opener that cannot be started also gives 31. An
// opener still running after the handler wait (it may stay until the viewer closes)
// counts as success.
//
// Before anything is started: missing file 2, missing folder on the way (or a
// missing working directory) 3, no permission to reach or read the file 5. Anything
// that is neither a regular file nor a folder is not opened (kShellOtherFailure).
int ShellOpen(const std::string& path, const std::string& workingDirectory);

// The opener program, run as "<program> <absolute path>". Empty restores the
// default: $BRISKLANE_XDG_OPEN when set, else xdg-open found through PATH. A program
// name without '/' is looked up in PATH. Returns the setting it replaces.
std::string SetShellOpenHandler(std::string program);
// How long ShellOpen waits for the opener's exit (default 5000 ms). Returns the
// setting it replaces.
unsigned SetShellOpenHandlerWait(unsigned milliseconds);

} // namespace platform
