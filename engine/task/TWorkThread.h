#pragma once
#include "engine/task/TWorkWithTransStatis.h"

#include <cstdint>

// TaskStatus and what only diagnostics want.
struct TaskDetailedStatus {
    TaskStatus status;
    int64_t allocatedBytes;
    int32_t peerCount;
    uint32_t secondsSinceStart;
};

// The download task the engine instantiates: the thread body, the main loop and the
// operations the engine interface calls.
class TWorkThread : public TWorkWithTransStatis {
public:
    TWorkThread();
    ~TWorkThread() override;

    void Run() override;
    // Copies totals and piece counts into the live record; publishes when they changed.
    void Refresh() override;

    int StopDownload();
    int StartDownload();
    // Reads the resume information, then starts the thread.
    int ContinueDownload();
    int PauseDownload();
    // Starts again from nothing: the download's files and resume records are deleted.
    int RestartDownload();
    int ResumeDownload() { return StartDownload(); }

    void GetStatus(TaskStatus& out);
    void GetDetailedStatus(TaskDetailedStatus& out);
    // Published counters.
    int GetSecondsLeft(uint32_t& out);
    int GetAverageDownloadRate(uint32_t& out);
    int GetDownloadRate(uint32_t& out);
    // Appends a line to the task's extra tracker text.
    void AddTrackerText(const std::string& text);
    bool IsComplete();
    // Stops the thread if needed and clears all per-run state.
    void Reset(bool release, bool full);

    // Seconds the main loop may run without progress or a usable peer before it gives
    // up, and between its slow steps.
    static constexpr uint32_t kGiveUpSeconds = 15;

protected:
    void ReleaseLocksAfterFailure() override;

private:
    // One pass of peer processing and the tick sleep; returns the wall clock.
    uint64_t Tick();
    bool CompleteCheck(uint64_t now);
    bool Prepare();
    void MainLoop();
    void AfterLoop();
    uint32_t SecondsRunning();
    void RecordAllocatedSize();

    uint64_t completionTime_ = 0;
    bool complete_ = false;
    bool failed_ = false;
    bool timedOut_ = false;
    bool fullRefresh_ = false;
    int64_t allocatedSize_ = 0;
    uint64_t lastPublish_ = 0;
    std::string extraTrackerText_;
};
