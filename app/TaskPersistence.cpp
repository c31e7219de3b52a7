#include "app/TaskPersistence.h"

#include "platform/Clock.h"
#include "platform/Disk.h"
#include "platform/Paths.h"
#include "platform/ProfileFile.h"

#include <cstdio>
#include <ctime>
#include <sys/stat.h>

namespace {

constexpr uint32_t kReadBuffer = 4096;
constexpr uint64_t kSizeSplit = 2147483648ull; // 2^31

std::string ReadValue(const char* section, const std::string& key, const std::string& path) {
    char buf[kReadBuffer];
    platform::GetProfileString(section, key.c_str(), "", buf, sizeof buf, path.c_str());
    return buf;
}

std::string FinishKey(int i, const char* part) {
    char key[64];
    std::snprintf(key, sizeof key, "BrisklaneTask%d%s", i, part);
    return key;
}

std::string Unsigned(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%lu", static_cast<unsigned long>(v));
    return buf;
}

} // namespace

bool TaskPersistence::Exists() const {
    return !path_.empty() && platform::PathExists(path_);
}

bool TaskPersistence::Remove() const {
    return path_.empty() || platform::RemoveFile(path_);
}

std::string TaskPersistence::Read(const std::string& key) const {
    return ReadValue(kTaskSection, key, path_);
}

int TaskPersistence::ReadInt(const std::string& key, int def) const {
    return platform::GetProfileInt(kTaskSection, key.c_str(), def, path_.c_str());
}

bool TaskPersistence::Write(const std::string& key, const std::string& value) const {
    return platform::WriteProfileString(kTaskSection, key.c_str(), value.c_str(), path_.c_str());
}

void TaskPersistence::WriteJobStart(const std::string& taskHash) const {
    char when[64] = "";
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local))
        std::strftime(when, sizeof when, "%Y-%m-%d %X", &local);
    platform::WriteProfileStrings(kTaskSection,
                                  {{"BrisklaneTaskHash", taskHash},
                                   {"BrisklaneTaskCreateTimeStamp", Unsigned(platform::TickCount())},
                                   {"BrisklaneTaskCreateTime", when}},
                                  path_.c_str());
}

bool TaskPersistence::IsJobComplete() const {
    return Read("BrisklaneTaskIsComplete") == "COMPLETE";
}

void TaskPersistence::MarkJobComplete() const {
    Write("BrisklaneTaskIsComplete", "COMPLETE");
}

void TaskPersistence::SaveDownloadedSize(uint64_t bytes) const {
    platform::WriteProfileStrings(kTaskSection,
                                  {{"BrisklaneTaskLastSizeHigh", std::to_string(bytes / kSizeSplit)},
                                   {"BrisklaneTaskLastSizeLow", std::to_string(bytes % kSizeSplit)}},
                                  path_.c_str());
}

int TaskPersistence::GetCloseSelection() const {
    if (!Exists())
        return -1;
    return ReadInt("BrisklaneCloseSelection", 0);
}

int TaskPersistence::SetCloseSelection(unsigned choice) const {
    if (path_.empty())
        return 0;
    Write("BrisklaneCloseSelection", std::to_string(choice));
    return 1;
}

uint64_t TaskPersistence::ToLocalFileTime(uint64_t utcFileTime) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (!localtime_r(&now, &local))
        return utcFileTime;
    const int64_t bias = static_cast<int64_t>(local.tm_gmtoff) * 10000000;
    if (bias < 0 && static_cast<uint64_t>(-bias) > utcFileTime)
        return 0;
    return utcFileTime + static_cast<uint64_t>(bias);
}

bool TaskPersistence::IdentifyFile(const std::string& file, FileIdentity& out) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0)
        return false;
    uint64_t fileTime = 0;
    if (platform::ModificationFileTime(file, fileTime) != platform::FileQuery::Ok)
        return false;
    const uint64_t local = ToLocalFileTime(fileTime);
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    out.writeTimeHigh = static_cast<uint32_t>(local >> 32);
    out.writeTimeLow = static_cast<uint32_t>(local);
    out.sizeHigh = static_cast<uint32_t>(size >> 32);
    out.sizeLow = static_cast<uint32_t>(size);
    return true;
}

bool TaskPersistence::RecordFinishedFile(int i, const std::string& file) const {
    FileIdentity id;
    if (!IdentifyFile(file, id))
        return false;
    return platform::WriteProfileStrings(kFinishSection,
                                         {{FinishKey(i, "WriteTimeHigh"), Unsigned(id.writeTimeHigh)},
                                          {FinishKey(i, "WriteTimeLow"), Unsigned(id.writeTimeLow)},
                                          {FinishKey(i, "FileSizeHigh"), Unsigned(id.sizeHigh)},
                                          {FinishKey(i, "FileSizeLow"), Unsigned(id.sizeLow)}},
                                         path_.c_str());
}

bool TaskPersistence::MatchesFinishRecord(int i, const std::string& file) const {
    FileIdentity id;
    if (!IdentifyFile(file, id))
        return false;
    const std::pair<const char*, uint32_t> parts[] = {{"WriteTimeHigh", id.writeTimeHigh},
                                                      {"WriteTimeLow", id.writeTimeLow},
                                                      {"FileSizeHigh", id.sizeHigh},
                                                      {"FileSizeLow", id.sizeLow}};
    for (const auto& [part, value] : parts) {
        if (ReadValue(kFinishSection, FinishKey(i, part), path_) != Unsigned(value))
            return false;
    }
    return true;
}
