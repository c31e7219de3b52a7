#pragma once
// The object that downloads the game's installation package. It knows no toolkit: a
// front end drives it through the operations below and two periodic callbacks
// (PollState every 100 ms, Tick every second) that run on timer threads of their own,
// and shows what one Snapshot gives. It reaches the engine only through the flat call
// interface.
//
// It is made of parts, each owning its own fields:
//   ControllerContext    - surroundings, the package, the mutex, notices
//   ControllerState      - the download state and the disk-space flag
//   JobRecord            - the job file, what a start finds, where the package goes
//   DiskSpaceWatch       - the room the package needs and how it is watched
//   TaskControl          - the four engine tasks, limits, bytes, progress events
//   DownloadStateMachine - the poll, the tick, the primary button, engine codes
//   PackageVerifier      - the check and repair of the files (on a worker thread)
//   ProgramExit          - the installer, the ways the program ends, the power-off
//
// Every field is guarded by the one controller mutex (ControllerLock). Operations that
// must wait for the user (modal answers) or hand over to later parts do so after the
// mutex is released; sleeps inside an operation release it too. Engine calls are made
// under it: the engine never calls back into the controller. The verification worker
// takes the same mutex for each step and never holds it while it reads a file or
// waits.
#include "app/ControllerConfig.h"
#include "app/ControllerContext.h"
#include "app/ControllerEnvironment.h"
#include "app/ControllerState.h"
#include "app/ControllerView.h"
#include "app/DiskSpaceWatch.h"
#include "app/DownloadStateMachine.h"
#include "app/JobRecord.h"
#include "app/TaskControl.h"
#include "engine/api/BrisklaneEngine.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class IControllerSeams;
class PackageVerifier;
class ProgramExit;

class DownloadController {
public:
    // The download states (DownloadController::kReady and so on).
    using enum ControllerState::State;
    static constexpr uint64_t kSpaceMargin = DiskSpaceWatch::kSpaceMargin;
    static constexpr int kFileCount = kPackageFileCount;

    DownloadController();
    explicit DownloadController(ControllerEnvironment env);
    ~DownloadController();
    DownloadController(const DownloadController&) = delete;
    DownloadController& operator=(const DownloadController&) = delete;

    // --- Start-up, in this order (ControllerStartup runs it for a front end).
    // The package as the program's configuration block describes it.
    void LoadEmbeddedConfig();
    // The package as given (tests, other deployments).
    void LoadConfig(const ControllerConfig& config);
    // -1: the required space adds up to 0; -2: the statistics configuration could not
    // be released; 1: an earlier job was found and its tasks re-created; 0: nothing to
    // resume.
    int Initialize();

    // --- What a front end shows: everything at one moment, under one lock.
    ControllerView Snapshot() const;

    // --- The periodic callbacks and the state machine.
    // The poll also notices files that have just finished and the engine's task codes.
    int PollState();
    // The tick also measures the speed, which moves an active job to downloading.
    void Tick();
    void PrimaryAction();
    // Overall progress in 1/10000.
    unsigned GetDownloadProgress() const;
    // Text query of the speed the last tick measured.
    int GetSpeedText(char* buffer, const int* capacity) const;
    // Reacts to an engine task state code; true when nothing was shown.
    bool HandleTaskError(uint32_t code);
    int IsDiskSpaceLow() const;

    // --- The job file.
    void WriteJobStart();
    void WriteJobPaths();
    bool IsJobComplete() const;
    void SaveDownloadedSize(uint64_t bytes);
    void RecordFinishedFile(int i);
    bool IsFileIntact(int i, bool record);
    bool AllFilesIntact();
    void AddMissingFile(int i);
    int GetCloseSelection() const;
    int SetCloseSelection(unsigned choice);

    // --- Disk space.
    // Whether the engine's files can take their full size at once where the package
    // goes (then the free space needs no watching).
    bool EnableVolumePrivilege(const std::string& path);
    void TestSparseMode(const std::string& path);
    bool HasSpaceToStart();
    void CheckDiskSpace(uint32_t s, uint64_t downloaded);

    // --- Text queries (convention: DisplayFormat::CopyText); front ends use Snapshot.
    int GetSizeText(char* buffer, const int* capacity) const;
    int GetRepairSpeedText(char* buffer, const int* capacity) const;
    int GetFileCount() const { return kFileCount; }
    int GetFileName(int i, char* buffer, const int* capacity) const;
    int GetFileStatusText(int i, char* buffer, const int* capacity) const;
    int GetPackagePath(char* buffer, const int* capacity) const;
    // Like a text query, but -1 after a successful copy.
    int GetSavePath(char* buffer, const int* capacity) const;
    int SetSavePath(const std::string& path);
    int GetVersionText(char* buffer, const int* capacity) const;

    // --- Task control.
    void Begin();
    int CreateTask(int i);
    void Reload();
    int ReloadTask(int i, bool force);
    void Pause();
    void PauseAll();
    void Continue();
    int StopTask(int i);
    void SetSpeedLimit(int kib);
    void ApplyPeerLimits(uint32_t a, uint32_t b);
    int RunningTaskCount();
    uint64_t UpdateDownloadedBytes();
    void ReportProgressEvent(const std::string& code, const std::string& message = "");

    // --- Settings from the window.
    void SetShutdownWhenDone(int on);
    // The user chose to end the program (close button, menu); cleared when the close
    // was cancelled.
    void MarkUserExit();
    void ClearUserExit();
    // The front end is closing: logs and reports how the program ends, then shuts the
    // engine down. Runs once per controller; later calls do nothing.
    void OnExit();
    void SetP2PEnabled(int on);
    // The window that owns the controller's message boxes; opaque here.
    void SetOwnerWindow(void* window);

    // --- Verification and repair of the package files (on a worker thread).
    // The primary button in finished: asks whether to verify, then verifies (and
    // installs when it passes) or installs at once. Waits for the user's answer.
    void AskVerifyThenInstall();
    // Starts the worker when the state allows it, else tells the user why not.
    void StartVerification(bool autoInstall);
    // Verification progress over all four files, 1/10000.
    unsigned GetCheckProgress() const;
    unsigned GetRepairProgress() const;
    bool WasRepaired() const;
    bool AutoInstallAfterCheck() const;
    // Whether the worker is still at work.
    bool IsVerifying() const;

    // --- The installer and the automatic shutdown.
    // Starts the package's entry file; verified only changes the failure text. Takes
    // as long as the start does; the mutex is not held meanwhile.
    void Install(bool verified);
    bool InstallerLaunched() const;
    // Schedules the power-off one minute ahead, whatever the argument.
    void ShutdownIn(unsigned seconds);

    bool GatewayFound() const;

    // --- Observers.
    uint32_t State() const;
    std::vector<int> MissingFiles() const;
    bool IsFileFinished(int i) const;
    EngineTask Task(int i) const;
    uint64_t RequiredSpace() const;
    bool SparseMode() const;
    // The overall progress the last poll found.
    uint32_t Progress() const;
    uint64_t DownloadedBytes() const;
    uint32_t DownloadSeconds() const;
    uint32_t PeerLimitTotal() const;
    int SpeedLimit() const;
    bool ReloadFailed() const;
    bool TasksStarted() const;
    std::string SavePath() const;
    std::string DataFolder() const;
    std::string TaskFilePath() const;
    std::string ResumeInfoPath(int i) const;
    std::string TaskHash() const;

private:
    class OwnSeams;
    using Scope = ControllerLock::Scope;

    std::string AppVersion() const;
    int ChoosePort();

    std::unique_ptr<IControllerSeams> ownSeams_; // the controller's own operations
    ControllerContext context_;
    ControllerState state_;
    JobRecord job_;
    DiskSpaceWatch disk_;
    TaskControl tasks_;
    DownloadStateMachine machine_;
    std::unique_ptr<PackageVerifier> verifier_;
    std::unique_ptr<ProgramExit> exit_;
    int32_t gatewayFound_ = 0;
};
