#include "engine/task/TWorkWithTransStatis.h"

#include "engine/core/EngineClock.h"
#include "engine/core/QScopedLock.h"
#include "engine/net/QNetworkState.h"

TWorkWithTransStatis::TWorkWithTransStatis() = default;

TWorkWithTransStatis::~TWorkWithTransStatis() {
    Stop();
}

bool TWorkWithTransStatis::SetSpeedLimit(int kind, int value) {
    if (kind != kSpeedLimitUpload && kind != kSpeedLimitDownload)
        return false;
    QScopedLock guard(ObjectLock());
    if (kind == kSpeedLimitDownload)
        settings_.downloadLimit = value;
    else
        settings_.uploadLimit = value;
    settings_.Clamp();
    limitsChanged_.store(true);
    return true;
}

void TWorkWithTransStatis::CountPayload(TPeerKind kind, uint64_t bytes) {
    rates_.AddPayload(bytes);
    if (kind == kPeerHttp)
        httpBytes_ += bytes;
    else if (kind == kPeerBitTorrent)
        peerBytes_ += bytes;
}

void TWorkWithTransStatis::ResetRates() {
    QScopedLock guard(ObjectLock());
    rates_.Clear();
    rates_.ComputeAllowances(settings_.downloadLimit, settings_.uploadLimit);
    lastStepMs_ = 0;
    slowSourceSteps_ = 0;
}

bool TWorkWithTransStatis::RateStepDue() {
    if (limitsChanged_.exchange(false)) {
        QScopedLock guard(ObjectLock());
        rates_.ComputeAllowances(settings_.downloadLimit, settings_.uploadLimit);
    }
    const uint64_t now = EngineTickMs();
    if (lastStepMs_ != 0 && now - lastStepMs_ < 1000)
        return false;
    lastStepMs_ = now;
    RateStep();
    return true;
}

void TWorkWithTransStatis::RateStep() {
    const bool downloading = !HasAllPiecesNow();
    TTransferRates::StepInput in;
    in.downloading = downloading;
    in.peerDownloadRate = peerDownloadRate_;
    in.peerUploadRate = peerUploadRate_;
    if (pieces_) {
        in.pieceLength = pieces_->PieceLength();
        in.piecesMissing = pieces_->PieceCount() - pieces_->PiecesDone();
    }
    const uint32_t start = StartTime(), up = EngineUptime();
    in.secondsSinceStart = up > start ? up - start : 1;
    in.directlyReachable = QNetworkState::DirectlyReachable();
    {
        QScopedLock guard(ObjectLock());
        in.downloadLimitKiB = settings_.downloadLimit;
        in.uploadLimitKiB = settings_.uploadLimit;
        rates_.Step(in);
        maxConnections_ = std::max(rates_.MaxConnections(), static_cast<int32_t>(settings_.maxConnections));
        live_.downloadRate = rates_.DownloadRate();
        live_.averageDownloadRate = rates_.AverageDownloadRate();
        live_.averageUploadRate = rates_.AverageUploadRate();
        live_.secondsLeft = rates_.SecondsLeft();
    }
    if (downloading && HasLayout()) {
        ConnectionPasses();
        // Sources that deliver next to nothing for long: bring the unused ones back in.
        if (peerDownloadRate_ < 1024) {
            if (++slowSourceSteps_ > 15) {
                slowSourceSteps_ = 0;
                FeedSources();
            }
        } else {
            slowSourceSteps_ = 0;
        }
    }
    PublishStatus(false, false);
}
