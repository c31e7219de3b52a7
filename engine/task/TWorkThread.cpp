#include "engine/task/TWorkThread.h"

#include "engine/core/EngineClock.h"
#include "engine/core/EngineLocks.h"
#include "engine/core/EngineLog.h"
#include "engine/core/QScopedLock.h"
#include "platform/Clock.h"

#include <algorithm>
#include <cstring>

TWorkThread::TWorkThread() = default;

TWorkThread::~TWorkThread() {
    Stop();
    Reset(true, true);
}

int TWorkThread::StopDownload() {
    return Stop() ? kEngineOk : kEngineFailure;
}

int TWorkThread::StartDownload() {
    return Start("StartDownload") ? kEngineOk : kEngineFailure;
}

int TWorkThread::ContinueDownload() {
    if (IsRunning())
        return kEngineFailure;
    ReadResumeInformation();
    return Start("ContinueDownload") ? kEngineOk : kEngineFailure;
}

int TWorkThread::PauseDownload() {
    return SetPause(true) ? kEngineOk : kEngineFailure;
}

int TWorkThread::RestartDownload() {
    LogLine(kLogRestart, "Download Restarted..");
    if (!Stop())
        return kEngineFailure;
    {
        QScopedLock guard(ObjectLock());
        DeleteDownloadFiles();
        DeleteResumeInformation();
        ResetStatusRecords();
    }
    Reset(true, true);
    return ResumeDownload();
}

void TWorkThread::Reset(bool release, bool full) {
    QScopedLock guard(ObjectLock());
    ResetPeers(release, full);
    ResetPieces(release, full);
    completionTime_ = 0;
    if (full) {
        complete_ = false;
        httpBytes_ = 0;
        peerBytes_ = 0;
    }
}

void TWorkThread::GetStatus(TaskStatus& out) {
    std::memset(&out, 0, sizeof out);
    QScopedLock guard(ObjectLock());
    const TaskInfo& p = published_;
    std::strncpy(out.name, p.name.c_str(), sizeof out.name - 1);
    out.progress = p.Progress();
    out.state = out.progress >= 10000 ? kTaskStateComplete : static_cast<uint32_t>(p.stateCode);
    out.downloadRate = static_cast<uint32_t>(p.downloadRate);
    out.secondsLeft = static_cast<uint32_t>(p.secondsLeft);
    out.totalKiB = static_cast<uint32_t>(p.totalBytes / 1024);
    out.httpBytes = HttpBytes();
    out.peerBytes = PeerBytes();
    out.downloadedBytes = p.doneBytes;
}

void TWorkThread::GetDetailedStatus(TaskDetailedStatus& out) {
    GetStatus(out.status);
    QScopedLock guard(ObjectLock());
    out.allocatedBytes = allocatedSize_;
    out.peerCount = ConnectedPeerCount();
    out.secondsSinceStart = IsRunning() ? SecondsRunning() : 0;
}

void TWorkThread::AddTrackerText(const std::string& text) {
    QScopedLock guard(ObjectLock());
    if (!extraTrackerText_.empty() && extraTrackerText_.back() != '\n')
        extraTrackerText_ += '\n';
    extraTrackerText_ += text;
}

bool TWorkThread::IsComplete() {
    QScopedLock guard(ObjectLock());
    const TaskInfo& p = published_;
    // Every byte, not "above 99.99 %": in a file of a few GiB the last piece is less than
    // a ten-thousandth, and the controller would take an unfinished file as done. The
    // published count reaches the total only once the files have their final names.
    return p.totalBytes != 0 && p.doneBytes >= p.totalBytes;
}

void TWorkThread::Refresh() {
    bool changed;
    {
        QScopedLock guard(ObjectLock());
        const TaskInfo& p = published_;
        changed = p.totalBytes != live_.totalBytes || p.doneBytes != live_.doneBytes ||
                  p.pieceCount != live_.pieceCount || p.piecesDone != live_.piecesDone ||
                  p.stateCode != live_.stateCode || p.phase != live_.phase;
    }
    if (changed)
        PublishStatus(true, false);
}

void TWorkThread::ReleaseLocksAfterFailure() {
    // The object lock was already released by the thread body.
    while (RegistryLock().Unlock() || ProxySettingsLock().Unlock() || DiskLock().Unlock())
        platform::SleepMs(20);
}

uint32_t TWorkThread::SecondsRunning() {
    const uint32_t start = StartTime();
    const uint32_t now = EngineUptime();
    return now > start ? now - start : 0;
}

void TWorkThread::RecordAllocatedSize() {
    if (TargetFile().empty())
        return;
    const int64_t size = TFileStore::AllocatedSize(TargetFile());
    if (size > 0)
        allocatedSize_ = size;
}

uint64_t TWorkThread::Tick() {
    const uint64_t before = rates_.ReceivedThisSecond();
    ServiceConnections();
    StoreBufferedData();
    Refresh();
    PeerReview(false);
    // While the sockets deliver faster than a tick can read, sleeping only leaves the
    // data waiting in the kernel; the pace applies again once a tick moves less.
    const uint64_t moved = rates_.ReceivedThisSecond() - std::min(before, rates_.ReceivedThisSecond());
    if (moved < kBusyTickBytes)
        platform::SleepMs(TickInterval());
    return EngineWallClock();
}

bool TWorkThread::CompleteCheck(uint64_t now) {
    bool all;
    const uint64_t stamp = now ? now : EngineWallClock();
    {
        QScopedLock guard(ObjectLock());
        all = live_.pieceCount > 0 && live_.piecesDone >= live_.pieceCount;
        if (all && completionTime_ == 0) {
            completionTime_ = stamp;
            if (live_.phase != 3) {
                FlushAndCloseFiles();
                all = live_.pieceCount > 0 && live_.piecesDone >= live_.pieceCount;
                if (all)
                    complete_ = true;
            }
        }
        if (!all) {
            completionTime_ = 0;
            return false;
        }
        if (now == 0)
            return false;
        if (!IsTorrentBased())
            return live_.doneBytes >= live_.totalBytes;
        const uint64_t hours = now > completionTime_ ? (now - completionTime_) / 3600 : 0;
        return hours >= static_cast<uint64_t>(settings_.seedHours);
    }
}

bool TWorkThread::Prepare() {
    RecordAllocatedSize();
    if (IsTorrentBased() && !Identifier().empty()) {
        {
            QScopedLock guard(ObjectLock());
            live_.phase = 1;
        }
        if (Identifier().compare(0, 7, "file://") == 0 && !HasMetadata()) {
            if (torrentData_.empty() && !ReadTorrentFile(Identifier())) {
                {
                    QScopedLock guard(ObjectLock());
                    live_.stateCode = kTaskStateTorrentUnreadable;
                }
                PublishStatus(true, true);
                uint32_t id;
                RequestStop(id);
                return false;
            }
        }
        if (!HasMetadata() && (!torrentData_.empty() || Identifier().find("$End$") != std::string::npos))
            LoadMetadata();
        QScopedLock guard(ObjectLock());
        live_.phase = 4;
    }
    QScopedLock guard(ObjectLock());
    return !IsTorrentBased() || HasMetadata() || !sources_.empty();
}

void TWorkThread::Run() {
    failed_ = timedOut_ = false;
    ResetRates();
    if (Prepare())
        MainLoop();
    AfterLoop();
}

void TWorkThread::MainLoop() {
    {
        QScopedLock guard(ObjectLock());
        live_.phase = 4;
    }
    PublishStatus(true, true);
    uint64_t last15 = 0, last8 = 0, last10 = 0;
    unsigned eightCount = 0;
    uint64_t now = EngineWallClock();
    for (;;) {
        if (CheckStop())
            break;
        if (CompleteCheck(now)) {
            LogFormat(kLogTaskLifecycle, "%s%s is Download Complete", ThreadPrefix().c_str(),
                      live_.name.c_str());
            break;
        }
        // A file system query per tick would be hundreds a second; the figure is only
        // for diagnostics, and a second's worth of change does not matter there.
        if (now != lastAllocatedCheck_) {
            lastAllocatedCheck_ = now;
            RecordAllocatedSize();
        }
        now = Tick();
        if (now - last15 >= 15) {
            last15 = now;
            FeedSources();
            RefreshPeers();
        }
        const uint32_t running = SecondsRunning();
        if (!HasMetadata() && running > static_cast<uint32_t>(settings_.metadataTimeout)) {
            timedOut_ = true;
            break;
        }
        if (SmoothedDownloadRate() == 0 && running > kGiveUpSeconds &&
            (!IsTorrentBased() || !HasMetadata()) && ConnectedPeerCount() == 0) {
            failed_ = true;
            ResetSources();
            break;
        }
        if (now - last8 >= 8) {
            last8 = now;
            if (++eightCount % 4 == 0) {
                PieceHousekeeping();
                fullRefresh_ = true;
            }
        }
        if (metadataChanged_) {
            metadataChanged_ = false;
            ReloadMetadata();
        }
        if (now - last10 >= 10) {
            last10 = now;
            // The local-network announcement step joins here.
        }
        if (now != lastPublish_) {
            lastPublish_ = now;
            PublishStatus(fullRefresh_, false);
            fullRefresh_ = false;
        }
    }
}

void TWorkThread::AfterLoop() {
    if (!complete_)
        CompleteCheck(0);
    ResetSources();
    Reset(false, false);
    if (complete_)
        DeleteResumeInformation();
    else
        WriteResumeInformation();
    {
        QScopedLock guard(ObjectLock());
        live_.phase = 1;
        if (!complete_) {
            if (failed_)
                live_.stateCode = kTaskStateGaveUp;
            if (timedOut_)
                live_.stateCode = kTaskStateMetadataTimeout;
        }
    }
    PublishStatus(true, true);
    Reset(false, false);
}

uint64_t TWorkThread::EngineWallClockNow() {
    return EngineWallClock();
}

uint32_t TWorkThread::Uptime() {
    return EngineUptime();
}

void TWorkThread::BuildRanges() {
    if (!ranges_ || !ranges_->Empty())
        return;
    std::vector<TPieceRanges::SourceShare> shares;
    for (size_t i = 0; i < Candidates().Size(); ++i) {
        TPeerId* c = Candidates().At(i);
        if (c->IsHttpOrFtp() && c->Resolved())
            shares.push_back(
                {c, std::max(c->connectionLimit, static_cast<int>(settings_.minConnectionsPerSource))});
    }
    ranges_->BuildInitialRanges(shares);
}

bool TWorkThread::PieceWanted(int piece) {
    if (!pieces_ || !pieces_->PieceNeeded(piece))
        return false;
    if (!work_)
        return true;
    return work_->EndGame() || work_->InProgressCount(piece) < work_->AllowedWorkers();
}

int TWorkThread::WriteBlock(uint32_t block, const uint8_t* data, int32_t length, TPeerId* source,
                            bool& completed) {
    completed = false;
    if (!pieces_)
        return 0;
    return pieces_->WriteBlock(block, data, length, source, completed);
}

void TWorkThread::ReturnRequests(const std::vector<TBlockRequest>& /*requests*/) {
    // Blocks of HTTP and FTP connections belong to their ranges, which the allocator
    // hands on; nothing is queued for others here.
}

void TWorkThread::LearnSize(uint64_t size, const std::string& name) {
    if (CommitPlainLayout(size, name))
        passesNow_ = true;
}

void TWorkThread::AddTraffic(uint64_t received, uint64_t sent) {
    rates_.AddReceived(received);
    rates_.AddSent(sent);
}

bool TWorkThread::SourceFailed(TPeerId* source, bool retry, int backoffSeconds) {
    return SourceFailedImpl(source, retry, backoffSeconds);
}

void TWorkThread::AddSource(TPeerId* source) {
    if (source)
        AddCandidate(*source, false, false);
}

void TWorkThread::SetStateCode(int code) {
    {
        QScopedLock guard(ObjectLock());
        live_.stateCode = code;
    }
    PublishStatus(true, true);
}

void TWorkThread::AdjustPublished(TaskInfo& record) {
    if (!complete_ && record.totalBytes > 0 && record.doneBytes >= record.totalBytes)
        record.doneBytes = record.totalBytes - 1;
}
