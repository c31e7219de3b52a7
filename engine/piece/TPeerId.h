#pragma once
#include "engine/net/TSourceUrl.h"
#include "engine/piece/TPieceSource.h"

#include <array>
#include <cstdint>
#include <string>

// One known source of a task: a web or FTP server, a tracker or a BitTorrent peer,
// with the bookkeeping that decides when it may be connected again.
class TPeerId : public TPieceSource {
public:
    static constexpr int kOriginSource = 29;   // from the task's source list
    static constexpr int kOriginRedirect = 28; // the target of a redirect
    static constexpr int kOriginLan = 35;      // announced on the local network
    static constexpr int kOriginPeer = 19;     // any other BitTorrent peer

    TPeerId() = default;
    // Parses a source line (resolving its host); false when it is unusable.
    bool Parse(const std::string& line);
    // A copy of another identity's URL fields and limits (not its bookkeeping).
    static TPeerId* CopyOf(const TPeerId& other);

    TPeerKind Kind() const { return url.kind; }
    bool IsHttpOrFtp() const { return (url.kind & (kPeerHttp | kPeerFtp)) != 0; }
    bool Resolved() const { return url.parsed && !url.dnsFailed; }
    // The host name sent in requests: the mirror's name when one was given.
    const std::string& RequestHost() const { return hostOverride.empty() ? url.host : hostOverride; }

    // Whether a connection may be opened now (decrements the back-off as a side effect).
    bool IsReady(bool downloading, uint64_t now);

    // TPieceSource
    void CreditPiece(bool verified) override;
    void ReportCorruptPiece(int piece, const std::string& targetFile) override;

    TSourceUrl url;
    std::string hostOverride; // "Host:" for mirrors addressed by IP
    int originCode = kOriginSource;
    std::array<uint8_t, 20> peerId{};
    int openConnections = 0;
    int connectionLimit = 8;
    bool fixedLimit = false;
    int connectAttempts = 0;
    int failures = 0;
    int backoff = 0;
    uint64_t lastConnect = 0;
    int piecesDelivered = 0;
    int corruptRun = 0;
    int64_t fileSize = 0; // 0 until a response gave it; -1 when the server gave none

    // HTTP details learnt from responses.
    std::string referer;
    std::string fileName;
    bool redirected = false;
    int redirectCount = 0;
    std::string lastRedirect;

    // Whole-body fetches (small documents that are not part of the piece map).
    bool wholeBody = false;
    int fetchPurpose = 0;
    bool done = false;
    std::string body;

private:
    ~TPeerId() override = default;
};
