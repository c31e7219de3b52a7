#include "app/TaskControl.h"

#include "app/ControllerContext.h"
#include "app/ControllerState.h"
#include "app/ControllerTexts.h"
#include "app/DiskSpaceWatch.h"
#include "app/DisplayFormat.h"
#include "app/JobRecord.h"
#include "app/ResourceExtractor.h"
#include "app/ResourceIds.h"
#include "app/StatisticsEvents.h"
#include "platform/Clock.h"
#include "app/TaskLimits.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

namespace {

constexpr uint32_t kTaskFlags = kTaskFlagAccepted | kTaskFlagFullPath;
constexpr uint64_t kMiB = 1048576;

// Copies text into a fixed descriptor field; false when it does not fit whole.
template <size_t N> bool CopyField(char (&field)[N], const std::string& text) {
    if (text.size() >= N)
        return false;
    std::memcpy(field, text.c_str(), text.size() + 1);
    return true;
}

} // namespace

TaskControl::TaskControl(const ControllerContext& context, ControllerState& state, JobRecord& job,
                         DiskSpaceWatch& disk)
    : context_(context), state_(state), job_(job), disk_(disk) {}

void TaskControl::Reset() {
    speedLimit_ = 0;
    tasksStarted_ = 0;
    downloadedBytes_ = 0;
    for (int i = 0; i < kPackageFileCount; ++i) {
        tasks_[i] = 0;
        std::memset(&descriptors_[i], 0, sizeof descriptors_[i]);
    }
}

void TaskControl::SetPeerLimitTotals(uint32_t total, uint32_t pending) {
    peerLimitTotal_ = total;
    pendingPeerLimitTotal_ = pending;
}

void TaskControl::Begin() {
    if (!disk_.HasSpaceToStart(job_.SavePath()))
        return;
    context_.events().Event(StatisticsEvents::kDownloadStarted, "", StatisticsEvents::kWithMachine);
    job_.WriteJobStart();
    job_.WriteSavePath();
    disk_.TestSparseMode(job_.SavePath());
    if (EngineInitialize(job_.DataFolder().c_str()) != kEngineOk) {
        LogLine(kLogController, texts::kLogBeginInitFailed);
        context_.events().Event(StatisticsEvents::kStartFailed, texts::kEventBeginInitFailed, 0);
        context_.DeferModal(texts::kMsgStartFailed);
    } else {
        for (int i = 0; i < kPackageFileCount; ++i)
            CreateTask(i);
    }
    SetSpeedLimit(speedLimit_);
    state_.Enter(ControllerState::kPreparing);
}

void TaskControl::ReleaseTorrent(int i, TaskDescriptor& d, const char* failureEvent) {
    ResourceExtractor extractor(context_.env().resourceFile);
    const std::string& name = context_.config().expectedMd5[i];
    const std::string& folder = job_.DataFolder();
    const int r =
        extractor.ReleaseResource(ResourceIds::Torrent(i), folder, name, ResourceIds::kTorrentType, false);
    if (r >= 0 && CopyField(d.resourceId, "file://" + ResourceExtractor::ReleasedPath(r, folder, name))) {
        d.flags |= kTaskFlagP2SP;
        return;
    }
    LogLine(kLogController, texts::kTorrentReleaseFailed);
    context_.events().Event(failureEvent, texts::kResourceReleaseFailed, 0);
}

int TaskControl::CreateTask(int i) {
    if (i < 0 || i >= kPackageFileCount)
        return kEngineBadArgument;
    TaskDescriptor& d = descriptors_[i];
    std::memset(&d, 0, sizeof d);
    d.flags = kTaskFlags;
    d.sources = context_.config().packageUrls[i].c_str();
    ReleaseTorrent(i, d, StatisticsEvents::kResourceReleaseFailed);
    // A path cut to fit would name another file.
    if (!CopyField(d.targetPath, job_.FilePath(i)) || !CopyField(d.resumeInfoPath, job_.ResumeInfoPath(i)))
        return kEngineBadArgument;
    const int r = EngineCreateTask(&d);
    if (r == kEngineOk)
        tasks_[i] = d.task;
    tasksStarted_ = 1;
    SetSpeedLimit(speedLimit_);
    return r;
}

void TaskControl::Reload() {
    job_.WriteJobStart();
    if (EngineInitialize(job_.DataFolder().c_str()) != kEngineOk) {
        LogLine(kLogController, texts::kLogReloadInitFailed);
        context_.events().Event(StatisticsEvents::kStartFailed, texts::kEventReloadInitFailed, 0);
        context_.DeferModal(texts::kMsgStartFailed);
    } else {
        for (int j = 0; j < kPackageFileCount; ++j) {
            job_.IsFileIntact(j, true);
            if (job_.IsMissing(j))
                ReloadTask(j, false);
            else
                SetFinished(j, true);
        }
    }
    if (RunningTaskCount() > 0) {
        context_.events().Event(StatisticsEvents::kContinued, "", 0);
        tasksStarted_ = 1;
        SetSpeedLimit(speedLimit_);
    } else {
        tasksStarted_ = 0;
    }
}

int TaskControl::ReloadTask(int i, bool force) {
    if (i < 0 || i >= kPackageFileCount)
        return kEngineBadArgument;
    const std::string& url = context_.config().packageUrls[i];
    if (url.empty())
        context_.ShowNotice(texts::kMsgBadSource);
    TaskDescriptor& d = descriptors_[i];
    d.sources = url.c_str();
    d.flags = kTaskFlags;
    ReleaseTorrent(i, d, StatisticsEvents::kStartFailed);
    int r = kEngineBadArgument;
    if (CopyField(d.resumeInfoPath, job_.ResumeInfoPath(i)) && CopyField(d.targetPath, job_.FilePath(i)))
        r = EngineRecoverTask(&d, force);
    if (r != kEngineOk) {
        if (force)
            reloadFailed_ = 1;
        LogLine(kLogController, texts::kLogReloadFailed);
        char text[64];
        std::snprintf(text, sizeof text, "ErrorCode : %d", r);
        context_.ShowNotice(text);
    } else {
        if (force)
            reloadFailed_ = 0;
        LogLine(kLogController, texts::kLogReloadOk);
        tasks_[i] = d.task;
        job_.WriteTaskName(i);
    }
    return r;
}

void TaskControl::Pause() {
    ReportProgressEvent(StatisticsEvents::kPaused);
    PauseAll();
}

void TaskControl::PauseAll() {
    EngineTask list[kPackageFileCount];
    int results[kPackageFileCount];
    unsigned n = 0;
    for (EngineTask t : tasks_) {
        if (t != 0)
            list[n++] = t;
    }
    EngineStopTasks(list, n, 0, results);
    state_.Enter(ControllerState::kPause);
}

void TaskControl::Continue() {
    context_.events().Event(StatisticsEvents::kContinued, "", 0);
    for (int i = 0; i < kPackageFileCount; ++i) {
        if (job_.IsFileIntact(i, false))
            continue;
        SetFinished(i, false);
        if (tasks_[i] != 0)
            EngineRestartTask(tasks_[i]);
    }
    state_.Enter(ControllerState::kResume);
}

int TaskControl::StopTask(int i) {
    if (i < 0 || i >= kPackageFileCount)
        return kEngineNoTask;
    return EngineStopTask(tasks_[i], 0);
}

void TaskControl::SetSpeedLimit(int kib) {
    speedLimit_ = kib != 0 ? kib : TaskLimits::kNoLimit;
    const int per = TaskLimits::SpeedPerTask(kib, RunningTaskCount());
    for (EngineTask t : tasks_)
        EngineSetTaskSpeedLimit(t, kSpeedLimitDownload, per);
}

void TaskControl::ApplyPeerLimits(uint32_t a, uint32_t b) {
    const int n = RunningTaskCount();
    if (a == lastPeerLimit_ && n == lastPeerLimitCount_)
        return;
    lastPeerLimit_ = a;
    peerLimitTotal_ = a;
    lastPeerLimitCount_ = n;
    if (n == 0)
        return;
    std::array<bool, kPackageFileCount> finished{};
    for (int i = 0; i < kPackageFileCount; ++i)
        finished[i] = IsFinished(i);
    const auto limits = TaskLimits::PeerLimitsPerFile(static_cast<int>(a), static_cast<int>(b), n, finished);
    for (int i = 0; i < kPackageFileCount; ++i) {
        if (!finished[i])
            EngineSetTaskPeerLimits(tasks_[i], limits[i].first, limits[i].second);
    }
}

void TaskControl::ApplyPeerLimits() {
    ApplyPeerLimits(peerLimitTotal_, pendingPeerLimitTotal_);
}

int TaskControl::RunningTaskCount() const {
    int n = 0;
    for (int i = 0; i < kPackageFileCount; ++i) {
        TaskStatus st;
        if (!IsFinished(i) && EngineGetTaskStatus(tasks_[i], &st) == kEngineOk)
            ++n;
    }
    return n;
}

void TaskControl::FinishDetection(int i) {
    int complete = 0;
    if (EngineIsTaskComplete(tasks_[i], &complete) != kEngineOk || complete != 1 || IsFinished(i))
        return;
    SetFinished(i, true);
    job_.RecordFinishedFile(i);
    SetSpeedLimit(speedLimit_);
    context_.events().FileEvent(StatisticsEvents::kFileFinished, context_.FileName(i), "");
}

void TaskControl::NoticeFinishedFiles() {
    for (int i = 0; i < kPackageFileCount; ++i) {
        TaskStatus st;
        if (!IsFinished(i) && EngineGetTaskStatus(tasks_[i], &st) == kEngineOk)
            FinishDetection(i);
    }
}

TaskControl::Statuses TaskControl::ReadStatuses() const {
    Statuses out;
    for (int i = 0; i < kPackageFileCount; ++i) {
        TaskStatus st;
        if (EngineGetTaskStatus(tasks_[i], &st) == kEngineOk)
            out[i] = st;
    }
    return out;
}

unsigned TaskControl::DownloadProgress(const Statuses& statuses) const {
    uint64_t sum = 0, weight = 0;
    for (int i = 0; i < kPackageFileCount; ++i) {
        if (IsFinished(i)) {
            const uint64_t w = context_.config().expectedSizes[i] / kMiB;
            weight += w;
            sum += w * 10000;
            continue;
        }
        // No task, or one that has ended: the file does not count.
        if (!statuses[i])
            continue;
        const TaskStatus& st = *statuses[i];
        const uint64_t w = st.totalKiB / 1024;
        weight += w;
        if (st.progress > 9999)
            sum += w * 10000;
        else if (st.progress >= 1)
            sum += w * st.progress;
    }
    return static_cast<unsigned>(weight != 0 ? sum / weight : sum);
}

uint32_t TaskControl::TotalSpeed() const {
    uint64_t total = 0;
    for (int i = 0; i < kPackageFileCount; ++i) {
        TaskStatus st;
        if (!IsFinished(i) && EngineGetTaskStatus(tasks_[i], &st) == kEngineOk)
            total += st.downloadRate;
    }
    return static_cast<uint32_t>(std::min<uint64_t>(total, std::numeric_limits<uint32_t>::max()));
}

uint64_t TaskControl::UpdateDownloadedBytes() {
    uint64_t total = 0;
    for (int i = 0; i < kPackageFileCount; ++i) {
        TaskStatus st;
        if (EngineGetTaskStatus(tasks_[i], &st) == kEngineOk) {
            total += st.downloadedBytes;
        } else {
            const int64_t allocated = EngineGetAllocatedSize(job_.FilePath(i).c_str());
            if (allocated >= 0)
                total += static_cast<uint64_t>(allocated);
        }
    }
    switch (state_.Get()) {
    case ControllerState::kBack:
    case ControllerState::kReady:
    case ControllerState::kPause:
    case ControllerState::kFailed:
    case ControllerState::kFinished:
    case ControllerState::kMd5Checking:
    case ControllerState::kInstalling:
    case ControllerState::kUnused14:
    case ControllerState::kClosedWithoutExit:
        break;
    default:
        // The poll runs ten times a second; the stored size is only for reading by people,
        // so it is written at most once a second, a change at once after a quiet spell.
        // Each write replaces the job file with a flush to the disk, which at poll rate
        // held the download's own writes back.
        if (total != downloadedBytes_ || total != savedBytes_) {
            const uint64_t now = platform::TickCount64();
            if (savedAtMs_ == 0 || now - savedAtMs_ >= kSizeSaveIntervalMs) {
                job_.SaveDownloadedSize(total);
                savedBytes_ = total;
                savedAtMs_ = now;
            }
        }
        break;
    }
    downloadedBytes_ = total;
    return total;
}

void TaskControl::ReportProgressEvent(const std::string& code, const std::string& message) {
    uint64_t http = 0, p2p = 0;
    for (int i = 0; i < kPackageFileCount; ++i) {
        TaskStatus st;
        if (EngineGetTaskStatus(tasks_[i], &st) == kEngineOk) {
            lastHttpBytes_[i] = st.httpBytes;
            lastPeerBytes_[i] = st.peerBytes;
        }
        http += lastHttpBytes_[i];
        p2p += lastPeerBytes_[i];
    }
    const uint32_t seconds = job_.RunSeconds();
    EventReporter::Progress p;
    p.code = code;
    p.totalTime = seconds;
    p.totalBytes = http + p2p;
    if (seconds != 0) {
        p.averageSpeed = p.totalBytes / seconds;
        p.httpAverage = http / seconds;
        p.p2pAverage = p2p / seconds;
    }
    // Files that have just finished count in full in the figure reported.
    NoticeFinishedFiles();
    p.progress = DisplayFormat::Percent(DownloadProgress());
    p.httpBytes = http;
    p.p2pBytes = p2p;
    p.errorMessage = message;
    context_.events().ProgressEvent(p);
}
