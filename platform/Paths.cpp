#include "platform/Paths.h"

#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

std::string EnvValue(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

std::string StripTrailingSeparators(std::string path) {
    while (path.size() > 1 && IsSeparator(path.back()))
        path.pop_back();
    return path;
}

std::string HomeFolder() {
    std::string home = EnvValue("HOME");
    if (!home.empty())
        return home;
    // No HOME (a service, a stripped environment): ask the password database.
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir)
        return found->pw_dir;
    return {};
}

} // namespace

// Only '/' separates: a backslash is an ordinary file-name byte here, and it is also
// the second byte of some GBK characters, which must never be split.
bool IsSeparator(char c) {
    return c == kPathSeparator;
}

bool EndsWithSeparator(std::string_view path) {
    return !path.empty() && IsSeparator(path.back());
}

std::string JoinPath(std::string_view a, std::string_view b) {
    if (a.empty())
        return std::string(b);
    while (!a.empty() && IsSeparator(a.back()))
        a.remove_suffix(1);
    while (!b.empty() && IsSeparator(b.front()))
        b.remove_prefix(1);
    std::string out;
    out.reserve(a.size() + 1 + b.size());
    out.append(a);
    out.push_back(kPathSeparator);
    out.append(b);
    return out;
}

std::string FolderOf(std::string_view path) {
    size_t pos = path.find_last_of(kPathSeparator);
    if (pos == std::string_view::npos)
        return {};
    return std::string(path.substr(0, pos + 1));
}

std::string FileNameOf(std::string_view path) {
    size_t pos = path.find_last_of(kPathSeparator);
    if (pos == std::string_view::npos)
        return std::string(path);
    return std::string(path.substr(pos + 1));
}

bool PathExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CreateFolder(const std::string& path) {
    if (path.empty())
        return false;
    if (::mkdir(path.c_str(), 0777) == 0)
        return true;
    return errno == EEXIST && IsDirectory(path);
}

bool RemoveFile(const std::string& path) {
    if (path.empty())
        return false;
    if (::unlink(path.c_str()) == 0)
        return true;
    // ENOTDIR: a leading component is a file, so nothing can exist at path.
    return errno == ENOENT || errno == ENOTDIR;
}

bool MakeExecutable(const std::string& path) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    // Each read bit brings its execute bit: u+r -> u+x, g+r -> g+x, o+r -> o+x.
    const mode_t wanted = st.st_mode | ((st.st_mode & (S_IRUSR | S_IRGRP | S_IROTH)) >> 2);
    if ((wanted & 07777) == (st.st_mode & 07777))
        return (st.st_mode & S_IXUSR) != 0;
    return ::chmod(path.c_str(), wanted & 07777) == 0 && (wanted & S_IXUSR) != 0;
}

std::string FindProgram(const std::string& name, std::string_view extraFolders) {
    const auto runnable = [](const std::string& path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
    };
    if (name.empty())
        return {};
    if (name.find(kPathSeparator) != std::string::npos)
        return runnable(name) ? name : std::string();
    const char* env = std::getenv("PATH");
    std::string folders = env && *env ? env : "/usr/local/bin:/usr/bin:/bin";
    if (!extraFolders.empty())
        folders.append(":").append(extraFolders);
    for (size_t start = 0;;) {
        const size_t end = folders.find(':', start);
        const std::string folder = folders.substr(start, end == std::string::npos ? end : end - start);
        const std::string candidate = JoinPath(folder.empty() ? "." : folder, name);
        if (runnable(candidate))
            return candidate;
        if (end == std::string::npos)
            return {};
        start = end + 1;
    }
}

std::string CommonAppDataFolder() {
    // A relative XDG_DATA_HOME is invalid and is to be ignored.
    std::string xdg = EnvValue("XDG_DATA_HOME");
    if (!xdg.empty() && IsSeparator(xdg.front()))
        return StripTrailingSeparators(xdg);
    std::string home = HomeFolder();
    if (home.empty())
        return {};
    return JoinPath(home, ".local/share");
}

std::string TempFolder() {
    std::string tmp = EnvValue("TMPDIR");
    if (tmp.empty())
        tmp = "/tmp";
    if (!EndsWithSeparator(tmp))
        tmp.push_back(kPathSeparator);
    return tmp;
}

std::string ProgramPath() {
    std::string buffer(256, '\0');
    for (;;) {
        ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0)
            return {};
        // readlink does not say when it cut the name: retry larger until it fits.
        if (static_cast<size_t>(n) < buffer.size()) {
            buffer.resize(static_cast<size_t>(n));
            return buffer;
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::string ProgramFolder() {
    return FolderOf(ProgramPath());
}

} // namespace platform
