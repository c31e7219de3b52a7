#include "engine/task/TBaseWork.h"

#include "engine/core/QScopedLock.h"
#include "engine/task/QTaskRegistry.h"
#include "platform/Paths.h"

#include <algorithm>
#include <cstring>

namespace {
std::string TrimControlAndBlanks(const std::string& s) {
    size_t b = 0, e = s.size();
    auto trimmed = [](char c) {
        const unsigned char u = static_cast<unsigned char>(c);
        return u >= 1 && u <= 32;
    };
    while (b < e && trimmed(s[b]))
        ++b;
    while (e > b && trimmed(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

std::string Bounded(const char* field) {
    return std::string(field, strnlen(field, kEnginePathSize));
}
} // namespace

TBaseWork::TBaseWork() {
    ResetStatusRecords();
    handle_ = QTaskRegistry::Add(this);
}

TBaseWork::~TBaseWork() {
    Stop();
    QTaskRegistry::Remove(this);
}

std::vector<std::string> TBaseWork::SplitLines(const char* text) {
    std::vector<std::string> lines;
    if (!text)
        return lines;
    std::string cur;
    for (const char* p = text; *p; ++p) {
        if (*p == '\r' || *p == '\n') {
            if (*p == '\r' && p[1] == '\n')
                ++p;
            if (!cur.empty())
                lines.push_back(cur);
            cur.clear();
        } else {
            cur += *p;
        }
    }
    if (!cur.empty())
        lines.push_back(cur);
    return lines;
}

void TBaseWork::AddSource(const std::string& url, int state) {
    sources_.push_back({url, state});
}

void TBaseWork::Configure(const TaskDescriptor& d) {
    QScopedLock guard(ObjectLock());
    for (const std::string& line : SplitLines(d.sources)) {
        std::string url = TrimControlAndBlanks(line);
        if (!url.empty())
            AddSource(url, SourceEntry::Unused);
    }
    resumeInfoPath_ = Bounded(d.resumeInfoPath);
    partialPiecePath_ = resumeInfoPath_.empty() ? std::string() : resumeInfoPath_ + "df";
    folder_ = Bounded(d.targetPath);
    isP2SP_ = (d.flags & kTaskFlagP2SP) != 0;
    isBT_ = !isP2SP_ && (d.flags & kTaskFlagBT) != 0;
    fullPath_ = (d.flags & kTaskFlagFullPath) != 0;
    settings_.quickCheck = (d.flags & kTaskFlagQuickCheck) ? 1 : 0;
    if (isP2SP_) {
        identifier_ = Bounded(d.resourceId);
        label_ = "P2SP Task";
    } else if (isBT_) {
        if (!sources_.empty()) {
            identifier_ = sources_.front().url;
            sources_.front().state = SourceEntry::UnusedTorrent;
        }
        label_ = "BT Task";
    } else {
        label_ = "HTTP Task";
    }
    if (fullPath_) {
        targetFile_ = folder_;
        const size_t cut = folder_.find_last_of(platform::kPathSeparator);
        if (cut != std::string::npos)
            folder_ = folder_.substr(0, cut + 1);
        // Until metadata names the download, show the file the task writes.
        live_.name = platform::FileNameOf(targetFile_);
        published_.name = live_.name;
    }
}

bool TBaseWork::SameDownloadAs(TBaseWork& other) {
    QScopedLock guard(other.ObjectLock());
    if (fullPath_ && other.fullPath_ && targetFile_ == other.targetFile_)
        return true;
    if (IsTorrentBased() && other.IsTorrentBased() && identifier_ == other.identifier_)
        return true;
    const size_t n = sources_.size();
    size_t j = 0;
    for (const SourceEntry& mine : sources_)
        if (std::any_of(other.sources_.begin(), other.sources_.end(),
                        [&](const SourceEntry& theirs) { return theirs.url == mine.url; }))
            ++j;
    return j > 0 && n / j <= 2;
}

void TBaseWork::ResetSources() {
    QScopedLock guard(ObjectLock());
    for (SourceEntry& s : sources_) {
        if (s.state == SourceEntry::Used)
            s.state = SourceEntry::Unused;
        else if (s.state == SourceEntry::UsedTorrent && !hasTorrentData_)
            s.state = SourceEntry::UnusedTorrent;
    }
}

void TBaseWork::SetMirrors(const char* urls, const char* hosts) {
    QScopedLock guard(ObjectLock());
    for (const std::string& u : SplitLines(urls))
        mirrorUrls_.push_back(u);
    for (const std::string& h : SplitLines(hosts))
        mirrorHosts_.push_back(h);
    mirrorsInUse_ = true;
}

void TBaseWork::ClearMirrors() {
    QScopedLock guard(ObjectLock());
    mirrorUrls_.clear();
    mirrorHosts_.clear();
    mirrorsInUse_ = false;
}

void TBaseWork::ResetStatusRecords() {
    QScopedLock guard(ObjectLock());
    std::string name = live_.name;
    live_ = TaskInfo{};
    published_ = TaskInfo{};
    live_.name = published_.name = name;
}

void TBaseWork::PublishStatus(bool /*collect*/, bool force) {
    QTMutex& lock = ObjectLock();
    if (force ? !lock.Lock() : !lock.TryLock())
        return;
    published_ = live_;
    AdjustPublished(published_);
    lock.Unlock();
}
