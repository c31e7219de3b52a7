#include "engine/task/TTransferRates.h"

#include <algorithm>

namespace {
uint64_t Allowance(int32_t limitKiB, int64_t share) {
    const uint64_t byLimit =
        limitKiB > 0 ? static_cast<uint64_t>(limitKiB) * 1024 : TTransferRates::kUnlimited;
    const uint64_t byShare = share > 0 ? static_cast<uint64_t>(share) : TTransferRates::kUnlimited;
    return std::max(std::min(byLimit, byShare), TTransferRates::kFloor);
}
} // namespace

void TTransferRates::Clear() {
    *this = TTransferRates();
}

void TTransferRates::ComputeAllowances(int32_t downloadLimitKiB, int32_t uploadLimitKiB) {
    receiveAllowance_ = Allowance(downloadLimitKiB, receiveShare_);
    sendAllowance_ = Allowance(uploadLimitKiB, sendShare_);
}

void TTransferRates::Step(const StepInput& in) {
    const uint64_t rate = in.downloading ? receivedThisSecond_ : payloadThisSecond_;
    downloadRate_ =
        in.downloading ? static_cast<int32_t>(
                             (payloadThisSecond_ * 3 + static_cast<uint64_t>(std::max(downloadRate_, 0))) / 4)
                       : 0;
    receivedTotal_ += rate;
    sentTotal_ += sentThisSecond_;

    const uint64_t pace = in.downloading ? receivedThisSecond_ : sentThisSecond_;
    if (pace >= 3145729) {
        tickSleep_ = 2;
        tickModulus_ = 14;
    } else if (pace >= 1536001) {
        tickSleep_ = 3;
        tickModulus_ = 9;
    } else if (pace >= 819201) {
        tickSleep_ = 4;
        tickModulus_ = 7;
    } else if (pace >= 307201) {
        tickSleep_ = 5;
        tickModulus_ = 6;
    } else {
        tickSleep_ = 6;
        tickModulus_ = 5;
    }

    const uint64_t s = std::max<uint32_t>(in.secondsSinceStart, 1);
    if (in.downloading)
        averageDownloadRate_ = static_cast<int32_t>(std::min<uint64_t>(receivedTotal_ / s, INT32_MAX));
    averageUploadRate_ = static_cast<int32_t>(std::min<uint64_t>(sentTotal_ / s, INT32_MAX));

    if (in.peerDownloadRate >= 1024 && in.downloading)
        secondsLeft_ = static_cast<int32_t>(std::min<int64_t>(
            static_cast<int64_t>(in.pieceLength) * in.piecesMissing / in.peerDownloadRate, INT32_MAX));
    else
        secondsLeft_ = 0;

    maxConnections_ =
        static_cast<int32_t>(std::max<int64_t>((in.peerDownloadRate + in.peerUploadRate) / 4096 + 8, 52));
    int64_t slots = in.peerUploadRate / 16384 - 8;
    const int64_t floor = std::min<int64_t>(std::max<int64_t>(in.peerUploadRate / 8192 - 8, 8), 20);
    if (slots < floor)
        slots = floor;
    slots = std::min<int64_t>(slots, 48);
    if (slots < 6 && !in.directlyReachable)
        slots += 1;
    uploadSlots_ = static_cast<int32_t>(slots);

    receivedThisSecond_ = sentThisSecond_ = payloadThisSecond_ = 0;
    ComputeAllowances(in.downloadLimitKiB, in.uploadLimitKiB);
}

std::vector<TTransferRates::Share> TTransferRates::ShareGlobalRates(const std::vector<ShareInput>& tasks,
                                                                    int32_t globalDownKiB,
                                                                    int32_t globalUpKiB) {
    std::vector<Share> out(tasks.size());
    if (tasks.empty())
        return out;
    auto weigh = [](uint64_t v, int mode) {
        double w = static_cast<double>(v);
        switch (mode) {
        case 0:
            w = std::max(w, 8192.0);
            break;
        case 1:
            w *= 1.5;
            break;
        case 2:
            w *= 3;
            break;
        case -2:
            w /= 3;
            break;
        case -1:
            w /= 2;
            break;
        default:
            break;
        }
        return static_cast<int64_t>(std::max(w, 3072.0)) / 1024;
    };
    std::vector<int64_t> down(tasks.size()), up(tasks.size());
    int64_t b = 0, a = 0;
    for (size_t i = 0; i < tasks.size(); ++i) {
        down[i] = weigh(tasks[i].receivedWindow, tasks[i].priorityMode);
        up[i] = weigh(tasks[i].sentWindow, tasks[i].priorityMode);
        b += down[i];
        a += up[i];
    }
    b = std::max<int64_t>(b, 1);
    a = std::max<int64_t>(a, 1);
    const int64_t n = static_cast<int64_t>(tasks.size());
    const int64_t gDown = globalDownKiB > 0 ? int64_t(globalDownKiB) * 1024 : int64_t(kUnlimited);
    const int64_t gUp = globalUpKiB > 0 ? int64_t(globalUpKiB) * 1024 : int64_t(kUnlimited);
    const int64_t unitDown = std::max<int64_t>(gDown - 3072, n * 3072) / b;
    const int64_t unitUp = std::max<int64_t>(gUp - 3072, n * 3072) / a;
    int64_t sumDown = 0, sumUp = 0;
    for (size_t i = 0; i < tasks.size(); ++i) {
        out[i].receive = std::max<int64_t>(unitDown * down[i], 3072);
        out[i].send = std::max<int64_t>(unitUp * up[i], 3072);
        sumDown += out[i].receive;
        sumUp += out[i].send;
    }
    for (size_t i = 0; i < tasks.size(); ++i) {
        const bool last = i + 1 == tasks.size();
        const bool favoured = tasks[i].priorityMode > 0;
        if (sumDown < gDown &&
            (last || favoured || static_cast<int64_t>(tasks[i].receivedWindow) >= out[i].receive)) {
            const int64_t extra = (gDown - sumDown) / 2 + 16;
            out[i].receive += extra;
            sumDown += extra;
        }
        if (sumUp < gUp && (last || favoured || static_cast<int64_t>(tasks[i].sentWindow) >= out[i].send)) {
            const int64_t extra = (gUp - sumUp) / 2 + 16;
            out[i].send += extra;
            sumUp += extra;
        }
    }
    return out;
}
