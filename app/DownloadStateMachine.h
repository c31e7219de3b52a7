#pragma once
// What moves the download state: the status poll every 100 ms (engine codes, files that
// finished, the disk-space watch, the announcement of a change), the tick every second
// (time counters, the end of the download, the speed), the primary button and the
// engine's task state codes. Guarded by the controller mutex.
#include <cstdint>
#include <string>

class ControllerContext;
class ControllerState;
class DiskSpaceWatch;
class JobRecord;
class TaskControl;

class DownloadStateMachine {
public:
    DownloadStateMachine(const ControllerContext& context, ControllerState& state, JobRecord& job,
                         DiskSpaceWatch& disk, TaskControl& tasks);

    // The start of a run: no progress, no speed shown.
    void Reset();

    // Every 100 ms; the state the poll began with.
    int PollState();
    // Every second, except while the last polled state is finished or checkfinished.
    void Tick();
    void PrimaryAction();
    // Reacts to an engine task state code; true when nothing was shown.
    bool HandleTaskError(uint32_t code);
    // The sparse-mode watch of the poll: s is the state the poll began with, downloaded
    // what the tasks have so far.
    void CheckDiskSpace(uint32_t s, uint64_t downloaded);

    // The overall progress the last poll found, 1/10000.
    uint32_t Progress() const { return progress_; }
    // The speed text of the state: the smoothed speed while tasks are at work.
    std::string SpeedText() const;

    void SetShutdownWhenDone(int on) { shutdownWhenDone_ = on; }

private:
    // The poll's look at each unfinished task: has it finished, does it report a code.
    void ObserveTasks();
    // The poll's announcement of state s: its log line, or the steps of finished.
    void Announce(uint32_t s);
    // The tick's time counting and its check whether the whole package is there.
    void CountTick();
    // Once a second: the tasks' speed moves an active job to downloading, paces the
    // mirror refresh and gives the speed shown.
    void MeasureSpeed();

    const ControllerContext& context_;
    ControllerState& state_;
    JobRecord& job_;
    DiskSpaceWatch& disk_;
    TaskControl& tasks_;

    uint32_t progress_ = 0;
    uint32_t totalSpeed_ = 0;   // bytes per second of the running tasks together
    uint32_t displaySpeed_ = 0; // smoothed toward the speed limit
    uint32_t speedCount_ = 0;   // seconds of speed measured while downloading
    uint32_t tickCount_ = 0;    // ticks in an active state
    uint32_t lastTaskCode_ = 0; // the last code any task reported
    uint32_t lastShownCode_ = 0;
    int32_t shutdownWhenDone_ = 0;
};
