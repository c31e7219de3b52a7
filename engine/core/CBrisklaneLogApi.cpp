#include "engine/core/CBrisklaneLogApi.h"

#include "platform/DebugOutput.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {
const char* const kSuffixes[CBrisklaneLogApi::kFileCount] = {
    ".log",           ".req.log",        ".dump.log",
    ".checktask.log", ".peerprefer.log", ".dataupload.log",
    ".httptrace.log", ".checkpeer.log",  ".written.log",
    ".sha1check.log", ".peerinfo.log"};

std::string LocalTime(const char* format) {
    char buf[64];
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    if (std::strftime(buf, sizeof buf, format, &tm) == 0)
        buf[0] = 0;
    return buf;
}

// "[time] [message]" + ending, cut so that the ending always survives in a
// kLineBuffer-byte line.
std::string BuildLine(const std::string& time, const char* message, const char* ending) {
    const size_t room = CBrisklaneLogApi::kLineBuffer - 1;
    std::string line = "[" + time + "] [";
    const size_t tail = 1 + std::strlen(ending);
    size_t take = std::strlen(message);
    if (line.size() + take + tail > room)
        take = room > line.size() + tail ? room - line.size() - tail : 0;
    line.append(message, take);
    line += "]";
    line += ending;
    return line;
}
} // namespace

CBrisklaneLogApi::CBrisklaneLogApi() {
    SetLevels(kInitialFileThreshold, kInitialDebugThreshold);
}

void CBrisklaneLogApi::SetLevels(int fileThreshold, int debugThreshold) {
    std::lock_guard<std::mutex> g(guard_);
    fileThreshold_ = fileThreshold;
    debugThreshold_ = debugThreshold;
}

void CBrisklaneLogApi::SetBasePath(const char* base) {
    std::lock_guard<std::mutex> g(guard_);
    for (int i = 0; i < kFileCount; ++i)
        paths_[i] = std::string(base ? base : "") + kSuffixes[i];
}

int CBrisklaneLogApi::FileIndexForCategory(int category) {
    switch (category) {
    case kLogRequest:
        return 1;
    case kLogSerious:
        return 2;
    case kLogCheckTask:
        return 3;
    case kLogPeerPrefer:
        return 4;
    case kLogStatisticsUpload:
        return 5;
    case kLogHttpTrace:
        return 6;
    case kLogCheckPeer:
        return 7;
    case kLogWritten:
        return 8;
    case kLogSha1Check:
        return 9;
    case kLogPeerInfo:
        return 10;
    default:
        return 0;
    }
}

std::string CBrisklaneLogApi::PathForCategory(int category) const {
    std::lock_guard<std::mutex> g(guard_);
    return paths_[FileIndexForCategory(category)];
}

void CBrisklaneLogApi::Write(const char* message, int category, int debugLevel) {
    if (!message)
        return;
    std::lock_guard<std::mutex> g(guard_);
    if (fileThreshold_ == kOff && debugThreshold_ == kOff)
        return;
    if (debugLevel < debugThreshold_ && category < fileThreshold_)
        return;
    const std::string line = BuildLine(LocalTime("%X"), message, "\n");
    if (debugLevel >= debugThreshold_)
        platform::DebugOutput(line);
    if (category >= fileThreshold_ && debugThreshold_ != kOff) {
        const std::string& path = paths_[FileIndexForCategory(category)];
        if (path.empty())
            return;
        // Opened per line, so the files may be moved or deleted while we run.
        if (FILE* f = std::fopen(path.c_str(), "a+")) {
            std::fwrite(line.data(), 1, line.size(), f);
            std::fclose(f);
        }
    }
}

void CBrisklaneLogApi::Printf(const char* format, ...) {
    if (!format)
        return;
    char text[kLineBuffer];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    std::lock_guard<std::mutex> g(guard_);
    platform::DebugOutput(BuildLine(LocalTime("%Y-%m-%d %X"), text, "\r\n"));
}
