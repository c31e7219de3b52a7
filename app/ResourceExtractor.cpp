#include "app/ResourceExtractor.h"

#include "app/ControllerTexts.h"
#include "app/EmbeddedConfigBlock.h"
#include "app/FolderChain.h"
#include "engine/api/BrisklaneEngine.h"
#include "platform/Paths.h"
#include "platform/ResourceArchive.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace {

// The main log, at the level the release failures are written with.

bool WriteWhole(const std::string& path, const std::string& data) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    const char* p = data.data();
    size_t left = data.size();
    bool ok = true;
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    // A close that fails may have lost the data: the file is not what was released.
    return (::close(fd) == 0) && ok;
}

} // namespace

ResourceExtractor::ResourceExtractor() = default;

ResourceExtractor::ResourceExtractor(std::string programFile) : programFile_(std::move(programFile)) {}

int ResourceExtractor::ReleaseResource(int id, const std::string& folder, const std::string& fileName,
                                       const char* type, bool decode) {
    if (!platform::IsDirectory(folder))
        CreateFolderChain(folder);
    const std::string first = platform::JoinPath(folder, fileName);
    if (WriteOnce(id, first, type, decode))
        return 0;
    LogFormat(kLogResources, texts::kLogReleaseFirstFailed, first.c_str());
    const std::string second = platform::JoinPath(platform::TempFolder(), fileName);
    if (WriteOnce(id, second, type, decode))
        return 1;
    LogFormat(kLogResources, texts::kLogReleaseSecondFailed, second.c_str());
    return -1;
}

std::string ResourceExtractor::ReleasedPath(int result, const std::string& folder,
                                            const std::string& fileName) {
    if (result == 0)
        return platform::JoinPath(folder, fileName);
    if (result == 1)
        return platform::JoinPath(platform::TempFolder(), fileName);
    return {};
}

bool ResourceExtractor::WriteOnce(int id, const std::string& target, const char* type, bool decode) {
    platform::ResourceArchive own;
    const platform::ResourceArchive* archive = &own;
    if (programFile_.empty())
        archive = &platform::ProgramResources();
    else
        own.Load(programFile_);
    switch (archive->status()) {
    case platform::ResourceArchive::Status::NoFile:
        lastFailure_ = texts::kExtractNoModule;
        return false;
    case platform::ResourceArchive::Status::Damaged:
        lastFailure_ = texts::kExtractLoadFailed;
        return false;
    case platform::ResourceArchive::Status::Ok:
        break;
    }
    const platform::ResourceEntry* entry =
        type && id >= 0 ? archive->Find(type, static_cast<uint32_t>(id)) : nullptr;
    if (!entry) {
        lastFailure_ = texts::kExtractNotFound;
        return false;
    }
    std::string data = entry->data;
    if (decode) {
        // A text, so it ends at a NUL; not cut to a slot's length, though: a
        // configuration file longer than a slot must arrive whole. A malformed text
        // decodes to nothing, as a slot's would.
        embedded::EmbeddedConfigBlock::DecodeBase64(entry->data, data);
        data.resize(strnlen(data.c_str(), data.size()));
    }
    if (!WriteWhole(target, data)) {
        lastFailure_ = texts::kExtractCreateFailed;
        return false;
    }
    lastFailure_.clear();
    return true;
}
