#pragma once
// The object that downloads the game's installation package: one engine task per
// package file, the job file that carries the job across runs, the download state
// machine with its statistics events, the disk-space watch, the texts the front end
// shows, the check and repair of the finished files (PackageVerifier, on a worker
// thread) and the ways the program ends (ProgramExit). It knows no toolkit: a front end
// drives it through these operations and two periodic callbacks (PollState every
// 100 ms, Tick every second), which run on a timer thread of their own. It reaches the
// engine only through the flat call interface.
//
// Every field is guarded by one controller mutex. Operations that must wait for the
// user (modal answers) or hand over to later parts do so after the mutex is released;
// sleeps inside an operation release it too. Engine calls are made under it: the
// engine never calls back into the controller. The verification worker takes the same
// mutex for each step and never holds it while it reads a file or waits.
#include "app/ControllerConfig.h"
#include "app/ControllerEnvironment.h"
#include "app/EventReporter.h"
#include "app/IControllerSeams.h"
#include "app/TaskPersistence.h"
#include "engine/api/BrisklaneEngine.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class PackageVerifier;
class ProgramExit;

class DownloadController {
public:
    // Download states; 2 and 14 carry no meaning, 9 is never entered.
    enum : uint32_t {
        kBack = 0,
        kReady = 1,
        kPreparing = 3,
        kDownloading = 4,
        kPause = 5,
        kResume = 6,
        kFailed = 7,
        kFinished = 8,
        kRetry = 9,
        kMd5Checking = 10,
        kCheckRecover = 11,
        kCheckFinished = 12,
        kInstalling = 13,
        kRecover = 15,
        kReload = 16,
        kClosedWithoutExit = 17,
    };
    static constexpr uint64_t kSpaceMargin = 104857600; // 100 MiB beyond the package
    static constexpr int kFileCount = kPackageFileCount;

    DownloadController();
    explicit DownloadController(ControllerEnvironment env);
    ~DownloadController();
    DownloadController(const DownloadController&) = delete;
    DownloadController& operator=(const DownloadController&) = delete;

    // --- Start-up, in this order.
    // The package as the program's configuration block describes it.
    void LoadEmbeddedConfig();
    // The package as given (tests, other deployments).
    void LoadConfig(const ControllerConfig& config);
    // -1: the required space adds up to 0; -2: the statistics configuration could not
    // be released; 1: an earlier job was found and its tasks re-created; 0: nothing to
    // resume.
    int Initialize();

    // --- The periodic callbacks and the state machine.
    int PollState();
    void Tick();
    void PrimaryAction();
    // Overall progress in 1/10000; also notices files that have just finished.
    unsigned GetDownloadProgress();
    // Text query of the speed; also moves an active job to downloading.
    int GetSpeedText(char* buffer, const int* capacity);
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

    // --- Texts for the front end (text-query convention, see DisplayFormat::CopyText).
    int GetSizeText(char* buffer, const int* capacity);
    int GetRepairSpeedText(char* buffer, const int* capacity);
    int GetFileCount() const { return kFileCount; }
    int GetFileName(int i, char* buffer, const int* capacity);
    int GetFileStatusText(int i, char* buffer, const int* capacity);
    int GetPackagePath(char* buffer, const int* capacity);
    // Like a text query, but -1 after a successful copy.
    int GetSavePath(char* buffer, const int* capacity);
    int SetSavePath(const std::string& path);
    int GetVersionText(char* buffer, const int* capacity);

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
    friend class PackageVerifier;
    friend class ProgramExit;
    class OwnSeams;
    using Lock = std::unique_lock<std::recursive_mutex>;

    // One operation on the controller: holds the controller mutex (recursively, when an
    // operation calls another) and, when the outermost operation ends, releases it before
    // running the work that must not run under it.
    class Scope {
    public:
        explicit Scope(const DownloadController& c) : c_(c), lock_(c.mutex_) { ++c_.depth_; }
        ~Scope() {
            if (--c_.depth_ != 0 || c_.deferred_.empty())
                return;
            std::vector<std::function<void()>> work;
            work.swap(c_.deferred_);
            lock_.unlock();
            for (auto& w : work)
                w();
        }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        const DownloadController& c_;
        Lock lock_;
    };

    // Helpers expect the mutex held.
    bool IsActive(uint32_t s) const;
    bool IsFinishedLocked(int i) const;
    void SetFinished(int i, bool on);
    bool IsMissing(int i) const;
    std::string FilePath(int i) const;
    std::string DefaultSavePath() const;
    void MakeInfoFolder();
    void EvaluateJobFile();
    void FinishDetection(int i);
    void ReleaseTorrent(int i, TaskDescriptor& d, const char* failureEvent);
    // A notice that does not wait for the user.
    void ShowNotice(const char* text);
    // Work to run once the outermost operation has released the mutex.
    void Defer(std::function<void()> work);
    void DeferModal(const char* text);
    void SleepUnlocked(uint32_t ms);
    void LogStateChange(uint32_t s);
    uint64_t FreeSpace(const std::string& path) const;
    std::string AppVersion() const;

    ControllerEnvironment env_;
    EventReporter defaultEvents_;
    std::unique_ptr<IControllerSeams> ownSeams_; // the controller's own operations
    EventReporter& events_;
    IControllerSeams& seams_;
    std::unique_ptr<PackageVerifier> verifier_;
    std::unique_ptr<ProgramExit> exit_;

    mutable std::recursive_mutex mutex_;
    mutable int depth_ = 0; // nesting of operations on the thread that holds the mutex
    mutable std::vector<std::function<void()>> deferred_;
    bool handlingError_ = false;

    ControllerConfig config_;
    TaskPersistence job_;

    // The controller's fields.
    uint32_t exitConfirmed_ = 0;
    int32_t checkFileIndex_ = 0;
    uint8_t reloadFailed_ = 0;
    void* ownerWindow_ = nullptr;
    uint32_t state_ = kReady;
    uint8_t autoInstallAfterCheck_ = 0;
    int32_t tasksStarted_ = 0;
    int32_t gatewayFound_ = 0;
    uint32_t diskSpaceLow_ = 0;
    uint32_t installerLaunched_ = 0;
    uint32_t userExit_ = 0;
    uint32_t progress_ = 0;
    uint64_t downloadedBytes_ = 0;
    uint32_t peerLimitTotal_ = 0;
    uint32_t pendingPeerLimitTotal_ = 108;
    uint32_t totalSpeed_ = 0;
    uint32_t displaySpeed_ = 0;
    uint32_t checkProgress_ = 0;
    uint32_t repairProgress_ = 0;
    uint32_t repairSpeed_ = 0;
    int32_t missingCount_ = 0;
    int32_t speedLimit_ = 0;
    int32_t missingFiles_[kFileCount] = {};
    uint32_t downloadSeconds_ = 0;
    uint32_t runSeconds_ = 0;
    std::string logBasePath_;
    std::string taskFilePath_;
    std::string statsFileName_;
    std::string dataFolder_;
    std::string infoFolder_;
    std::string savePath_;
    std::string folderName_;
    std::string entryName_;
    std::string taskHash_;
    std::string firstFileName_;
    std::string productKey_;
    std::string lastActualMd5_;
    std::string resumeInfoPaths_[kFileCount];
    std::string packageUrls_[kFileCount];
    std::string fileNames_[kFileCount];
    std::string resourceListUrl_;
    EngineTask tasks_[kFileCount] = {};
    TaskDescriptor descriptors_[kFileCount] = {};
    int32_t repairedAny_ = 0;
    int32_t shutdownWhenDone_ = 0;
    bool exited_ = false;

    // Counters the program keeps once; here once per controller, which the program
    // makes once.
    uint64_t requiredSpace_ = 0;
    uint32_t lastTaskCode_ = 0;
    uint32_t lastShownCode_ = 0;
    uint32_t lastLoggedState_ = kReady;
    uint32_t lastLoggedDiskLow_ = 1;
    uint64_t lastHttpBytes_[kFileCount] = {};
    uint64_t lastPeerBytes_[kFileCount] = {};
    uint32_t lastPeerLimit_ = 0;
    int lastPeerLimitCount_ = 0;
    uint32_t speedQueryCount_ = 0;
    uint32_t tickCount_ = 0;
    bool sparseMode_ = false;
};
