#pragma once
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
    virtual uint32_t TickInterval() const { return 6; }
    // The smoothed payload rate in bytes per second.
    virtual int32_t SmoothedDownloadRate() const { return live_.downloadRate; }

    std::atomic<uint64_t> httpBytes_{0};
    std::atomic<uint64_t> peerBytes_{0};
};
