#pragma once
// The package's four engine tasks, one per file: starting a new job, re-creating the
// tasks of an existing one, pausing and continuing them, sharing the speed and
// connection limits among the running tasks, noticing files that have finished, the
// downloaded bytes and the transfer figures that go with most statistics events.
// Guarded by the controller mutex.
#include "app/ControllerConfig.h"
#include "engine/api/BrisklaneEngine.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>

class ControllerContext;
class ControllerState;
class DiskSpaceWatch;
class JobRecord;

class TaskControl {
public:
    // What the engine answered for each file's task; empty where it did not answer (no
    // task, or a task that has ended).
    using Statuses = std::array<std::optional<TaskStatus>, kPackageFileCount>;

    TaskControl(const ControllerContext& context, ControllerState& state, JobRecord& job,
                DiskSpaceWatch& disk);

    // The start of a run: no tasks, no limit, nothing downloaded.
    void Reset();
    // The connection limits the running tasks share.
    void SetPeerLimitTotals(uint32_t total, uint32_t pending);

    // A new job: four tasks, unless the package does not fit.
    void Begin();
    // A fresh task for file i; the engine's result.
    int CreateTask(int i);
    // The tasks of an existing job: intact files count as finished, the missing ones get
    // their tasks again.
    void Reload();
    // Task i again for an existing download; force also makes a failure visible in
    // ReloadFailed. The engine's result.
    int ReloadTask(int i, bool force);
    void Pause();
    // Stops every task and enters pause.
    void PauseAll();
    void Continue();
    int StopTask(int i);

    // kib = 0 means no limit.
    void SetSpeedLimit(int kib);
    void ApplyPeerLimits(uint32_t a, uint32_t b);
    // With the totals of SetPeerLimitTotals.
    void ApplyPeerLimits();
    // Files whose task answers and that have not finished.
    int RunningTaskCount() const;

    // Notices whether file i's task has just completed: then the file counts as
    // finished, its finish record is written and the event sent.
    void FinishDetection(int i);
    // FinishDetection for every unfinished file whose task answers.
    void NoticeFinishedFiles();

    Statuses ReadStatuses() const;
    // Overall progress in 1/10000: the files weighted in MiB, finished files with their
    // expected size.
    unsigned DownloadProgress(const Statuses& statuses) const;
    unsigned DownloadProgress() const { return DownloadProgress(ReadStatuses()); }
    // The download speed of the unfinished tasks together, bytes per second.
    uint32_t TotalSpeed() const;
    // Downloaded bytes of all four files (the files on disk where no task answers); an
    // active job writes a changed total to the job file.
    uint64_t UpdateDownloadedBytes();
    // One statistics record with the transfer figures of the job so far.
    void ReportProgressEvent(const std::string& code, const std::string& message = "");

    bool IsFinished(int i) const { return descriptors_[i].finished != 0; }
    EngineTask Task(int i) const { return tasks_[i]; }
    int SpeedLimit() const { return speedLimit_; }
    uint32_t PeerLimitTotal() const { return peerLimitTotal_; }
    bool TasksStarted() const { return tasksStarted_ != 0; }
    bool ReloadFailed() const { return reloadFailed_ != 0; }
    void ClearReloadFailed() { reloadFailed_ = 0; }
    uint64_t DownloadedBytes() const { return downloadedBytes_; }

private:
    void SetFinished(int i, bool on) { descriptors_[i].finished = on ? 1 : 0; }
    void ReleaseTorrent(int i, TaskDescriptor& d, const char* failureEvent);

    const ControllerContext& context_;
    ControllerState& state_;
    JobRecord& job_;
    DiskSpaceWatch& disk_;

    EngineTask tasks_[kPackageFileCount] = {};
    // The engine's descriptors; the first field, which the engine does not read, is the
    // file's finished flag.
    TaskDescriptor descriptors_[kPackageFileCount] = {};
    int32_t tasksStarted_ = 0; // tasks were started or restarted in this run
    int32_t speedLimit_ = 0;   // KiB/s; 0 (never set) or the no-limit value mean none
    uint32_t peerLimitTotal_ = 0;
    uint32_t pendingPeerLimitTotal_ = 108;
    uint8_t reloadFailed_ = 0; // the last forced re-creation failed
    uint64_t downloadedBytes_ = 0;
    // The size last written to the job file, and when (platform ticks; 0: never).
    static constexpr uint64_t kSizeSaveIntervalMs = 1000;
    uint64_t savedBytes_ = 0;
    uint64_t savedAtMs_ = 0;
    // The last byte counters each task reported, for tasks that no longer answer.
    uint64_t lastHttpBytes_[kPackageFileCount] = {};
    uint64_t lastPeerBytes_[kPackageFileCount] = {};
    // The connection limit last shared out, and among how many tasks.
    uint32_t lastPeerLimit_ = 0;
    int lastPeerLimitCount_ = 0;
};
