#include "app/DownloadController.h"

#include "app/ControllerSettings.h"
#include "app/ControllerTexts.h"
#include "app/DisplayFormat.h"
#include "app/EmbeddedConfigBlock.h"
#include "app/FolderChain.h"
#include "app/IControllerFrontEnd.h"
#include "app/PackageVerifier.h"
#include "app/PortChooser.h"
#include "app/ProgramExit.h"
#include "app/ProgramVersion.h"
#include "app/ResourceExtractor.h"
#include "app/ResourceIds.h"
#include "app/StatisticsEvents.h"
#include "app/TaskLimits.h"
#include "engine/api/BrisklaneEngine.h"
#include "platform/Clock.h"
#include "platform/Disk.h"
#include "platform/FixedDisks.h"
#include "platform/MessageSink.h"
#include "platform/Paths.h"
#include "platform/ProfileFile.h"
#include "platform/ResourceArchive.h"

#include <cstdio>
#include <cstring>
#include <limits>
#include <unistd.h>
#include <utility>

namespace {

constexpr uint32_t kTaskFlags = kTaskFlagAccepted | kTaskFlagFullPath;
constexpr const char* kDefaultFolderName = "Orlanta10117";
constexpr const char* kStatsFileName = "dataupload.vedare";
constexpr const char* kTuningFile = "BrisklaneTaskLink.ini";
constexpr const char* kGameVersion = "10.1.1.7";
constexpr uint32_t kTransferringAbove = 1024; // bytes per second that count as downloading
constexpr uint32_t kMirrorRefreshEvery = 600; // speed queries between resource-list fetches

std::string IndexedKey(const char* prefix, int i) {
    return prefix + std::to_string(i);
}

// Copies text into a fixed descriptor field; false when it does not fit whole.
template <size_t N> bool CopyField(char (&field)[N], const std::string& text) {
    if (text.size() >= N)
        return false;
    std::memcpy(field, text.c_str(), text.size() + 1);
    return true;
}

// Whether any folder on the way from path up to its root exists; when none does, the
// volume cannot be asked anything.
bool SomethingExistsAlong(std::string path) {
    while (!path.empty()) {
        if (platform::PathExists(path))
            return true;
        while (path.size() > 1 && platform::EndsWithSeparator(path))
            path.pop_back();
        const size_t at = path.find_last_of(platform::kPathSeparator);
        if (at == std::string::npos)
            return false;
        path.resize(at == 0 ? 1 : at);
        if (path == "/")
            return platform::PathExists(path);
    }
    return false;
}

std::string CurrentDirectory() {
    char buf[4096];
    if (::getcwd(buf, sizeof buf))
        return buf;
    return ".";
}

std::string PercentWithBlanks(uint32_t p, const char* blanks) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%u.%02u%%", p / 100, p % 100);
    return std::string(buf) + blanks;
}

} // namespace

// The controller's own operations behind its seams.
class DownloadController::OwnSeams : public IControllerSeams {
public:
    explicit OwnSeams(DownloadController& c) : c_(c) {}
    void AskVerifyThenInstall() override { c_.AskVerifyThenInstall(); }
    void Install(bool verified) override { c_.Install(verified); }
    void ShutdownIn(unsigned seconds) override { c_.ShutdownIn(seconds); }

private:
    DownloadController& c_;
};

DownloadController::DownloadController() : DownloadController(ControllerEnvironment{}) {}

DownloadController::DownloadController(ControllerEnvironment env)
    : env_(std::move(env)), ownSeams_(std::make_unique<OwnSeams>(*this)),
      events_(env_.events ? *env_.events : defaultEvents_), seams_(env_.seams ? *env_.seams : *ownSeams_),
      verifier_(std::make_unique<PackageVerifier>(*this)), exit_(std::make_unique<ProgramExit>(*this)) {}

// A verification still at work uses the controller's fields: it ends before they go.
DownloadController::~DownloadController() {
    verifier_->Stop();
}

// ---------------------------------------------------------------------------------
// Start-up

void DownloadController::LoadEmbeddedConfig() {
    LoadConfig(ControllerConfig::FromBlock(embedded::EmbeddedConfigBlock::Program()));
}

void DownloadController::LoadConfig(const ControllerConfig& config) {
    Scope scope(*this);
    config_ = config;
    productKey_ = config.productKey;
    for (int i = 0; i < kFileCount; ++i) {
        packageUrls_[i] = config.packageUrls[i];
        fileNames_[i] = config.fileNames[i];
    }
    resourceListUrl_ = config.resourceListUrl;
    firstFileName_ = config.fileNames[0];
}

int DownloadController::Initialize() {
    Scope scope(*this);
    EngineOpenLog();
    diskSpaceLow_ = 0;
    missingCount_ = 0;
    speedLimit_ = 0;
    displaySpeed_ = 0;
    tasksStarted_ = 0;

    requiredSpace_ = kSpaceMargin;
    for (uint64_t size : config_.expectedSizes)
        requiredSpace_ += size;
    if (requiredSpace_ == 0)
        return -1;
    downloadedBytes_ = 0;
    progress_ = 0;

    const std::string root = env_.dataRoot.empty() ? platform::CommonAppDataFolder() : env_.dataRoot;
    dataFolder_ =
        platform::JoinPath(platform::JoinPath(root, "Harrowfield/Brisklane"), "Brisklane" + productKey_);
    if (!platform::IsDirectory(dataFolder_))
        CreateFolderChain(dataFolder_);

    logBasePath_ = platform::JoinPath(dataFolder_, productKey_);
    taskFilePath_ = logBasePath_ + ".vedare";
    job_ = TaskPersistence(taskFilePath_);
    if (CBrisklaneLog* log = EngineLog())
        log->SetBasePath(logBasePath_.c_str());
    LogLine(kLogController, texts::kLogInitializing);

    statsFileName_ = kStatsFileName;
    ResourceExtractor extractor(env_.resourceFile);
    const int released = extractor.ReleaseResource(ResourceIds::kStatistics, dataFolder_, statsFileName_,
                                                   ResourceIds::kStatisticsType, true);
    if (released < 0) {
        LogLine(kLogController, texts::kResourceReleaseFailed);
        events_.Event(StatisticsEvents::kResourceReleaseFailed, texts::kResourceReleaseFailed, 0);
        return -2;
    }
    const std::string statsPath = ResourceExtractor::ReleasedPath(released, dataFolder_, statsFileName_);
    const std::string version = AppVersion();
    CollectDataUpload(statsPath.c_str(), "39", version.c_str(), kGameVersion, "1");

    int port = 0;
    if (env_.choosePort) {
        port = env_.choosePort();
    } else {
        PortChooser chooser;
        chooser.SetEventReporter(events_);
        port = chooser.ChoosePortAndForward();
    }
    EngineSetListenPort(port);

    for (int i = 0; i < kFileCount; ++i) {
        tasks_[i] = 0;
        std::memset(&descriptors_[i], 0, sizeof descriptors_[i]);
    }
    userExit_ = 0;
    exitConfirmed_ = 0;
    installerLaunched_ = 0;
    LogLine(kLogController, texts::kLogSelfRecoveryOff);

    const std::string dir = env_.workingDirectory.empty() ? CurrentDirectory() : env_.workingDirectory;
    const std::string tuning = platform::JoinPath(dir, kTuningFile);
    const int limit = platform::GetProfileInt("BrisklaneTask", "BrisklaneTaskLink", 0, tuning.c_str());
    peerLimitTotal_ = (limit < 10 || limit > 200) ? 36 : static_cast<uint32_t>(limit);
    pendingPeerLimitTotal_ = 108;

    EvaluateJobFile();
    if (state_ == kRecover || state_ == kReload || state_ == kFinished || state_ == kRetry) {
        Reload();
        return 1;
    }
    return 0;
}

std::string DownloadController::AppVersion() const {
    if (!env_.programVersion.empty())
        return env_.programVersion;
    if (env_.resourceFile.empty())
        return ProgramVersion::Text();
    platform::ResourceArchive archive;
    archive.Load(env_.resourceFile);
    return ProgramVersion::FromResources(archive);
}

std::string DownloadController::DefaultSavePath() const {
    std::string place = env_.defaultSavePlace ? env_.defaultSavePlace() : platform::LargestFixedDiskPlace();
    // No writable fixed disk at all: the root, where writing will fail visibly later.
    if (place.empty())
        place = "/";
    return platform::JoinPath(place, kDefaultFolderName);
}

void DownloadController::MakeInfoFolder() {
    infoFolder_ = platform::JoinPath(dataFolder_, taskHash_ + "QVInfo");
    CreateFolderChain(infoFolder_);
    infoFolder_ += platform::kPathSeparator;
}

// Decides from the job file and the package files what this start finds: nothing, a
// finished job, one to verify again, one to resume, or one whose files are gone.
void DownloadController::EvaluateJobFile() {
    enum class Found { Correct, Check, Lost, Resume };
    bool noCreateTime = false, noHash = false, noSavePath = false, noEntry = false;
    Found found = Found::Resume;

    if (!job_.Exists()) {
        if (!platform::IsDirectory(dataFolder_))
            CreateFolderChain(dataFolder_);
        taskHash_ = productKey_;
        savePath_ = DefaultSavePath();
        entryName_ += firstFileName_;
        MakeInfoFolder();
        for (int i = 0; i < kFileCount; ++i)
            resumeInfoPaths_[i] = infoFolder_ + fileNames_[i] + ".qvinfo";
        noCreateTime = noHash = noSavePath = noEntry = true;
    } else {
        noCreateTime = job_.Read("BrisklaneTaskCreateTime").empty();
        taskHash_ = job_.Read("BrisklaneTaskHash");
        if (taskHash_.empty()) {
            taskHash_ = productKey_;
            noHash = true;
        }
        savePath_ = job_.Read("BrisklaneTaskSavePath");
        if (savePath_.empty()) {
            savePath_ = DefaultSavePath();
            noSavePath = true;
        }

        bool allPresent = true, anyPresent = false, allLost = true;
        const bool complete = job_.IsJobComplete();
        for (int i = 0; i < kFileCount; ++i) {
            const bool present = platform::PathExists(FilePath(i));
            allPresent = allPresent && present;
            bool lost = !present;
            if (!complete) {
                anyPresent = anyPresent || present;
                lost = lost && !platform::PathExists(FilePath(i) + ".qvtmp");
            }
            allLost = allLost && lost;
        }
        if (allPresent || anyPresent)
            found = AllFilesIntact() ? Found::Correct : Found::Check;
        else
            found = allLost ? Found::Lost : Found::Resume;

        const std::string entry = job_.Read("BrisklaneTaskEntrence");
        if (entry.empty()) {
            noEntry = true;
            entryName_ += firstFileName_;
        } else {
            entryName_ = entry;
        }
        for (int i = 0; i < kFileCount; ++i) {
            const std::string info = job_.Read(IndexedKey("BrisklaneDownloadInfo", i));
            if (!info.empty()) {
                resumeInfoPaths_[i] = info;
            } else {
                MakeInfoFolder();
                resumeInfoPaths_[i] = infoFolder_ + fileNames_[i] + ".qvinfo";
            }
        }
    }

    if (noCreateTime && noHash && noSavePath && noEntry) {
        state_ = kReady;
    } else if (found == Found::Lost) {
        LogLine(kLogController, texts::kLogAllLost);
        job_.Remove();
        state_ = kReady;
        ShowNotice(texts::kMsgFilesLost);
        savePath_ = DefaultSavePath();
    } else if (found == Found::Correct) {
        LogLine(kLogController, texts::kLogCompleteAndCorrect);
        TestSparseMode(savePath_);
        state_ = kFinished;
    } else if (found == Found::Check) {
        LogLine(kLogController, texts::kLogNeedsCheck);
        TestSparseMode(savePath_);
        state_ = kReload;
        SleepUnlocked(100);
    } else {
        LogLine(kLogController, texts::kLogResumed);
        TestSparseMode(savePath_);
        state_ = kRecover;
        SleepUnlocked(100);
    }
}

// ---------------------------------------------------------------------------------
// Helpers

bool DownloadController::IsActive(uint32_t s) const {
    return s == kPreparing || s == kDownloading || s == kResume || s == kRetry || s == kRecover ||
           s == kReload;
}

bool DownloadController::IsFinishedLocked(int i) const {
    return descriptors_[i].finished != 0;
}

void DownloadController::SetFinished(int i, bool on) {
    descriptors_[i].finished = on ? 1 : 0;
}

std::string DownloadController::FilePath(int i) const {
    return platform::JoinPath(savePath_, fileNames_[i]);
}

void DownloadController::ShowNotice(const char* text) {
    EngineMessageBox(ownerWindow_, text, texts::kCaption, 0);
}

void DownloadController::Defer(std::function<void()> work) {
    deferred_.push_back(std::move(work));
}

void DownloadController::DeferModal(const char* text) {
    IControllerFrontEnd* front = env_.frontEnd;
    std::string message = text;
    Defer([front, message] {
        if (front)
            front->ShowModalMessage(message, texts::kCaption);
        else
            platform::ShowMessage({message, texts::kCaption, 0});
    });
}

// Waits with the mutex released at every level this thread holds it, so that the
// timer thread and the front end are not held up; the work deferred so far stays
// with this operation.
void DownloadController::SleepUnlocked(uint32_t ms) {
    const int depth = depth_;
    std::vector<std::function<void()>> pending;
    pending.swap(deferred_);
    depth_ = 0;
    for (int i = 0; i < depth; ++i)
        mutex_.unlock();
    platform::SleepMs(ms);
    for (int i = 0; i < depth; ++i)
        mutex_.lock();
    depth_ = depth;
    pending.insert(pending.end(), std::make_move_iterator(deferred_.begin()),
                   std::make_move_iterator(deferred_.end()));
    deferred_.swap(pending);
}

uint64_t DownloadController::FreeSpace(const std::string& path) const {
    if (env_.freeSpace)
        return env_.freeSpace(path);
    return EngineGetFreeDiskSpace(path.c_str());
}

// ---------------------------------------------------------------------------------
// State machine

int DownloadController::PollState() {
    Scope scope(*this);
    const uint32_t s = state_;
    progress_ = GetDownloadProgress();
    const uint64_t d = UpdateDownloadedBytes();
    if (sparseMode_)
        CheckDiskSpace(s, d);
    // Only while still preparing: an error or a pause met in this poll stays.
    if (s == kPreparing && state_ == kPreparing && progress_ != 0)
        state_ = kReload;
    if (s != lastLoggedState_ || diskSpaceLow_ != lastLoggedDiskLow_) {
        lastLoggedState_ = s;
        lastLoggedDiskLow_ = diskSpaceLow_;
        LogStateChange(s);
    }
    return static_cast<int>(s);
}

void DownloadController::LogStateChange(uint32_t s) {
    const char* line = nullptr;
    switch (s) {
    case kBack:
        line = texts::kLogStateBack;
        break;
    case kReady:
        line = texts::kLogStateReady;
        break;
    case kPreparing:
        line = texts::kLogStatePreparing;
        break;
    case kDownloading:
        line = texts::kLogStateDownloading;
        break;
    case kPause:
        line = texts::kLogStatePause;
        break;
    case kResume:
        line = texts::kLogStateResume;
        break;
    case kFailed:
        line = texts::kLogStateFailed;
        break;
    case kRetry:
        line = texts::kLogStateRetry;
        break;
    case kMd5Checking:
        line = texts::kLogStateMd5Checking;
        break;
    case kCheckRecover:
        line = texts::kLogStateCheckRecover;
        break;
    case kCheckFinished:
        line = texts::kLogStateCheckFinished;
        break;
    case kRecover:
        line = texts::kLogStateRecover;
        break;
    case kReload:
        line = texts::kLogStateReload;
        break;
    case kFinished: {
        for (int i = 0; i < kFileCount; ++i)
            RecordFinishedFile(i);
        if (tasksStarted_)
            ReportProgressEvent(StatisticsEvents::kDownloadFinished);
        SetSpeedLimit(speedLimit_);
        LogLine(kLogController, texts::kLogStateFinished);
        if (shutdownWhenDone_) {
            LogLine(kLogController, texts::kLogAutoShutdown);
            IControllerSeams* seams = &seams_;
            Defer([seams] { seams->ShutdownIn(60); });
        }
        return;
    }
    default:
        return;
    }
    LogLine(kLogController, line);
}

void DownloadController::Tick() {
    Scope scope(*this);
    if (state_ == kBack || state_ == kReady || state_ == kFailed || state_ == kClosedWithoutExit)
        return;
    if (IsActive(state_)) {
        ++tickCount_;
        if (tickCount_ % 300 == 0)
            ReportProgressEvent(StatisticsEvents::kProgress);
        const uint32_t stored = static_cast<uint32_t>(job_.ReadInt("BrisklaneTaskDownloadTime", 0)) + 1;
        ++runSeconds_;
        if (downloadSeconds_ < stored) {
            downloadSeconds_ = stored;
            job_.Write("BrisklaneTaskDownloadTime", std::to_string(downloadSeconds_));
        }
    } else {
        tickCount_ = 0;
    }
    bool all = true;
    for (int i = 0; i < kFileCount; ++i) {
        TaskStatus st;
        if (EngineGetTaskStatus(tasks_[i], &st) == kEngineOk)
            FinishDetection(i);
        all = all && IsFinishedLocked(i);
    }
    if (state_ != kMd5Checking && state_ != kCheckRecover && state_ != kCheckFinished && all &&
        RunningTaskCount() == 0) {
        state_ = kFinished;
        job_.MarkJobComplete();
    }
}

void DownloadController::FinishDetection(int i) {
    int complete = 0;
    if (EngineIsTaskComplete(tasks_[i], &complete) != kEngineOk || complete != 1 || IsFinishedLocked(i))
        return;
    SetFinished(i, true);
    RecordFinishedFile(i);
    SetSpeedLimit(speedLimit_);
    events_.FileEvent(StatisticsEvents::kFileFinished, fileNames_[i], "");
}

unsigned DownloadController::GetDownloadProgress() {
    Scope scope(*this);
    uint64_t sum = 0, weight = 0;
    for (int i = 0; i < kFileCount; ++i) {
        if (IsFinishedLocked(i)) {
            const uint64_t w = config_.expectedSizes[i] / 1048576;
            weight += w;
            sum += w * 10000;
            continue;
        }
        TaskStatus st;
        if (EngineGetTaskStatus(tasks_[i], &st) != kEngineOk)
            continue;
        FinishDetection(i);
        // A code met while an error is being handled waits for the next query: handling
        // one code may ask for the progress again, and two tasks with different codes
        // would otherwise hand them back and forth without end.
        if (st.state != lastTaskCode_ && !handlingError_) {
            lastTaskCode_ = st.state;
            HandleTaskError(st.state);
        }
        const uint64_t w = st.totalKiB / 1024;
        weight += w;
        if (IsFinishedLocked(i) || st.progress > 9999)
            sum += w * 10000;
        else if (st.progress >= 1)
            sum += w * st.progress;
    }
    return static_cast<unsigned>(weight != 0 ? sum / weight : sum);
}

int DownloadController::GetSpeedText(char* buffer, const int* capacity) {
    Scope scope(*this);
    EngineSetP2PEnabled(ControllerSettings::P2PEnabled());
    std::string text;
    IControllerSeams* seams = &seams_;
    auto countQuery = [&] {
        if (speedQueryCount_ % kMirrorRefreshEvery == 0)
            Defer([seams] { seams->StartMirrorRefresh(); });
        ++speedQueryCount_;
    };
    if (IsActive(state_)) {
        uint64_t total = 0;
        for (int i = 0; i < kFileCount; ++i) {
            TaskStatus st;
            if (!IsFinishedLocked(i) && EngineGetTaskStatus(tasks_[i], &st) == kEngineOk)
                total += st.downloadRate;
        }
        totalSpeed_ = static_cast<uint32_t>(std::min<uint64_t>(total, std::numeric_limits<uint32_t>::max()));
        if (totalSpeed_ > kTransferringAbove) {
            state_ = kDownloading;
            ApplyPeerLimits(peerLimitTotal_, pendingPeerLimitTotal_);
        }
        if (state_ == kDownloading)
            countQuery();
        else
            speedQueryCount_ = 0;
        const uint64_t cap = static_cast<uint64_t>(speedLimit_ > 0 ? speedLimit_ : 0) * 1024;
        if (speedLimit_ != 0 && cap < totalSpeed_) {
            const uint64_t toward = displaySpeed_ < cap ? totalSpeed_ : cap;
            displaySpeed_ = static_cast<uint32_t>((toward + displaySpeed_) / 2);
        } else {
            displaySpeed_ = totalSpeed_;
        }
        text = DisplayFormat::Speed(displaySpeed_);
    } else if (state_ == kCheckRecover) {
        countQuery();
    } else {
        speedQueryCount_ = 0;
        text = "0 B/s";
    }
    return DisplayFormat::CopyText(text, buffer, capacity);
}

void DownloadController::PrimaryAction() {
    Scope scope(*this);
    IControllerSeams* seams = &seams_;
    switch (state_) {
    case kBack:
    case kReady:
        Begin();
        break;
    case kDownloading:
    case kResume:
        Pause();
        break;
    case kPause:
        Continue();
        break;
    case kFinished:
        events_.Event(StatisticsEvents::kInstallPressed, "", 0);
        Defer([seams] { seams->AskVerifyThenInstall(); });
        break;
    case kMd5Checking:
        ShowNotice(texts::kMsgMd5Working);
        break;
    case kCheckRecover:
        ShowNotice(texts::kMsgRepairing);
        break;
    case kCheckFinished:
        events_.Event(StatisticsEvents::kInstallPressed, texts::kMsgAlreadyVerified, 0);
        Defer([seams] { seams->Install(true); });
        break;
    default:
        break;
    }
}

bool DownloadController::HandleTaskError(uint32_t code) {
    Scope scope(*this);
    if (code == 0 || code == lastShownCode_)
        return true;
    lastShownCode_ = code;
    const bool outer = !handlingError_;
    handlingError_ = true;
    bool quiet = false;
    switch (code) {
    case kTaskStateNetworkError:
        ShowNotice(texts::kMsgNetworkError);
        break;
    case kTaskStateMetadataTimeout:
        ReportProgressEvent(StatisticsEvents::kConnectTimeout);
        ShowNotice(texts::kMsgConnectTimeout);
        break;
    case kTaskStateDiskFull:
        if (state_ == kDownloading)
            PauseAll();
        diskSpaceLow_ = 1;
        ReportProgressEvent(StatisticsEvents::kDiskFull);
        ShowNotice(texts::kMsgDiskFull);
        break;
    case kTaskStateGaveUp:
        ShowNotice(texts::kMsgDownloadError);
        break;
    case kTaskStateDiskError:
        state_ = kFailed;
        ShowNotice(texts::kMsgDiskBroken);
        break;
    default:
        quiet = true;
        break;
    }
    if (outer)
        handlingError_ = false;
    return quiet;
}

int DownloadController::IsDiskSpaceLow() const {
    Scope scope(*this);
    return static_cast<int>(diskSpaceLow_);
}

// ---------------------------------------------------------------------------------
// The job file

void DownloadController::WriteJobStart() {
    Scope scope(*this);
    job_.WriteJobStart(taskHash_);
    downloadSeconds_ = 0;
    runSeconds_ = 0;
    WriteJobPaths();
    EngineSetHttpDisguise(1);
}

void DownloadController::WriteJobPaths() {
    Scope scope(*this);
    if (state_ == kBack || state_ == kReady) {
        for (int i = 0; i < kFileCount; ++i) {
            job_.Write(IndexedKey("BrisklaneHttpTaskUrl", i), packageUrls_[i]);
            job_.Write(IndexedKey("BrisklaneHttpTaskFile", i), fileNames_[i]);
        }
    }
    if (savePath_.empty())
        savePath_ = DefaultSavePath();
    if (entryName_.empty())
        entryName_ += firstFileName_;
    job_.Write("BrisklaneTaskEntrence", entryName_);
    if (folderName_.empty())
        folderName_ = kDefaultFolderName;
    job_.Write("BrisklaneTaskFloder", folderName_);
}

bool DownloadController::IsJobComplete() const {
    Scope scope(*this);
    return job_.IsJobComplete();
}

void DownloadController::SaveDownloadedSize(uint64_t bytes) {
    Scope scope(*this);
    job_.SaveDownloadedSize(bytes);
}

void DownloadController::RecordFinishedFile(int i) {
    Scope scope(*this);
    if (i < 0 || i >= kFileCount)
        return;
    // The entry file arrives without an execute bit; opening it must start it.
    if (fileNames_[i] == entryName_)
        platform::MakeExecutable(FilePath(i));
    job_.RecordFinishedFile(i, FilePath(i));
}

bool DownloadController::IsFileIntact(int i, bool record) {
    Scope scope(*this);
    if (i < 0 || i >= kFileCount)
        return false;
    if (job_.MatchesFinishRecord(i, FilePath(i)))
        return true;
    if (record)
        AddMissingFile(i);
    return false;
}

bool DownloadController::AllFilesIntact() {
    Scope scope(*this);
    bool all = true;
    for (int i = 0; i < kFileCount; ++i)
        all = IsFileIntact(i, true) && all;
    return all;
}

void DownloadController::AddMissingFile(int i) {
    Scope scope(*this);
    if (i < 0 || i >= kFileCount)
        return;
    for (int k = 0; k < missingCount_; ++k) {
        if (missingFiles_[k] == i)
            return;
    }
    // Four distinct indexes fill the list; nothing can be beyond it.
    if (missingCount_ >= kFileCount)
        return;
    missingFiles_[missingCount_++] = i;
}

bool DownloadController::IsMissing(int i) const {
    for (int k = 0; k < missingCount_; ++k) {
        if (missingFiles_[k] == i)
            return true;
    }
    return false;
}

int DownloadController::GetCloseSelection() const {
    Scope scope(*this);
    return job_.GetCloseSelection();
}

int DownloadController::SetCloseSelection(unsigned choice) {
    Scope scope(*this);
    return job_.SetCloseSelection(choice);
}

// ---------------------------------------------------------------------------------
// Disk space

bool DownloadController::EnableVolumePrivilege(const std::string& path) {
    if (env_.mayReserveSpace)
        return env_.mayReserveSpace(path);
    return platform::VolumeSupportsReservation(path);
}

void DownloadController::TestSparseMode(const std::string& path) {
    Scope scope(*this);
    if (!SomethingExistsAlong(path))
        return;
    if (EnableVolumePrivilege(path)) {
        sparseMode_ = false;
        LogLine(kLogController, texts::kLogReserveUpFront);
        return;
    }
    const bool sparse =
        env_.supportsSparseFiles ? env_.supportsSparseFiles(path) : platform::VolumeSupportsSparseFiles(path);
    sparseMode_ = sparse;
    LogLine(kLogController, sparse ? texts::kLogSparseSupported : texts::kLogSparseNotSupported);
}

bool DownloadController::HasSpaceToStart() {
    Scope scope(*this);
    if (FreeSpace(savePath_) >= requiredSpace_)
        return true;
    ShowNotice(texts::kMsgNoSpaceToStart);
    diskSpaceLow_ = 1;
    return false;
}

void DownloadController::CheckDiskSpace(uint32_t s, uint64_t downloaded) {
    Scope scope(*this);
    const uint64_t free = FreeSpace(savePath_);
    if (free + downloaded >= requiredSpace_) {
        diskSpaceLow_ = 0;
        if (s == kBack && state_ == kBack)
            state_ = kReady;
        return;
    }
    SleepUnlocked(50);
    // Another thread may have moved the job on meanwhile; the next poll judges anew.
    if (state_ != s)
        return;
    const uint64_t d2 = UpdateDownloadedBytes();
    if (free + d2 + kSpaceMargin >= requiredSpace_)
        return;
    switch (s) {
    case kReady:
        state_ = kBack;
        ShowNotice(texts::kMsgNoSpaceBack);
        diskSpaceLow_ = 1;
        break;
    case kBack:
    case kPause:
        diskSpaceLow_ = 1;
        break;
    case kDownloading:
        PauseAll();
        ReportProgressEvent(StatisticsEvents::kDiskFull);
        ShowNotice(texts::kMsgReserveTooSmall);
        diskSpaceLow_ = 1;
        break;
    default:
        break;
    }
}

// ---------------------------------------------------------------------------------
// Texts

int DownloadController::GetSizeText(char* buffer, const int* capacity) {
    Scope scope(*this);
    const uint64_t total = requiredSpace_ >= kSpaceMargin ? requiredSpace_ - kSpaceMargin : 0;
    std::string left;
    if (state_ == kFinished)
        left = DisplayFormat::Size(total);
    else
        left = downloadedBytes_ != 0 ? DisplayFormat::Size(downloadedBytes_) : "0 B";
    return DisplayFormat::CopyText(left + "/" + DisplayFormat::Size(total), buffer, capacity);
}

int DownloadController::GetRepairSpeedText(char* buffer, const int* capacity) {
    Scope scope(*this);
    return DisplayFormat::CopyText(DisplayFormat::Speed(repairSpeed_), buffer, capacity);
}

int DownloadController::GetFileName(int i, char* buffer, const int* capacity) {
    Scope scope(*this);
    if (i < 0 || i >= kFileCount)
        return DisplayFormat::CopyText("", buffer, capacity);
    return DisplayFormat::CopyText(fileNames_[i], buffer, capacity);
}

int DownloadController::GetFileStatusText(int i, char* buffer, const int* capacity) {
    Scope scope(*this);
    if (i < 0 || i >= kFileCount)
        return DisplayFormat::CopyText("", buffer, capacity);
    std::string text;
    if (IsFinishedLocked(i)) {
        switch (state_) {
        case kMd5Checking:
            if (i > checkFileIndex_)
                text = texts::kStatusWaitVerify;
            else if (i == checkFileIndex_)
                text = std::string(texts::kStatusVerifying) + PercentWithBlanks(checkProgress_, "  ");
            else
                text = texts::kStatusVerified;
            break;
        case kCheckRecover:
            if (i > checkFileIndex_)
                text = texts::kStatusWaitVerify;
            else if (i < checkFileIndex_)
                text = texts::kStatusVerified;
            else if (repairProgress_ != 0)
                text = std::string(texts::kStatusRepairing) + PercentWithBlanks(repairProgress_, "  ");
            else
                text = texts::kStatusPrepareRepair;
            break;
        case kCheckFinished:
            text = texts::kStatusVerified;
            break;
        default:
            text = texts::kStatusDone;
            break;
        }
    } else {
        TaskStatus st;
        const char* idle = state_ == kDownloading ? texts::kStatusPreparing : texts::kStatusNotStarted;
        if (EngineGetTaskStatus(tasks_[i], &st) != kEngineOk || st.progress == 0)
            text = idle;
        else if (st.progress >= 10000)
            text = texts::kStatusDone;
        else
            text = PercentWithBlanks(st.progress, "    ");
    }
    return DisplayFormat::CopyText(text, buffer, capacity);
}

int DownloadController::GetPackagePath(char* buffer, const int* capacity) {
    Scope scope(*this);
    if (savePath_.empty())
        return 0;
    return DisplayFormat::CopyText(platform::JoinPath(savePath_, firstFileName_), buffer, capacity);
}

int DownloadController::GetSavePath(char* buffer, const int* capacity) {
    Scope scope(*this);
    const int length = static_cast<int>(savePath_.size());
    if (!buffer)
        return length;
    if (!capacity || *capacity <= length)
        return 0;
    std::memcpy(buffer, savePath_.c_str(), savePath_.size() + 1);
    return -1;
}

int DownloadController::SetSavePath(const std::string& path) {
    Scope scope(*this);
    savePath_ = path;
    return 1;
}

int DownloadController::GetVersionText(char* buffer, const int* capacity) {
    return DisplayFormat::CopyText(texts::kVersionText, buffer, capacity);
}

// ---------------------------------------------------------------------------------
// Task control

void DownloadController::Begin() {
    Scope scope(*this);
    if (FreeSpace(savePath_) < requiredSpace_) {
        ShowNotice(texts::kMsgNoSpaceToStart);
        diskSpaceLow_ = 1;
        return;
    }
    events_.Event(StatisticsEvents::kDownloadStarted, "", StatisticsEvents::kWithMachine);
    WriteJobStart();
    job_.Write("BrisklaneTaskSavePath", savePath_);
    TestSparseMode(savePath_);
    if (EngineInitialize(dataFolder_.c_str()) != kEngineOk) {
        LogLine(kLogController, texts::kLogBeginInitFailed);
        events_.Event(StatisticsEvents::kStartFailed, texts::kEventBeginInitFailed, 0);
        DeferModal(texts::kMsgStartFailed);
    } else {
        for (int i = 0; i < kFileCount; ++i)
            CreateTask(i);
    }
    SetSpeedLimit(speedLimit_);
    state_ = kPreparing;
}

void DownloadController::ReleaseTorrent(int i, TaskDescriptor& d, const char* failureEvent) {
    ResourceExtractor extractor(env_.resourceFile);
    const std::string& name = config_.expectedMd5[i];
    const int r = extractor.ReleaseResource(ResourceIds::Torrent(i), dataFolder_, name,
                                            ResourceIds::kTorrentType, false);
    if (r >= 0 &&
        CopyField(d.resourceId, "file://" + ResourceExtractor::ReleasedPath(r, dataFolder_, name))) {
        d.flags |= kTaskFlagP2SP;
        return;
    }
    LogLine(kLogController, texts::kTorrentReleaseFailed);
    events_.Event(failureEvent, texts::kResourceReleaseFailed, 0);
}

int DownloadController::CreateTask(int i) {
    Scope scope(*this);
    if (i < 0 || i >= kFileCount)
        return kEngineBadArgument;
    TaskDescriptor& d = descriptors_[i];
    std::memset(&d, 0, sizeof d);
    d.flags = kTaskFlags;
    d.sources = packageUrls_[i].c_str();
    ReleaseTorrent(i, d, StatisticsEvents::kResourceReleaseFailed);
    // A path cut to fit would name another file.
    if (!CopyField(d.targetPath, FilePath(i)) || !CopyField(d.resumeInfoPath, resumeInfoPaths_[i]))
        return kEngineBadArgument;
    const int r = EngineCreateTask(&d);
    if (r == kEngineOk)
        tasks_[i] = d.task;
    tasksStarted_ = 1;
    SetSpeedLimit(speedLimit_);
    return r;
}

void DownloadController::Reload() {
    Scope scope(*this);
    WriteJobStart();
    if (EngineInitialize(dataFolder_.c_str()) != kEngineOk) {
        LogLine(kLogController, texts::kLogReloadInitFailed);
        events_.Event(StatisticsEvents::kStartFailed, texts::kEventReloadInitFailed, 0);
        DeferModal(texts::kMsgStartFailed);
    } else {
        for (int j = 0; j < kFileCount; ++j) {
            IsFileIntact(j, true);
            if (IsMissing(j))
                ReloadTask(j, false);
            else
                SetFinished(j, true);
        }
    }
    if (RunningTaskCount() > 0) {
        events_.Event(StatisticsEvents::kContinued, "", 0);
        tasksStarted_ = 1;
        SetSpeedLimit(speedLimit_);
    } else {
        tasksStarted_ = 0;
    }
}

int DownloadController::ReloadTask(int i, bool force) {
    Scope scope(*this);
    if (i < 0 || i >= kFileCount)
        return kEngineBadArgument;
    if (packageUrls_[i].empty())
        ShowNotice(texts::kMsgBadSource);
    TaskDescriptor& d = descriptors_[i];
    d.sources = packageUrls_[i].c_str();
    d.flags = kTaskFlags;
    ReleaseTorrent(i, d, StatisticsEvents::kStartFailed);
    int r = kEngineBadArgument;
    if (CopyField(d.resumeInfoPath, resumeInfoPaths_[i]) && CopyField(d.targetPath, FilePath(i)))
        r = EngineRecoverTask(&d, force);
    if (r != kEngineOk) {
        if (force)
            reloadFailed_ = 1;
        LogLine(kLogController, texts::kLogReloadFailed);
        char text[64];
        std::snprintf(text, sizeof text, "ErrorCode : %d", r);
        ShowNotice(text);
    } else {
        if (force)
            reloadFailed_ = 0;
        LogLine(kLogController, texts::kLogReloadOk);
        tasks_[i] = d.task;
        job_.Write(IndexedKey("BrisklaneTask", i), fileNames_[i]);
    }
    return r;
}

void DownloadController::Pause() {
    Scope scope(*this);
    ReportProgressEvent(StatisticsEvents::kPaused);
    PauseAll();
}

void DownloadController::PauseAll() {
    Scope scope(*this);
    EngineTask list[kFileCount];
    int results[kFileCount];
    unsigned n = 0;
    for (EngineTask t : tasks_) {
        if (t != 0)
            list[n++] = t;
    }
    EngineStopTasks(list, n, 0, results);
    state_ = kPause;
}

void DownloadController::Continue() {
    Scope scope(*this);
    events_.Event(StatisticsEvents::kContinued, "", 0);
    for (int i = 0; i < kFileCount; ++i) {
        if (IsFileIntact(i, false))
            continue;
        SetFinished(i, false);
        if (tasks_[i] != 0)
            EngineRestartTask(tasks_[i]);
    }
    state_ = kResume;
}

int DownloadController::StopTask(int i) {
    Scope scope(*this);
    if (i < 0 || i >= kFileCount)
        return kEngineNoTask;
    return EngineStopTask(tasks_[i], 0);
}

void DownloadController::SetSpeedLimit(int kib) {
    Scope scope(*this);
    speedLimit_ = kib != 0 ? kib : TaskLimits::kNoLimit;
    const int per = TaskLimits::SpeedPerTask(kib, RunningTaskCount());
    for (EngineTask t : tasks_)
        EngineSetTaskSpeedLimit(t, kSpeedLimitDownload, per);
}

void DownloadController::ApplyPeerLimits(uint32_t a, uint32_t b) {
    Scope scope(*this);
    const int n = RunningTaskCount();
    if (a == lastPeerLimit_ && n == lastPeerLimitCount_)
        return;
    lastPeerLimit_ = a;
    peerLimitTotal_ = a;
    lastPeerLimitCount_ = n;
    if (n == 0)
        return;
    std::array<bool, 4> finished{};
    for (int i = 0; i < kFileCount; ++i)
        finished[i] = IsFinishedLocked(i);
    const auto limits = TaskLimits::PeerLimitsPerFile(static_cast<int>(a), static_cast<int>(b), n, finished);
    for (int i = 0; i < kFileCount; ++i) {
        if (!finished[i])
            EngineSetTaskPeerLimits(tasks_[i], limits[i].first, limits[i].second);
    }
}

int DownloadController::RunningTaskCount() {
    Scope scope(*this);
    int n = 0;
    for (int i = 0; i < kFileCount; ++i) {
        TaskStatus st;
        if (!IsFinishedLocked(i) && EngineGetTaskStatus(tasks_[i], &st) == kEngineOk)
            ++n;
    }
    return n;
}

uint64_t DownloadController::UpdateDownloadedBytes() {
    Scope scope(*this);
    uint64_t total = 0;
    for (int i = 0; i < kFileCount; ++i) {
        TaskStatus st;
        if (EngineGetTaskStatus(tasks_[i], &st) == kEngineOk) {
            total += st.downloadedBytes;
        } else {
            const int64_t allocated = EngineGetAllocatedSize(FilePath(i).c_str());
            if (allocated >= 0)
                total += static_cast<uint64_t>(allocated);
        }
    }
    switch (state_) {
    case kBack:
    case kReady:
    case kPause:
    case kFailed:
    case kFinished:
    case kMd5Checking:
    case kInstalling:
    case 14:
    case kClosedWithoutExit:
        break;
    default:
        if (total != downloadedBytes_)
            SaveDownloadedSize(total);
        break;
    }
    downloadedBytes_ = total;
    return total;
}

void DownloadController::ReportProgressEvent(const std::string& code, const std::string& message) {
    Scope scope(*this);
    uint64_t http = 0, p2p = 0;
    for (int i = 0; i < kFileCount; ++i) {
        TaskStatus st;
        if (EngineGetTaskStatus(tasks_[i], &st) == kEngineOk) {
            lastHttpBytes_[i] = st.httpBytes;
            lastPeerBytes_[i] = st.peerBytes;
        }
        http += lastHttpBytes_[i];
        p2p += lastPeerBytes_[i];
    }
    EventReporter::Progress p;
    p.code = code;
    p.totalTime = runSeconds_;
    p.totalBytes = http + p2p;
    if (runSeconds_ != 0) {
        p.averageSpeed = p.totalBytes / runSeconds_;
        p.httpAverage = http / runSeconds_;
        p.p2pAverage = p2p / runSeconds_;
    }
    p.progress = DisplayFormat::Percent(GetDownloadProgress());
    p.httpBytes = http;
    p.p2pBytes = p2p;
    p.errorMessage = message;
    events_.ProgressEvent(p);
}

// ---------------------------------------------------------------------------------
// Settings and observers

void DownloadController::SetShutdownWhenDone(int on) {
    Scope scope(*this);
    shutdownWhenDone_ = on;
}

void DownloadController::MarkUserExit() {
    Scope scope(*this);
    userExit_ = 1;
    exitConfirmed_ = 1;
}

void DownloadController::ClearUserExit() {
    Scope scope(*this);
    userExit_ = 0;
    exitConfirmed_ = 0;
}

void DownloadController::OnExit() {
    // The engine goes below: a verification still at work must end first, and it may
    // be waiting for the mutex.
    verifier_->Stop();
    exit_->OnExit();
}

void DownloadController::Install(bool verified) {
    exit_->Install(verified);
}

bool DownloadController::InstallerLaunched() const {
    Scope scope(*this);
    return installerLaunched_ != 0;
}

void DownloadController::ShutdownIn(unsigned seconds) {
    exit_->ShutdownIn(seconds);
}

void DownloadController::SetP2PEnabled(int on) {
    ControllerSettings::SetP2PEnabled(on);
    EngineSetP2PEnabled(on);
}

void DownloadController::SetOwnerWindow(void* window) {
    Scope scope(*this);
    ownerWindow_ = window;
}

void DownloadController::AskVerifyThenInstall() {
    IControllerFrontEnd* front = nullptr;
    {
        Scope scope(*this);
        front = env_.frontEnd;
    }
    // Without a front end to ask, the safer answer.
    const bool verify = front ? front->AskYesNo(texts::kMsgAskVerify, texts::kCaption) : true;
    if (!verify) {
        events_.Event(StatisticsEvents::kVerifyDeclined, "", 0);
        seams_.Install(false);
        return;
    }
    events_.Event(StatisticsEvents::kVerifyAccepted, "", 0);
    StartVerification(true);
}

void DownloadController::StartVerification(bool autoInstall) {
    Scope scope(*this);
    switch (state_) {
    case kCheckRecover:
        ShowNotice(texts::kMsgRepairing);
        break;
    case kMd5Checking:
        ShowNotice(texts::kMsgMd5Working);
        break;
    case kCheckFinished: {
        IControllerSeams* seams = &seams_;
        Defer([seams] { seams->Install(true); });
        break;
    }
    case kFinished:
        state_ = kMd5Checking;
        checkFileIndex_ = 0;
        checkProgress_ = 0;
        autoInstallAfterCheck_ = autoInstall ? 1 : 0;
        WriteJobStart();
        if (!verifier_->Start()) {
            state_ = kFinished;
            ShowNotice(texts::kMsgCheckThreadFailed);
        }
        break;
    case kFailed:
        if (progress_ == 10000) {
            ShowNotice(PackageVerifier::RepairFailureText().c_str());
            break;
        }
        [[fallthrough]];
    default:
        ShowNotice(texts::kMsgFinishDownloadFirst);
        break;
    }
}

bool DownloadController::IsVerifying() const {
    return verifier_->Running();
}

unsigned DownloadController::GetCheckProgress() const {
    Scope scope(*this);
    return PackageVerifier::OverallProgress(config_.expectedSizes, checkFileIndex_, checkProgress_);
}

unsigned DownloadController::GetRepairProgress() const {
    Scope scope(*this);
    return repairProgress_;
}

bool DownloadController::WasRepaired() const {
    Scope scope(*this);
    return repairedAny_ != 0;
}

bool DownloadController::AutoInstallAfterCheck() const {
    Scope scope(*this);
    return autoInstallAfterCheck_ != 0;
}

bool DownloadController::GatewayFound() const {
    Scope scope(*this);
    return gatewayFound_ != 0;
}

uint32_t DownloadController::State() const {
    Scope scope(*this);
    return state_;
}

std::vector<int> DownloadController::MissingFiles() const {
    Scope scope(*this);
    return std::vector<int>(missingFiles_, missingFiles_ + missingCount_);
}

bool DownloadController::IsFileFinished(int i) const {
    Scope scope(*this);
    return i >= 0 && i < kFileCount && IsFinishedLocked(i);
}

EngineTask DownloadController::Task(int i) const {
    Scope scope(*this);
    return i >= 0 && i < kFileCount ? tasks_[i] : 0;
}

uint64_t DownloadController::RequiredSpace() const {
    Scope scope(*this);
    return requiredSpace_;
}

bool DownloadController::SparseMode() const {
    Scope scope(*this);
    return sparseMode_;
}

uint32_t DownloadController::Progress() const {
    Scope scope(*this);
    return progress_;
}

uint64_t DownloadController::DownloadedBytes() const {
    Scope scope(*this);
    return downloadedBytes_;
}

uint32_t DownloadController::DownloadSeconds() const {
    Scope scope(*this);
    return downloadSeconds_;
}

uint32_t DownloadController::PeerLimitTotal() const {
    Scope scope(*this);
    return peerLimitTotal_;
}

int DownloadController::SpeedLimit() const {
    Scope scope(*this);
    return speedLimit_;
}

bool DownloadController::ReloadFailed() const {
    Scope scope(*this);
    return reloadFailed_ != 0;
}

bool DownloadController::TasksStarted() const {
    Scope scope(*this);
    return tasksStarted_ != 0;
}

std::string DownloadController::SavePath() const {
    Scope scope(*this);
    return savePath_;
}

std::string DownloadController::DataFolder() const {
    Scope scope(*this);
    return dataFolder_;
}

std::string DownloadController::TaskFilePath() const {
    Scope scope(*this);
    return taskFilePath_;
}

std::string DownloadController::ResumeInfoPath(int i) const {
    Scope scope(*this);
    return i >= 0 && i < kFileCount ? resumeInfoPaths_[i] : std::string();
}

std::string DownloadController::TaskHash() const {
    Scope scope(*this);
    return taskHash_;
}
