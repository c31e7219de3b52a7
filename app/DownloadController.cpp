#include "app/DownloadController.h"

#include "app/ControllerSettings.h"
#include "app/ControllerTexts.h"
#include "app/DisplayFormat.h"
#include "app/DisplayTexts.h"
#include "app/EmbeddedConfigBlock.h"
#include "app/IControllerFrontEnd.h"
#include "app/IControllerSeams.h"
#include "app/PackageVerifier.h"
#include "app/PortChooser.h"
#include "app/ProgramExit.h"
#include "app/ProgramVersion.h"
#include "app/ResourceExtractor.h"
#include "app/ResourceIds.h"
#include "app/StatisticsEvents.h"
#include "platform/Paths.h"
#include "platform/ProfileFile.h"
#include "platform/ResourceArchive.h"

#include <cstring>
#include <unistd.h>
#include <utility>

namespace {

constexpr const char* kStatsFileName = "dataupload.vedare";
constexpr const char* kTuningFile = "BrisklaneTaskLink.ini";
constexpr const char* kGameVersion = "10.1.1.7";
constexpr int kPeerLimitDefault = 36;
constexpr int kPeerLimitLowest = 10;
constexpr int kPeerLimitHighest = 200;
constexpr uint32_t kPendingPeerLimit = 108;
constexpr uint32_t kResumeSettleMs = 100; // after a start that found a job to take up

std::string CurrentDirectory() {
    char buf[4096];
    if (::getcwd(buf, sizeof buf))
        return buf;
    return ".";
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
    : ownSeams_(std::make_unique<OwnSeams>(*this)), context_(std::move(env), *ownSeams_),
      job_(context_, state_), disk_(context_, state_), tasks_(context_, state_, job_, disk_),
      machine_(context_, state_, job_, disk_, tasks_),
      verifier_(std::make_unique<PackageVerifier>(context_, state_, job_, tasks_)),
      exit_(std::make_unique<ProgramExit>(context_, state_, job_, tasks_)) {}

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
    Scope scope(context_.lock());
    context_.SetConfig(config);
}

int DownloadController::Initialize() {
    Scope scope(context_.lock());
    const ControllerEnvironment& env = context_.env();
    EngineOpenLog();
    state_.SetDiskSpaceLow(false);
    tasks_.Reset();
    machine_.Reset();
    if (!disk_.SetRequiredSpace(context_.config().expectedSizes))
        return -1;

    job_.SetUp(env.dataRoot.empty() ? platform::CommonAppDataFolder() : env.dataRoot);
    if (CBrisklaneLog* log = EngineLog())
        log->SetBasePath(job_.LogBasePath().c_str());
    LogLine(kLogController, texts::kLogInitializing);

    ResourceExtractor extractor(env.resourceFile);
    const std::string& folder = job_.DataFolder();
    const int released = extractor.ReleaseResource(ResourceIds::kStatistics, folder, kStatsFileName,
                                                   ResourceIds::kStatisticsType, true);
    if (released < 0) {
        LogLine(kLogController, texts::kResourceReleaseFailed);
        context_.events().Event(StatisticsEvents::kResourceReleaseFailed, texts::kResourceReleaseFailed, 0);
        return -2;
    }
    const std::string statsPath = ResourceExtractor::ReleasedPath(released, folder, kStatsFileName);
    const std::string version = AppVersion();
    CollectDataUpload(statsPath.c_str(), "39", version.c_str(), kGameVersion, "1");
    EngineSetListenPort(ChoosePort());

    exit_->Reset();
    LogLine(kLogController, texts::kLogSelfRecoveryOff);

    const std::string dir = env.workingDirectory.empty() ? CurrentDirectory() : env.workingDirectory;
    const std::string tuning = platform::JoinPath(dir, kTuningFile);
    const int limit = platform::GetProfileInt("BrisklaneTask", "BrisklaneTaskLink", 0, tuning.c_str());
    const bool inRange = limit >= kPeerLimitLowest && limit <= kPeerLimitHighest;
    tasks_.SetPeerLimitTotals(static_cast<uint32_t>(inRange ? limit : kPeerLimitDefault), kPendingPeerLimit);

    switch (job_.Evaluate()) {
    case JobRecord::Found::Nothing:
    case JobRecord::Found::Lost:
        state_.Enter(kReady);
        return 0;
    case JobRecord::Found::Complete:
        disk_.TestSparseMode(job_.SavePath());
        state_.Enter(kFinished);
        break;
    case JobRecord::Found::NeedsCheck:
        disk_.TestSparseMode(job_.SavePath());
        state_.Enter(kReload);
        context_.SleepUnlocked(kResumeSettleMs);
        break;
    case JobRecord::Found::Resumable:
        disk_.TestSparseMode(job_.SavePath());
        state_.Enter(kRecover);
        context_.SleepUnlocked(kResumeSettleMs);
        break;
    }
    tasks_.Reload();
    return 1;
}

int DownloadController::ChoosePort() {
    if (context_.env().choosePort)
        return context_.env().choosePort();
    PortChooser chooser;
    chooser.SetEventReporter(context_.events());
    return chooser.ChoosePortAndForward();
}

std::string DownloadController::AppVersion() const {
    const ControllerEnvironment& env = context_.env();
    if (!env.programVersion.empty())
        return env.programVersion;
    if (env.resourceFile.empty())
        return ProgramVersion::Text();
    platform::ResourceArchive archive;
    archive.Load(env.resourceFile);
    return ProgramVersion::FromResources(archive);
}

// ---------------------------------------------------------------------------------
// The view

ControllerView DownloadController::Snapshot() const {
    Scope scope(context_.lock());
    ControllerView v;
    const uint32_t s = state_.Get();
    const TaskControl::Statuses statuses = tasks_.ReadStatuses();
    v.state = s;
    v.downloadProgress = tasks_.DownloadProgress(statuses);
    v.checkProgress = verifier_->CheckProgress();
    v.repairProgress = verifier_->RepairProgress();
    v.speedText = machine_.SpeedText();
    v.repairSpeedText = DisplayFormat::Speed(verifier_->RepairSpeed());
    v.sizeText = DisplayTexts::SizeText(s, disk_.PackageBytes(), tasks_.DownloadedBytes());
    v.versionText = texts::kVersionText;
    v.savePath = job_.SavePath();
    v.packagePath = DisplayTexts::PackagePath(job_.SavePath(), context_.FileName(0));
    const DisplayTexts::Check check{verifier_->CheckFileIndex(), verifier_->FileCheckProgress(),
                                    verifier_->RepairProgress()};
    for (int i = 0; i < kFileCount; ++i) {
        ControllerView::FileRow& row = v.files[i];
        row.name = context_.FileName(i);
        row.finished = tasks_.IsFinished(i);
        row.status =
            DisplayTexts::FileStatusText(i, row.finished, s, check, statuses[i] ? &*statuses[i] : nullptr);
    }
    v.diskSpaceLow = state_.DiskSpaceLow();
    v.watchingDiskSpace = disk_.SparseMode();
    v.verifying = verifier_->Running();
    v.wasRepaired = verifier_->WasRepaired();
    v.installerLaunched = exit_->InstallerLaunched();
    v.userExit = exit_->UserExit();
    return v;
}

// ---------------------------------------------------------------------------------
// The state machine

int DownloadController::PollState() {
    Scope scope(context_.lock());
    return machine_.PollState();
}

void DownloadController::Tick() {
    Scope scope(context_.lock());
    machine_.Tick();
}

void DownloadController::PrimaryAction() {
    Scope scope(context_.lock());
    machine_.PrimaryAction();
}

unsigned DownloadController::GetDownloadProgress() const {
    Scope scope(context_.lock());
    return tasks_.DownloadProgress();
}

int DownloadController::GetSpeedText(char* buffer, const int* capacity) const {
    Scope scope(context_.lock());
    return DisplayFormat::CopyText(machine_.SpeedText(), buffer, capacity);
}

bool DownloadController::HandleTaskError(uint32_t code) {
    Scope scope(context_.lock());
    return machine_.HandleTaskError(code);
}

int DownloadController::IsDiskSpaceLow() const {
    Scope scope(context_.lock());
    return state_.DiskSpaceLow() ? 1 : 0;
}

// ---------------------------------------------------------------------------------
// The job file

void DownloadController::WriteJobStart() {
    Scope scope(context_.lock());
    job_.WriteJobStart();
}

void DownloadController::WriteJobPaths() {
    Scope scope(context_.lock());
    job_.WriteJobPaths();
}

bool DownloadController::IsJobComplete() const {
    Scope scope(context_.lock());
    return job_.IsJobComplete();
}

void DownloadController::SaveDownloadedSize(uint64_t bytes) {
    Scope scope(context_.lock());
    job_.SaveDownloadedSize(bytes);
}

void DownloadController::RecordFinishedFile(int i) {
    Scope scope(context_.lock());
    job_.RecordFinishedFile(i);
}

bool DownloadController::IsFileIntact(int i, bool record) {
    Scope scope(context_.lock());
    return job_.IsFileIntact(i, record);
}

bool DownloadController::AllFilesIntact() {
    Scope scope(context_.lock());
    return job_.AllFilesIntact();
}

void DownloadController::AddMissingFile(int i) {
    Scope scope(context_.lock());
    job_.AddMissingFile(i);
}

int DownloadController::GetCloseSelection() const {
    Scope scope(context_.lock());
    return job_.GetCloseSelection();
}

int DownloadController::SetCloseSelection(unsigned choice) {
    Scope scope(context_.lock());
    return job_.SetCloseSelection(choice);
}

// ---------------------------------------------------------------------------------
// Disk space

bool DownloadController::EnableVolumePrivilege(const std::string& path) {
    return disk_.MayReserveSpace(path);
}

void DownloadController::TestSparseMode(const std::string& path) {
    Scope scope(context_.lock());
    disk_.TestSparseMode(path);
}

bool DownloadController::HasSpaceToStart() {
    Scope scope(context_.lock());
    return disk_.HasSpaceToStart(job_.SavePath());
}

void DownloadController::CheckDiskSpace(uint32_t s, uint64_t downloaded) {
    Scope scope(context_.lock());
    machine_.CheckDiskSpace(s, downloaded);
}

// ---------------------------------------------------------------------------------
// Text queries

int DownloadController::GetSizeText(char* buffer, const int* capacity) const {
    Scope scope(context_.lock());
    const std::string text =
        DisplayTexts::SizeText(state_.Get(), disk_.PackageBytes(), tasks_.DownloadedBytes());
    return DisplayFormat::CopyText(text, buffer, capacity);
}

int DownloadController::GetRepairSpeedText(char* buffer, const int* capacity) const {
    Scope scope(context_.lock());
    return DisplayFormat::CopyText(DisplayFormat::Speed(verifier_->RepairSpeed()), buffer, capacity);
}

int DownloadController::GetFileName(int i, char* buffer, const int* capacity) const {
    Scope scope(context_.lock());
    if (i < 0 || i >= kFileCount)
        return DisplayFormat::CopyText("", buffer, capacity);
    return DisplayFormat::CopyText(context_.FileName(i), buffer, capacity);
}

int DownloadController::GetFileStatusText(int i, char* buffer, const int* capacity) const {
    Scope scope(context_.lock());
    if (i < 0 || i >= kFileCount)
        return DisplayFormat::CopyText("", buffer, capacity);
    const DisplayTexts::Check check{verifier_->CheckFileIndex(), verifier_->FileCheckProgress(),
                                    verifier_->RepairProgress()};
    const bool finished = tasks_.IsFinished(i);
    TaskStatus st;
    const bool answered = !finished && EngineGetTaskStatus(tasks_.Task(i), &st) == kEngineOk;
    const std::string text =
        DisplayTexts::FileStatusText(i, finished, state_.Get(), check, answered ? &st : nullptr);
    return DisplayFormat::CopyText(text, buffer, capacity);
}

int DownloadController::GetPackagePath(char* buffer, const int* capacity) const {
    Scope scope(context_.lock());
    // Without a save folder nothing is copied, not even the terminator.
    if (job_.SavePath().empty())
        return 0;
    return DisplayFormat::CopyText(DisplayTexts::PackagePath(job_.SavePath(), context_.FileName(0)), buffer,
                                   capacity);
}

int DownloadController::GetSavePath(char* buffer, const int* capacity) const {
    Scope scope(context_.lock());
    const std::string& path = job_.SavePath();
    const int length = static_cast<int>(path.size());
    if (!buffer)
        return length;
    if (!capacity || *capacity <= length)
        return 0;
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    return -1;
}

int DownloadController::SetSavePath(const std::string& path) {
    Scope scope(context_.lock());
    job_.SetSavePath(path);
    return 1;
}

int DownloadController::GetVersionText(char* buffer, const int* capacity) const {
    return DisplayFormat::CopyText(texts::kVersionText, buffer, capacity);
}

// ---------------------------------------------------------------------------------
// Task control

void DownloadController::Begin() {
    Scope scope(context_.lock());
    tasks_.Begin();
}

int DownloadController::CreateTask(int i) {
    Scope scope(context_.lock());
    return tasks_.CreateTask(i);
}

void DownloadController::Reload() {
    Scope scope(context_.lock());
    tasks_.Reload();
}

int DownloadController::ReloadTask(int i, bool force) {
    Scope scope(context_.lock());
    return tasks_.ReloadTask(i, force);
}

void DownloadController::Pause() {
    Scope scope(context_.lock());
    tasks_.Pause();
}

void DownloadController::PauseAll() {
    Scope scope(context_.lock());
    tasks_.PauseAll();
}

void DownloadController::Continue() {
    Scope scope(context_.lock());
    tasks_.Continue();
}

int DownloadController::StopTask(int i) {
    Scope scope(context_.lock());
    return tasks_.StopTask(i);
}

void DownloadController::SetSpeedLimit(int kib) {
    Scope scope(context_.lock());
    tasks_.SetSpeedLimit(kib);
}

void DownloadController::ApplyPeerLimits(uint32_t a, uint32_t b) {
    Scope scope(context_.lock());
    tasks_.ApplyPeerLimits(a, b);
}

int DownloadController::RunningTaskCount() {
    Scope scope(context_.lock());
    return tasks_.RunningTaskCount();
}

uint64_t DownloadController::UpdateDownloadedBytes() {
    Scope scope(context_.lock());
    return tasks_.UpdateDownloadedBytes();
}

void DownloadController::ReportProgressEvent(const std::string& code, const std::string& message) {
    Scope scope(context_.lock());
    tasks_.ReportProgressEvent(code, message);
}

// ---------------------------------------------------------------------------------
// Settings, verification, exit

void DownloadController::SetShutdownWhenDone(int on) {
    Scope scope(context_.lock());
    machine_.SetShutdownWhenDone(on);
}

void DownloadController::MarkUserExit() {
    Scope scope(context_.lock());
    exit_->SetUserExit(true);
}

void DownloadController::ClearUserExit() {
    Scope scope(context_.lock());
    exit_->SetUserExit(false);
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
    Scope scope(context_.lock());
    return exit_->InstallerLaunched();
}

void DownloadController::ShutdownIn(unsigned seconds) {
    exit_->ShutdownIn(seconds);
}

void DownloadController::SetP2PEnabled(int on) {
    ControllerSettings::SetP2PEnabled(on);
    EngineSetP2PEnabled(on);
}

void DownloadController::SetOwnerWindow(void* window) {
    Scope scope(context_.lock());
    context_.SetOwnerWindow(window);
}

void DownloadController::AskVerifyThenInstall() {
    IControllerFrontEnd* front = context_.env().frontEnd;
    // Without a front end to ask, the safer answer.
    const bool verify = front ? front->AskYesNo(texts::kMsgAskVerify, texts::kCaption) : true;
    if (!verify) {
        context_.events().Event(StatisticsEvents::kVerifyDeclined, "", 0);
        context_.seams().Install(false);
        return;
    }
    context_.events().Event(StatisticsEvents::kVerifyAccepted, "", 0);
    StartVerification(true);
}

void DownloadController::StartVerification(bool autoInstall) {
    Scope scope(context_.lock());
    switch (state_.Get()) {
    case kCheckRecover:
        context_.ShowNotice(texts::kMsgRepairing);
        break;
    case kMd5Checking:
        context_.ShowNotice(texts::kMsgMd5Working);
        break;
    case kCheckFinished: {
        IControllerSeams* seams = &context_.seams();
        context_.Defer([seams] { seams->Install(true); });
        break;
    }
    case kFinished:
        state_.Enter(kMd5Checking);
        job_.WriteJobStart();
        if (!verifier_->Start(autoInstall)) {
            state_.Enter(kFinished);
            context_.ShowNotice(texts::kMsgCheckThreadFailed);
        }
        break;
    case kFailed:
        if (machine_.Progress() == 10000) {
            context_.ShowNotice(PackageVerifier::RepairFailureText().c_str());
            break;
        }
        [[fallthrough]];
    default:
        context_.ShowNotice(texts::kMsgFinishDownloadFirst);
        break;
    }
}

bool DownloadController::IsVerifying() const {
    return verifier_->Running();
}

unsigned DownloadController::GetCheckProgress() const {
    Scope scope(context_.lock());
    return verifier_->CheckProgress();
}

unsigned DownloadController::GetRepairProgress() const {
    Scope scope(context_.lock());
    return verifier_->RepairProgress();
}

bool DownloadController::WasRepaired() const {
    Scope scope(context_.lock());
    return verifier_->WasRepaired();
}

bool DownloadController::AutoInstallAfterCheck() const {
    Scope scope(context_.lock());
    return verifier_->AutoInstallAfterCheck();
}

bool DownloadController::GatewayFound() const {
    Scope scope(context_.lock());
    return gatewayFound_ != 0;
}

// ---------------------------------------------------------------------------------
// Observers

uint32_t DownloadController::State() const {
    Scope scope(context_.lock());
    return state_.Get();
}

std::vector<int> DownloadController::MissingFiles() const {
    Scope scope(context_.lock());
    return job_.MissingFiles();
}

bool DownloadController::IsFileFinished(int i) const {
    Scope scope(context_.lock());
    return i >= 0 && i < kFileCount && tasks_.IsFinished(i);
}

EngineTask DownloadController::Task(int i) const {
    Scope scope(context_.lock());
    return i >= 0 && i < kFileCount ? tasks_.Task(i) : 0;
}

uint64_t DownloadController::RequiredSpace() const {
    Scope scope(context_.lock());
    return disk_.RequiredSpace();
}

bool DownloadController::SparseMode() const {
    Scope scope(context_.lock());
    return disk_.SparseMode();
}

uint32_t DownloadController::Progress() const {
    Scope scope(context_.lock());
    return machine_.Progress();
}

uint64_t DownloadController::DownloadedBytes() const {
    Scope scope(context_.lock());
    return tasks_.DownloadedBytes();
}

uint32_t DownloadController::DownloadSeconds() const {
    Scope scope(context_.lock());
    return job_.DownloadSeconds();
}

uint32_t DownloadController::PeerLimitTotal() const {
    Scope scope(context_.lock());
    return tasks_.PeerLimitTotal();
}

int DownloadController::SpeedLimit() const {
    Scope scope(context_.lock());
    return tasks_.SpeedLimit();
}

bool DownloadController::ReloadFailed() const {
    Scope scope(context_.lock());
    return tasks_.ReloadFailed();
}

bool DownloadController::TasksStarted() const {
    Scope scope(context_.lock());
    return tasks_.TasksStarted();
}

std::string DownloadController::SavePath() const {
    Scope scope(context_.lock());
    return job_.SavePath();
}

std::string DownloadController::DataFolder() const {
    Scope scope(context_.lock());
    return job_.DataFolder();
}

std::string DownloadController::TaskFilePath() const {
    Scope scope(context_.lock());
    return job_.TaskFilePath();
}

std::string DownloadController::ResumeInfoPath(int i) const {
    Scope scope(context_.lock());
    return i >= 0 && i < kFileCount ? job_.ResumeInfoPath(i) : std::string();
}

std::string DownloadController::TaskHash() const {
    Scope scope(context_.lock());
    return job_.TaskHash();
}
