#pragma once
#include "engine/peer/THttpHeader.h"
#include "engine/peer/TRangePeer.h"

#include <cstddef>
#include <cstdint>
#include <string>

// A connection to an HTTP source. It asks for everything from its first queued block
// on ("Range: bytes=N-") and reads the response in order, delivering 16 KiB blocks for
// as long as the blocks it wants next lie a little ahead in the stream; when they do
// not, it asks again from there. Several connections on one source each walk their own
// piece range, which gives a segmented download from one server.
//
// It also fetches small documents whole into the source's body (whole-body mode),
// turns redirects into new sources, and learns the size and name of the download from
// the first response.
class THttpPeer : public TRangePeer {
public:
    // The open response is kept while the next wanted block starts at most this far
    // ahead: reading past that much is cheaper than a new request.
    static constexpr int64_t kKeepResponseBytes = 131072;
    // A header block longer than this is not a server's answer but an attack or garbage.
    static constexpr size_t kMaxHeaderBytes = 65536;
    // Whole-body mode is for small documents; more than this fails the fetch.
    static constexpr size_t kMaxWholeBody = 64u * 1024 * 1024;
    // The most read from the socket in one tick, within the rate allowance.
    static constexpr int kReadChunk = 262144;
    // The size a whole-body fetch assumes when the server gives no length; the fetch ends
    // when the server closes the connection.
    static constexpr int64_t kUnknownBodySize = 2147483647;
    static constexpr const char* kUserAgent =
        "Mozilla/4.0 (compatible; MSIE 5.00; Windows 98) Brisklane/1.0.3";

    explicit THttpPeer(TPeerTask* task);
    ~THttpPeer() override;

    bool DoRead() override;
    bool DoWrite() override;
    bool DoRequest() override;
    void Reset() override;
    // Plans the first blocks (when the size is known), opens the connection and queues
    // the GET request.
    bool ConnectTo(TPeerId* source) override;
    // 15 seconds without the header, 30 after it (doubled for a connection trickling
    // below 2 KiB/s); a timed-out connection ends in kPeerTimedOut without its range.
    bool IsTimedOut() override;
    void ReleaseRange() override;

    bool HeaderReceived() const { return headerReceived_; }
    const THttpHeader& Header() const { return header_; }
    // The response carried neither Content-Range nor Content-Length.
    bool NoLength() const { return noLength_; }
    // Absolute offset just past the open response's body; -1 when the server did not say.
    int64_t ResponseEnd() const { return responseEnd_; }

private:
    bool ReadHeader();
    bool ReadPieces();
    bool ReadWholeBody();
    bool OnSuccess();
    bool OnRedirect();
    // Whether the response's body is the data that was asked for; sets the body's end and
    // the no-length flag.
    bool BodyMatchesRequest();
    void LearnFileName();
    // Closes the socket and reports the source failed; false, for the caller to return.
    bool Fail(bool retry, int backoffSeconds, const char* why);
    int ReadLimit() const;

    bool headerReceived_ = false;
    THttpHeader header_;
    bool noLength_ = false;
    int64_t responseEnd_ = -1;
};
