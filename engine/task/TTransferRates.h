#pragma once
#include <cstdint>
#include <vector>

// What one task moved and may move: per-second counters, smoothed rates, the byte
// allowances that enforce the speed limits, and the tick pace derived from the rate.
// Socket-free; the task feeds it from its connections once per tick and runs Step
// once per second.
class TTransferRates {
public:
    static constexpr uint64_t kUnlimited = 1048576000;
    static constexpr uint64_t kFloor = 3072;

    struct StepInput {
        bool downloading = true;
        int64_t peerDownloadRate = 0; // sum of the connections' rates
        int64_t peerUploadRate = 0;
        int32_t pieceLength = 0;
        int32_t piecesMissing = 0;
        uint32_t secondsSinceStart = 1;
        int32_t downloadLimitKiB = 0;
        int32_t uploadLimitKiB = 0;
        bool directlyReachable = false;
    };

    void AddReceived(uint64_t bytes) { receivedThisSecond_ += bytes; }
    void AddSent(uint64_t bytes) { sentThisSecond_ += bytes; }
    void AddPayload(uint64_t bytes) { payloadThisSecond_ += bytes; }

    // The once-a-second step: rates, pace, connection limits, counters cleared.
    void Step(const StepInput& in);
    // Allowances from the limits and the shares (also done by Step).
    void ComputeAllowances(int32_t downloadLimitKiB, int32_t uploadLimitKiB);

    uint64_t ReceiveAllowanceLeft() const {
        return receiveAllowance_ > receivedThisSecond_ ? receiveAllowance_ - receivedThisSecond_ : 0;
    }
    uint64_t SendAllowanceLeft() const {
        return sendAllowance_ > sentThisSecond_ ? sendAllowance_ - sentThisSecond_ : 0;
    }

    uint64_t ReceiveAllowance() const { return receiveAllowance_; }
    uint64_t SendAllowance() const { return sendAllowance_; }
    int32_t DownloadRate() const { return downloadRate_; }
    int32_t AverageDownloadRate() const { return averageDownloadRate_; }
    int32_t AverageUploadRate() const { return averageUploadRate_; }
    int32_t SecondsLeft() const { return secondsLeft_; }
    uint32_t TickSleep() const { return tickSleep_; }
    uint32_t TickModulus() const { return tickModulus_; }
    int32_t MaxConnections() const { return maxConnections_; }
    int32_t UploadSlots() const { return uploadSlots_; }
    uint64_t ReceivedTotal() const { return receivedTotal_; }
    uint64_t SentTotal() const { return sentTotal_; }
    uint64_t ReceivedThisSecond() const { return receivedThisSecond_; }

    // The task's share of process-wide limits; not positive means none.
    void SetShares(int64_t receive, int64_t send) {
        receiveShare_ = receive;
        sendShare_ = send;
    }

    // Splits process-wide limits (KiB/s, 0 = none) among tasks by what each moved.
    struct ShareInput {
        uint64_t receivedWindow = 0;
        uint64_t sentWindow = 0;
        int priorityMode = 0; // -2..2
    };
    struct Share {
        int64_t receive = 0;
        int64_t send = 0;
    };
    static std::vector<Share> ShareGlobalRates(const std::vector<ShareInput>& tasks, int32_t globalDownKiB,
                                               int32_t globalUpKiB);

    void Clear();

private:
    uint64_t receivedThisSecond_ = 0;
    uint64_t sentThisSecond_ = 0;
    uint64_t payloadThisSecond_ = 0;
    uint64_t receivedTotal_ = 0;
    uint64_t sentTotal_ = 0;
    int32_t downloadRate_ = 0;
    int32_t averageDownloadRate_ = 0;
    int32_t averageUploadRate_ = 0;
    int32_t secondsLeft_ = 0;
    uint32_t tickSleep_ = 6;
    uint32_t tickModulus_ = 6;
    int32_t maxConnections_ = 52;
    int32_t uploadSlots_ = 8;
    uint64_t receiveAllowance_ = kUnlimited;
    uint64_t sendAllowance_ = kUnlimited;
    int64_t receiveShare_ = 0;
    int64_t sendShare_ = 0;
};
