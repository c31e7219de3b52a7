#include "app/FolderChain.h"

#include "platform/Paths.h"

int CreateFolderChain(const std::string& path) {
    if (path.size() <= 1)
        return -2;
    const std::string full = platform::EndsWithSeparator(path) ? path : path + platform::kPathSeparator;
    int level = 0;
    for (size_t at = full.find(platform::kPathSeparator); at != std::string::npos;
         at = full.find(platform::kPathSeparator, at + 1)) {
        // The root, and the empty names between doubled separators, are no levels.
        if (at == 0 || platform::IsSeparator(full[at - 1]))
            continue;
        ++level;
        const std::string prefix = full.substr(0, at);
        if (!platform::IsDirectory(prefix) && !platform::CreateFolder(prefix))
            return -level;
    }
    return 0;
}
