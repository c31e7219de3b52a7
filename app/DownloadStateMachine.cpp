#include "app/DownloadStateMachine.h"

#include "app/ControllerContext.h"
#include "app/ControllerSettings.h"
#include "app/ControllerState.h"
#include "app/ControllerTexts.h"
#include "app/DiskSpaceWatch.h"
#include "app/DisplayFormat.h"
#include "app/IControllerSeams.h"
#include "app/JobRecord.h"
#include "app/StatisticsEvents.h"
#include "app/TaskControl.h"
#include "engine/api/BrisklaneEngine.h"

namespace {

using S = ControllerState;

constexpr uint32_t kTransferringAbove = 1024; // bytes per second that count as downloading
constexpr uint32_t kMirrorRefreshEvery = 600; // seconds of downloading between resource-list fetches
constexpr uint32_t kProgressEventEvery = 300; // ticks of an active job between progress events
constexpr unsigned kShutdownDelaySeconds = 60;
constexpr uint32_t kDiskRecheckMs = 50;

} // namespace

DownloadStateMachine::DownloadStateMachine(const ControllerContext& context, ControllerState& state,
                                           JobRecord& job, DiskSpaceWatch& disk, TaskControl& tasks)
    : context_(context), state_(state), job_(job), disk_(disk), tasks_(tasks) {}

void DownloadStateMachine::Reset() {
    progress_ = 0;
    displaySpeed_ = 0;
}

// ---------------------------------------------------------------------------------
// The status poll

int DownloadStateMachine::PollState() {
    const uint32_t s = state_.Get();
    ObserveTasks();
    progress_ = tasks_.DownloadProgress();
    const uint64_t d = tasks_.UpdateDownloadedBytes();
    if (disk_.SparseMode())
        CheckDiskSpace(s, d);
    // Only while still preparing: an error or a pause met in this poll stays.
    if (s == S::kPreparing && state_.Get() == S::kPreparing && progress_ != 0)
        state_.Enter(S::kReload);
    if (state_.TakeChange(s))
        Announce(s);
    return static_cast<int>(s);
}

void DownloadStateMachine::ObserveTasks() {
    for (int i = 0; i < kPackageFileCount; ++i) {
        TaskStatus st;
        if (tasks_.IsFinished(i) || EngineGetTaskStatus(tasks_.Task(i), &st) != kEngineOk)
            continue;
        tasks_.FinishDetection(i);
        // One last code for all tasks: two tasks with different codes show theirs in turn.
        if (st.state != lastTaskCode_) {
            lastTaskCode_ = st.state;
            HandleTaskError(st.state);
        }
    }
}

void DownloadStateMachine::Announce(uint32_t s) {
    if (s != S::kFinished) {
        if (const char* line = ControllerState::LogLineOf(s))
            LogLine(kLogController, line);
        return;
    }
    for (int i = 0; i < kPackageFileCount; ++i)
        job_.RecordFinishedFile(i);
    if (tasks_.TasksStarted())
        tasks_.ReportProgressEvent(StatisticsEvents::kDownloadFinished);
    tasks_.SetSpeedLimit(tasks_.SpeedLimit());
    LogLine(kLogController, texts::kLogStateFinished);
    if (shutdownWhenDone_) {
        LogLine(kLogController, texts::kLogAutoShutdown);
        IControllerSeams* seams = &context_.seams();
        context_.Defer([seams] { seams->ShutdownIn(kShutdownDelaySeconds); });
    }
}

void DownloadStateMachine::CheckDiskSpace(uint32_t s, uint64_t downloaded) {
    const uint64_t required = disk_.RequiredSpace();
    const uint64_t free = disk_.FreeSpace(job_.SavePath());
    if (free + downloaded >= required) {
        state_.SetDiskSpaceLow(false);
        if (s == S::kBack && state_.Get() == S::kBack)
            state_.Enter(S::kReady);
        return;
    }
    context_.SleepUnlocked(kDiskRecheckMs);
    // Another thread may have moved the job on meanwhile; the next poll judges anew.
    if (state_.Get() != s)
        return;
    const uint64_t d2 = tasks_.UpdateDownloadedBytes();
    if (free + d2 + DiskSpaceWatch::kSpaceMargin >= required)
        return;
    switch (s) {
    case S::kReady:
        state_.Enter(S::kBack);
        context_.ShowNotice(texts::kMsgNoSpaceBack);
        state_.SetDiskSpaceLow(true);
        break;
    case S::kBack:
    case S::kPause:
        state_.SetDiskSpaceLow(true);
        break;
    case S::kDownloading:
        tasks_.PauseAll();
        tasks_.ReportProgressEvent(StatisticsEvents::kDiskFull);
        context_.ShowNotice(texts::kMsgReserveTooSmall);
        state_.SetDiskSpaceLow(true);
        break;
    default:
        break;
    }
}

// ---------------------------------------------------------------------------------
// The tick

void DownloadStateMachine::Tick() {
    CountTick();
    MeasureSpeed();
}

void DownloadStateMachine::CountTick() {
    const uint32_t s = state_.Get();
    if (s == S::kBack || s == S::kReady || s == S::kFailed || s == S::kClosedWithoutExit)
        return;
    if (ControllerState::IsActive(s)) {
        ++tickCount_;
        if (tickCount_ % kProgressEventEvery == 0)
            tasks_.ReportProgressEvent(StatisticsEvents::kProgress);
        job_.CountDownloadSecond();
    } else {
        tickCount_ = 0;
    }
    bool all = true;
    for (int i = 0; i < kPackageFileCount; ++i) {
        TaskStatus st;
        if (EngineGetTaskStatus(tasks_.Task(i), &st) == kEngineOk)
            tasks_.FinishDetection(i);
        all = all && tasks_.IsFinished(i);
    }
    const uint32_t now = state_.Get();
    if (now != S::kMd5Checking && now != S::kCheckRecover && now != S::kCheckFinished && all &&
        tasks_.RunningTaskCount() == 0) {
        state_.Enter(S::kFinished);
        job_.MarkJobComplete();
    }
}

void DownloadStateMachine::MeasureSpeed() {
    EngineSetP2PEnabled(ControllerSettings::P2PEnabled());
    IControllerSeams* seams = &context_.seams();
    auto count = [&] {
        if (speedCount_ % kMirrorRefreshEvery == 0)
            context_.Defer([seams] { seams->StartMirrorRefresh(); });
        ++speedCount_;
    };
    const uint32_t s = state_.Get();
    if (ControllerState::IsActive(s)) {
        totalSpeed_ = tasks_.TotalSpeed();
        if (totalSpeed_ > kTransferringAbove) {
            state_.Enter(S::kDownloading);
            tasks_.ApplyPeerLimits();
        }
        if (state_.Get() == S::kDownloading)
            count();
        else
            speedCount_ = 0;
        const int limit = tasks_.SpeedLimit();
        const uint64_t cap = static_cast<uint64_t>(limit > 0 ? limit : 0) * 1024;
        if (limit != 0 && cap < totalSpeed_) {
            const uint64_t toward = displaySpeed_ < cap ? totalSpeed_ : cap;
            displaySpeed_ = static_cast<uint32_t>((toward + displaySpeed_) / 2);
        } else {
            displaySpeed_ = totalSpeed_;
        }
    } else if (s == S::kCheckRecover) {
        count();
    } else {
        speedCount_ = 0;
    }
}

std::string DownloadStateMachine::SpeedText() const {
    const uint32_t s = state_.Get();
    if (ControllerState::IsActive(s))
        return DisplayFormat::Speed(displaySpeed_);
    // While repairing the front end shows the repair's speed instead.
    if (s == S::kCheckRecover)
        return "";
    return "0 B/s";
}

// ---------------------------------------------------------------------------------
// The primary button and the engine's codes

void DownloadStateMachine::PrimaryAction() {
    IControllerSeams* seams = &context_.seams();
    switch (state_.Get()) {
    case S::kBack:
    case S::kReady:
        tasks_.Begin();
        break;
    case S::kDownloading:
    case S::kResume:
        tasks_.Pause();
        break;
    case S::kPause:
        tasks_.Continue();
        break;
    case S::kFinished:
        context_.events().Event(StatisticsEvents::kInstallPressed, "", 0);
        context_.Defer([seams] { seams->AskVerifyThenInstall(); });
        break;
    case S::kMd5Checking:
        context_.ShowNotice(texts::kMsgMd5Working);
        break;
    case S::kCheckRecover:
        context_.ShowNotice(texts::kMsgRepairing);
        break;
    case S::kCheckFinished:
        context_.events().Event(StatisticsEvents::kInstallPressed, texts::kMsgAlreadyVerified, 0);
        context_.Defer([seams] { seams->Install(true); });
        break;
    default:
        break;
    }
}

bool DownloadStateMachine::HandleTaskError(uint32_t code) {
    if (code == kTaskStateNone || code == lastShownCode_)
        return true;
    lastShownCode_ = code;
    switch (code) {
    case kTaskStateNetworkError:
        context_.ShowNotice(texts::kMsgNetworkError);
        return false;
    case kTaskStateMetadataTimeout:
        tasks_.ReportProgressEvent(StatisticsEvents::kConnectTimeout);
        context_.ShowNotice(texts::kMsgConnectTimeout);
        return false;
    case kTaskStateDiskFull:
        if (state_.Get() == S::kDownloading)
            tasks_.PauseAll();
        state_.SetDiskSpaceLow(true);
        tasks_.ReportProgressEvent(StatisticsEvents::kDiskFull);
        context_.ShowNotice(texts::kMsgDiskFull);
        return false;
    case kTaskStateGaveUp:
        context_.ShowNotice(texts::kMsgDownloadError);
        return false;
    case kTaskStateDiskError:
        state_.Enter(S::kFailed);
        context_.ShowNotice(texts::kMsgDiskBroken);
        return false;
    default:
        return true;
    }
}
