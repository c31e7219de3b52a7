#pragma once
#include "engine/core/TPeerKind.h"
#include "engine/task/TTransferRates.h"
#include "engine/task/TWorkWithPieces.h"

#include <atomic>
#include <cstdint>

// The task layer that measures transfer rates and applies the speed limits.
class TWorkWithTransStatis : public TWorkWithPieces {
public:
    TWorkWithTransStatis();
    ~TWorkWithTransStatis() override;

    // kind 1 sets the download limit, kind 0 the upload limit (KiB/s); false for any
    // other kind. Values outside the settings' range become "no limit".
    bool SetSpeedLimit(int kind, int value);

    uint64_t HttpBytes() const { return httpBytes_.load(); }
    uint64_t PeerBytes() const { return peerBytes_.load(); }

protected:
    // Milliseconds to sleep between ticks: shorter the faster data arrives.
    virtual uint32_t TickInterval() const { return rates_.TickSleep(); }
    // The smoothed payload rate in bytes per second.
    virtual int32_t SmoothedDownloadRate() const { return rates_.DownloadRate(); }
    int32_t CurrentDownloadRate() override { return rates_.DownloadRate(); }
    uint32_t TickModulus() const override { return rates_.TickModulus(); }
    bool RateStepDue() override;
    void RateStep();
    void CountPayload(TPeerKind kind, uint64_t bytes);
    void ResetRates();

    TTransferRates rates_;
    std::atomic<uint64_t> httpBytes_{0};
    std::atomic<uint64_t> peerBytes_{0};

private:
    uint64_t lastStepMs_ = 0;
    int slowSourceSteps_ = 0;
    // Set by SetSpeedLimit on the caller's thread; the task thread, which alone touches
    // the allowances its connections read without a lock, applies the new limits.
    std::atomic<bool> limitsChanged_{false};
};
