#include "engine/piece/TPeerId.h"

#include "engine/core/EngineEvents.h"
#include "engine/core/StatisticsRecord.h"

#include <cstdio>

bool TPeerId::Parse(const std::string& line) {
    TSourceUrl parsed;
    const bool ok = ParseSourceUrl(line, parsed);
    url = parsed;
    if (url.kind == kPeerBitTorrent)
        connectionLimit = 1;
    return ok && url.parsed;
}

TPeerId* TPeerId::CopyOf(const TPeerId& other) {
    auto* id = new TPeerId;
    id->url = other.url;
    id->hostOverride = other.hostOverride;
    id->originCode = other.originCode;
    id->peerId = other.peerId;
    id->connectionLimit = other.connectionLimit;
    id->fixedLimit = other.fixedLimit;
    id->wholeBody = other.wholeBody;
    id->fetchPurpose = other.fetchPurpose;
    id->referer = other.referer;
    return id;
}

bool TPeerId::IsReady(bool downloading, uint64_t now) {
    if (!url.parsed || url.dnsFailed)
        return false;
    if ((url.kind == kPeerBitTorrent || url.kind == kPeerTracker) && openConnections > 0)
        return false;
    if (IsHttpOrFtp()) {
        if (openConnections >= connectionLimit || (openConnections == 1 && fileSize == 0))
            return false;
        if (openConnections == 0) {
            if (piecesDelivered > 15)
                backoff = 0;
            else if (piecesDelivered > 5)
                backoff = backoff < 10 ? 0 : backoff / 10;
            else if (piecesDelivered >= 1)
                backoff = backoff < 5 ? 0 : backoff / 5;
            if (!downloading)
                backoff = backoff <= 10 ? 0 : backoff / 10;
        }
    }
    if (url.kind == kPeerTracker && lastConnect != 0 && now < lastConnect + 600)
        return false;
    if (backoff > 0)
        --backoff;
    return backoff <= 0;
}

void TPeerId::CreditPiece(bool verified) {
    ++piecesDelivered;
    if (!IsHttpOrFtp())
        return;
    if (verified)
        corruptRun = 0;
    else
        ++corruptRun;
}

void TPeerId::ReportCorruptPiece(int piece, const std::string& targetFile) {
    if (url.kind == kPeerBitTorrent) {
        char server[64];
        const uint32_t a = url.address; // network byte order
        const auto* b = reinterpret_cast<const uint8_t*>(&a);
        std::snprintf(server, sizeof server, "%d.%d.%d.%d : %d", b[0], b[1], b[2], b[3], url.port);
        StatisticsRecord r;
        r.code = kEventCorruptPieceFromPeer;
        r.serverIp = server;
        r.corruptPakId = static_cast<uint32_t>(piece);
        r.fileName = targetFile;
        ReportStatistics(r);
    } else {
        StatisticsRecord r;
        r.code = kEventCorruptPieceFromServer;
        r.corruptPakId = static_cast<uint32_t>(piece);
        r.url = url.url;
        ReportStatistics(r);
    }
}
