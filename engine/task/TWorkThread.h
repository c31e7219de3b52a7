#pragma once
#include "engine/peer/TPeerTask.h"
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
class TWorkThread : public TWorkWithTransStatis, public TPeerTask {
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
    // Appends a line to the task's extra tracker text.
    void AddTrackerText(const std::string& text);
    bool IsComplete();
    // Stops the thread if needed and clears all per-run state.
    void Reset(bool release, bool full);

    // Seconds the main loop may run without progress or a usable peer before it gives
    // up, and between its slow steps.
    static constexpr uint32_t kGiveUpSeconds = 15;
    // A tick that read this much goes straight on to the next.
    static constexpr uint64_t kBusyTickBytes = 1024 * 1024;

    // TPeerTask
    TPieces* PieceMap() override { return pieces_.get(); }
    TPieceRanges* Ranges() override { return ranges_.get(); }
    TPieceWork* Work() override { return work_.get(); }
    void BuildRanges() override;
    bool PieceWanted(int piece) override;
    int WriteBlock(uint32_t block, const uint8_t* data, int32_t length, TPeerId* source,
                   bool& completed) override;
    void ReturnRequests(const std::vector<TBlockRequest>& requests) override;
    int PriorityPiece() override { return -1; }
    bool HasAllPieces() override { return HasAllPiecesNow(); }
    uint64_t TotalSize() override { return pieces_ ? pieces_->TotalSize() : 0; }
    void LearnSize(uint64_t size, const std::string& name) override;
    void AddPayload(TPeerKind kind, uint64_t bytes) override { CountPayload(kind, bytes); }
    void AddWasted(uint64_t bytes) override { wastedBytes_ += bytes; }
    void AddTraffic(uint64_t received, uint64_t sent) override;
    uint64_t ReceiveAllowanceLeft() override { return rates_.ReceiveAllowanceLeft(); }
    bool SourceFailed(TPeerId* source, bool retry, int backoffSeconds) override;
    void AddSource(TPeerId* source) override;
    uint64_t Now() override { return EngineWallClockNow(); }
    uint32_t Uptime() override;
    bool Stopping() override { return QThread::StopRequested(); }
    void SetStateCode(int code) override;
    void SetDnsFailed(bool failed) override { dnsFailed_ = failed; }
    void SetFetchState(int state) override { fetchState_ = state; }

protected:
    void ReleaseLocksAfterFailure() override;
    // Every byte may be verified a moment before the files take their final names; the
    // controller must not see "complete" (and start checking the final files) before that.
    void AdjustPublished(TaskInfo& record) override;
    TPeerTask* PeerTask() override { return this; }

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
    uint64_t lastAllocatedCheck_ = 0;
    uint64_t lastPublish_ = 0;
    std::string extraTrackerText_;
    uint64_t wastedBytes_ = 0;
    bool dnsFailed_ = false;
    int fetchState_ = 0;
    static uint64_t EngineWallClockNow();
};
