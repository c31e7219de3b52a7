#include "engine/peer/THttpPeer.h"

#include "engine/core/EngineLog.h"
#include "engine/core/EngineTypes.h"
#include "engine/net/QHostResolver.h"
#include "engine/net/TSourceUrl.h"
#include "engine/peer/TPeerTask.h"
#include "engine/piece/TPiece.h"
#include "platform/AsciiText.h"

#include <algorithm>
#include <string_view>

namespace {

constexpr int kFetchPurposeDocument = 1;
constexpr int kFetchStateRunning = 2;

constexpr uint64_t kHeaderTimeout = 15;
constexpr uint64_t kBodyTimeout = 30;
constexpr int kSlowRate = 2048;
constexpr int kTimeoutBackoff = 15;
constexpr int kServerErrorBackoff = 60;
constexpr int kMaxRepeatedRedirects = 2;
// More digits than any file size needs, few enough that the value cannot overflow.
constexpr size_t kMaxDigits = 18;

using platform::EqualsNoCase;
using platform::FindNoCase;
using platform::StartsWithNoCase;

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

// A plain decimal number and nothing else.
bool ParseDecimal(std::string_view text, int64_t& out) {
    text = TrimBlanks(text);
    if (text.empty() || text.size() > kMaxDigits)
        return false;
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    out = value;
    return true;
}

// "bytes first-last/total": the total is -1 when there is no "/" or it is not a number
// ("*"). False when first and last cannot be read.
bool ParseContentRange(std::string_view value, int64_t& first, int64_t& last, int64_t& total) {
    value = TrimBlanks(value);
    if (StartsWithNoCase(value, "bytes"))
        value.remove_prefix(5);
    value = TrimBlanks(value);
    const size_t slash = value.rfind('/');
    total = -1;
    if (slash != std::string_view::npos && !ParseDecimal(value.substr(slash + 1), total))
        total = -1;
    const std::string_view span = value.substr(0, slash);
    const size_t dash = span.find('-');
    return dash != std::string_view::npos && ParseDecimal(span.substr(0, dash), first) &&
           ParseDecimal(span.substr(dash + 1), last);
}

// The file name of a Content-Disposition value: after "filename=", up to ";" or the
// end, without the quotes around it.
std::string DispositionName(std::string_view value) {
    static constexpr std::string_view kKey = "filename=";
    const size_t at = FindNoCase(value, kKey);
    if (at == std::string_view::npos)
        return std::string();
    std::string_view name = value.substr(at + kKey.size());
    const bool quoted = !name.empty() && name.front() == '"';
    if (quoted)
        name.remove_prefix(1);
    name = name.substr(0, name.find(';'));
    name = TrimBlanks(name);
    if (quoted && !name.empty() && name.back() == '"')
        name.remove_suffix(1);
    return SafeFileName(std::string(TrimBlanks(name)));
}

// The URL cut before its last "/", when that "/" follows the scheme's "//".
std::string RefererOf(const std::string& url) {
    const size_t scheme = url.find("://");
    const size_t from = scheme == std::string::npos ? 0 : scheme + 3;
    const size_t slash = url.rfind('/');
    if (slash == std::string::npos || slash < from)
        return url;
    return url.substr(0, slash);
}

// Text that may stand in a request line or header value: no blanks, no control bytes,
// so a name from outside cannot add lines of its own to the request.
bool FitsRequest(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        const unsigned char u = static_cast<unsigned char>(c);
        return u > 0x20 && u != 0x7f;
    });
}

std::string BuildRequest(const std::string& path, const std::string& host, const std::string& referer,
                         int64_t start) {
    std::string r;
    r.reserve(256 + path.size() + host.size() + referer.size());
    r += "GET ";
    r += path;
    r += " HTTP/1.1\r\n";
    r += "Host:";
    r += host;
    r += "\r\n";
    r += "Accept:*/*\r\n";
    r += "Referer: ";
    r += referer;
    r += "\r\n";
    r += "User-Agent:";
    r += THttpPeer::kUserAgent;
    r += "\r\n";
    r += "Connection:Keep-Alive\r\n";
    if (start > 0) {
        r += "Range: bytes=";
        r += std::to_string(start);
        r += "-\r\n";
    }
    r += "Pragma: no-cache\r\n";
    r += "Cache-Control: no-cache\r\n";
    r += "\r\n";
    return r;
}

// The request line alone, for the log.
std::string FirstLine(const std::string& request) {
    return request.substr(0, request.find('\r'));
}

} // namespace

THttpPeer::THttpPeer(TPeerTask* task) : TRangePeer(kPeerHttp, task) {}

THttpPeer::~THttpPeer() {
    header_.Clear();
    THttpPeer::Reset();
}

void THttpPeer::Reset() {
    TRangePeer::Reset();
    headerReceived_ = false;
    header_.Clear();
    noLength_ = false;
    responseEnd_ = -1;
}

void THttpPeer::ReleaseRange() {
    TRangePeer::ReleaseRange();
    bytesToSkip_ = 0;
    stats_.contiguousBlocks = 0;
}

bool THttpPeer::Fail(bool retry, int backoffSeconds, const char* why) {
    if (why && source_)
        LogFormat(kLogConnection, "%sHTTP %s: %s", ThreadPrefix().c_str(), source_->url.url.c_str(), why);
    if (socket_)
        socket_->Close();
    if (source_ && task_)
        task_->SourceFailed(source_.get(), retry, backoffSeconds);
    return false;
}

int THttpPeer::ReadLimit() const {
    const uint64_t allowance = task_->ReceiveAllowanceLeft();
    return static_cast<int>(std::min<uint64_t>(allowance, kReadChunk));
}

// ---- connect and request planning ----

bool THttpPeer::ConnectTo(TPeerId* source) {
    if (!TPeerObject::ConnectTo(source))
        return false;
    headerReceived_ = false;
    header_.Clear();
    noLength_ = false;
    responseEnd_ = -1;
    bytesToSkip_ = 0;
    streamPosition_ = 0;

    if (!source->wholeBody) {
        if (requests_.empty() && source->fileSize > 0) {
            TRangePeer::DoRequest();
            if (requests_.empty())
                return false;
        }
        if (!requests_.empty())
            streamPosition_ = static_cast<int64_t>(requests_.front().block) * kBlockSize;
    } else {
        source->body.clear();
        if (source->fetchPurpose == kFetchPurposeDocument)
            task_->SetFetchState(kFetchStateRunning);
    }

    const TSourceUrl& url = source->url;
    const std::string& host = source->RequestHost();
    source->referer = RefererOf(url.url);
    const std::string& referer = source->referer.empty() ? url.url : source->referer;
    if (!FitsRequest(url.path) || !FitsRequest(host) || !FitsRequest(referer)) {
        LogFormat(kLogConnection, "%sHTTP request for %s refused: unusable characters",
                  ThreadPrefix().c_str(), url.url.c_str());
        return false;
    }

    const bool opened = socket_->Connect(url.address, url.port, nullptr, url.host.c_str());
    linkState_ = opened ? kLinkConnecting : kLinkNone;
    stats_.incoming = false;
    if (!opened)
        return false;
    const std::string request = BuildRequest(url.path, host, referer, streamPosition_);
    if (socket_->Send(request.data(), static_cast<int>(request.size())) < 0)
        return false;
    LogFormat(kLogRequest, "%s%s:%u %s (from %lld)", ThreadPrefix().c_str(), DottedText(url.address).c_str(),
              url.port, FirstLine(request).c_str(), static_cast<long long>(streamPosition_));
    return true;
}

bool THttpPeer::DoRequest() {
    if (!IsConnected() || !source_)
        return false;
    TPeerId& source = *source_;
    if (!headerReceived_ || stats_.contiguousBlocks != 0 || source.wholeBody)
        return true;

    if (source.fileSize > 0) {
        const uint64_t total = task_->TotalSize();
        if (total > 0 && total != static_cast<uint64_t>(source.fileSize))
            return Fail(true, kServerErrorBackoff, "size differs from the download's");
        if (requests_.empty()) {
            bytesToSkip_ = 0;
            TRangePeer::DoRequest();
        }
        if (NothingLeft())
            return false;
        if (RangeFinished()) {
            stats_.contiguousBlocks = 0;
            bytesToSkip_ = 0;
        }
    }
    if (requests_.empty())
        return true;

    int run = 1;
    while (static_cast<size_t>(run) < requests_.size() &&
           requests_[static_cast<size_t>(run)].block == requests_[static_cast<size_t>(run) - 1].block + 1)
        ++run;
    stats_.contiguousBlocks = run;
    const TBlockRequest& head = requests_.front();
    const int64_t start = static_cast<int64_t>(head.block) * kBlockSize;
    const int64_t headEnd = start + head.length;
    bytesToSkip_ = start - streamPosition_;
    // The open response serves the head only when its body reaches that far and either
    // the server is still sending or the bytes are already here.
    const bool inBody = responseEnd_ < 0 || headEnd <= responseEnd_;
    const bool coming =
        socket_->IsOpen() || streamPosition_ + static_cast<int64_t>(socket_->ReceiveLength()) >= headEnd;
    if (bytesToSkip_ >= 0 && bytesToSkip_ <= kKeepResponseBytes && inBody && coming)
        return true;

    // A new request from the head on, over the same source.
    bytesToSkip_ = 0;
    headerReceived_ = false;
    stats_.contiguousBlocks = 0;
    TRef<TPeerId> kept = DetachSource();
    ++kept->connectAttempts;
    return ConnectTo(kept.get());
}

bool THttpPeer::DoWrite() {
    if (IsConnected() && socket_->SendLength() > 0)
        return socket_->Flush() >= 0;
    return IsConnected();
}

bool THttpPeer::IsTimedOut() {
    if (!task_)
        return false;
    uint64_t limit = headerReceived_ ? kBodyTimeout : kHeaderTimeout;
    if (traffic_.downloadRate > 0 && traffic_.downloadRate < kSlowRate)
        limit *= 2;
    const uint64_t now = task_->Now();
    if (now <= stats_.activityTime || now - stats_.activityTime <= limit)
        return false;
    peerState_ = kPeerTimedOut;
    ReleaseRange();
    return true;
}

// ---- reading ----

bool THttpPeer::DoRead() {
    if (!IsConnected() || !source_ || !task_)
        return false;
    if (IsTimedOut()) {
        LogFormat(kLogHttpTrace, "%sHTTP %s timed out", ThreadPrefix().c_str(), source_->url.url.c_str());
        task_->SourceFailed(source_.get(), true, kTimeoutBackoff);
        return false;
    }
    if (!headerReceived_)
        return ReadHeader();
    return source_->wholeBody ? ReadWholeBody() : ReadPieces();
}

bool THttpPeer::ReadHeader() {
    if (task_->ReceiveAllowanceLeft() == 0 && linkState_ != kLinkConnecting)
        return true;
    const int got = socket_->Receive(QSocket::kDefaultReceiveChunk);
    const size_t buffered = socket_->ReceiveLength();
    if (buffered <= 2)
        return got >= 0;
    const size_t used = header_.Parse(socket_->ReceiveData(), buffered);
    if (used == 0 && buffered <= kMaxHeaderBytes)
        return got >= 0;
    if (used == 0 || used > kMaxHeaderBytes) {
        LogFormat(kLogConnection, "%sHTTP %s: header longer than %zu bytes", ThreadPrefix().c_str(),
                  source_->url.url.c_str(), kMaxHeaderBytes);
        socket_->Close();
        return false;
    }
    headerReceived_ = true;
    socket_->Consume(static_cast<int>(used));
    linkState_ = kLinkEstablished;
    LogFormat(kLogHttpTrace, "%sHTTP %s: %d %s", ThreadPrefix().c_str(), source_->url.url.c_str(),
              header_.Status(), header_.Reason().c_str());

    switch (header_.Status() / 100) {
    case 2:
        return OnSuccess();
    case 3:
        return OnRedirect();
    case 4:
        return Fail(false, 0, nullptr);
    case 5:
        return Fail(true, kServerErrorBackoff, nullptr);
    default:
        socket_->Close();
        return false;
    }
}

bool THttpPeer::BodyMatchesRequest() {
    // A coded body (chunked, compressed) is not the resource's bytes as they are; we ask
    // for none, so a server that sends one anyway is not used.
    for (const char* field : {"Transfer-Encoding", "Content-Encoding"}) {
        const std::string coding = header_.GetField(field);
        if (header_.HasField(field) && !EqualsNoCase(coding, "identity"))
            return Fail(true, kServerErrorBackoff, "coded body not supported");
    }

    int64_t length = -1;
    const bool hasLength = header_.HasField("Content-Length");
    if (hasLength && !ParseDecimal(header_.GetField("Content-Length"), length))
        return Fail(true, kServerErrorBackoff, "unreadable Content-Length");
    const bool hasRange = header_.HasField("Content-Range");
    noLength_ = !hasLength && !hasRange;

    int64_t claimedTotal = -1;
    if (hasRange) {
        int64_t first = 0;
        int64_t last = 0;
        if (!ParseContentRange(header_.GetField("Content-Range"), first, last, claimedTotal))
            return Fail(true, kServerErrorBackoff, "unreadable Content-Range");
        // Bytes of another part of the file would land in the wrong blocks; without piece
        // hashes nothing would ever notice.
        if (first != streamPosition_)
            return Fail(true, kServerErrorBackoff, "Content-Range starts elsewhere than asked");
        if (last < first || (claimedTotal >= 0 && last >= claimedTotal) ||
            (hasLength && length != last - first + 1))
            return Fail(true, kServerErrorBackoff, "inconsistent Content-Range");
        responseEnd_ = last + 1;
    } else {
        if (streamPosition_ != 0)
            return Fail(true, kServerErrorBackoff, "range not honoured");
        if (header_.Status() == 206)
            return Fail(true, kServerErrorBackoff, "partial content without Content-Range");
        responseEnd_ = hasLength ? length : -1;
        claimedTotal = length;
    }
    if (source_->fileSize > 0 && claimedTotal >= 0 && claimedTotal != source_->fileSize)
        return Fail(true, kServerErrorBackoff, "size differs from the source's");
    return true;
}

bool THttpPeer::OnSuccess() {
    TPeerId& source = *source_;
    if (source.originCode == TPeerId::kOriginSource)
        source.originCode = TPeerId::kOriginRedirect;
    if (!BodyMatchesRequest())
        return false;
    // Size and name come from the first connection to the source only.
    if (source.openConnections > 1)
        return true;

    source.redirected = false;
    if (source.fileSize == 0) {
        int64_t size = -1;
        if (header_.HasField("Content-Range")) {
            int64_t first = 0;
            int64_t last = 0;
            ParseContentRange(header_.GetField("Content-Range"), first, last, size);
        } else if (!noLength_) {
            ParseDecimal(header_.GetField("Content-Length"), size);
        }
        if (source.wholeBody && noLength_ && size <= 0)
            size = kUnknownBodySize;
        source.fileSize = size;
    }
    LearnFileName();
    if (!source.wholeBody && source.fileSize > 0 && task_->TotalSize() == 0)
        task_->LearnSize(static_cast<uint64_t>(source.fileSize), source.fileName);
    return source.fileSize > 0;
}

void THttpPeer::LearnFileName() {
    TPeerId& source = *source_;
    const std::string name = header_.HasField("Content-Disposition")
                                 ? DispositionName(header_.GetField("Content-Disposition"))
                                 : "";
    if (!name.empty())
        source.fileName = name;
    else if (source.fileName.empty())
        source.fileName = source.url.fileName.empty() ? "index.htm" : source.url.fileName;
}

bool THttpPeer::OnRedirect() {
    TPeerId& source = *source_;
    source.redirected = true;
    std::string location = header_.GetField("Location");
    bool sameServer = false;
    bool usable = !location.empty();
    if (usable && !StartsWithNoCase(location, "http://") && !StartsWithNoCase(location, "ftp://")) {
        const size_t scheme = location.find("://");
        if (scheme != std::string::npos && scheme < location.find('/')) {
            // Another scheme (https and the like): nothing here can follow it.
            usable = false;
        } else if (location.compare(0, 2, "//") == 0) {
            location.insert(0, "http:");
        } else {
            std::string absolute = "http://" + source.url.host;
            if (source.url.port != 80)
                absolute += ":" + std::to_string(source.url.port);
            if (location.front() != '/') {
                // Relative to the folder of the path that was asked for.
                const std::string& path = source.url.path;
                const std::string folder = path.substr(0, path.find('?'));
                absolute += folder.substr(0, folder.rfind('/') + 1);
            }
            location = absolute + location;
            sameServer = true;
        }
    }
    LogFormat(kLogHttpTrace, "%sHTTP %s redirected to %s", ThreadPrefix().c_str(), source.url.url.c_str(),
              location.c_str());

    socket_->Close();
    if (location == source.lastRedirect) {
        if (++source.redirectCount > kMaxRepeatedRedirects)
            task_->SourceFailed(&source, false, 0);
    } else {
        source.lastRedirect = location;
        ++source.redirectCount;
    }

    if (usable) {
        TRef<TPeerId> next = TRef<TPeerId>::Adopt(new TPeerId);
        next->wholeBody = source.wholeBody;
        next->fetchPurpose = source.fetchPurpose;
        if (next->Parse(location)) {
            next->referer = location;
            next->originCode = TPeerId::kOriginRedirect;
            // The same server under the same name: a mirror addressed by its IP keeps
            // sending the host name it is known by.
            if (sameServer)
                next->hostOverride = source.hostOverride;
            task_->AddSource(next.get());
        }
        if (next->url.dnsFailed)
            task_->SetStateCode(kTaskStateBadHost);
        task_->SetDnsFailed(next->url.dnsFailed);
    }
    peerState_ = kPeerFinished;
    return false;
}

bool THttpPeer::ReadWholeBody() {
    TPeerId& source = *source_;
    const int limit = ReadLimit();
    const int got = limit > 0 ? socket_->Receive(limit) : 0;
    const size_t buffered = socket_->ReceiveLength();
    if (got < 0 && buffered == 0) {
        // The server closed: complete when it said nothing of a length, or gave it all.
        if (!source.body.empty() &&
            (noLength_ || static_cast<int64_t>(source.body.size()) >= source.fileSize)) {
            source.done = true;
            peerState_ = kPeerFinished;
        }
        return false;
    }
    if (buffered > 0) {
        size_t take = buffered;
        if (source.fileSize > 0 && !noLength_)
            take = static_cast<size_t>(std::min<int64_t>(
                static_cast<int64_t>(take),
                std::max<int64_t>(source.fileSize - static_cast<int64_t>(source.body.size()), 0)));
        if (source.body.size() + take > kMaxWholeBody) {
            LogFormat(kLogConnection, "%sHTTP %s: document larger than %zu bytes", ThreadPrefix().c_str(),
                      source.url.url.c_str(), kMaxWholeBody);
            socket_->Close();
            return false;
        }
        if (source.body.capacity() - source.body.size() < 4096)
            source.body.reserve(source.body.size() + buffered + 4096);
        source.body.append(socket_->ReceiveData(), take);
        socket_->Consume(static_cast<int>(buffered));
        stats_.activityTime = task_->Now();
    }
    if (source.fileSize > 0 && static_cast<int64_t>(source.body.size()) >= source.fileSize) {
        // Complete: the connection has nothing more to do.
        source.done = true;
        peerState_ = kPeerFinished;
        return false;
    }
    return true;
}

bool THttpPeer::ReadPieces() {
    if (stats_.contiguousBlocks <= 0)
        return true;
    const int limit = ReadLimit();
    const int got = limit > 0 ? socket_->Receive(limit) : 0;
    const size_t buffered = socket_->ReceiveLength();
    if (got < 0 && buffered == 0) {
        // A server that closes after a complete response has done nothing wrong: the next
        // request goes out on a new connection.
        if (responseEnd_ >= 0 && streamPosition_ >= responseEnd_) {
            stats_.contiguousBlocks = 0;
            return true;
        }
        return false;
    }
    if (responseEnd_ >= 0 && streamPosition_ + static_cast<int64_t>(buffered) > responseEnd_) {
        LogFormat(kLogConnection, "%sHTTP %s: more bytes than the response announced", ThreadPrefix().c_str(),
                  source_->url.url.c_str());
        socket_->Close();
        return false;
    }

    const char* data = socket_->ReceiveData();
    size_t used = 0;
    if (bytesToSkip_ > 0) {
        if (static_cast<uint64_t>(bytesToSkip_) >= buffered) {
            socket_->Consume(static_cast<int>(buffered));
            streamPosition_ += static_cast<int64_t>(buffered);
            bytesToSkip_ -= static_cast<int64_t>(buffered);
            return true;
        }
        used = static_cast<size_t>(bytesToSkip_);
        streamPosition_ += bytesToSkip_;
        bytesToSkip_ = 0;
    }

    bool delivered = false;
    while (!requests_.empty() && stats_.contiguousBlocks >= 1) {
        const TBlockRequest head = requests_.front();
        const int64_t start = static_cast<int64_t>(head.block) * kBlockSize;
        // The stream must lead straight to the head; otherwise (requests dropped meanwhile,
        // a response that ends before it) planning decides anew.
        if (start != streamPosition_ || (responseEnd_ >= 0 && start + head.length > responseEnd_)) {
            stats_.contiguousBlocks = 0;
            break;
        }
        if (buffered - used < static_cast<size_t>(head.length))
            break;
        if (!OnBlockReceived(head.block, head.length, reinterpret_cast<const uint8_t*>(data + used))) {
            socket_->Consume(static_cast<int>(used));
            return false;
        }
        used += static_cast<size_t>(head.length);
        streamPosition_ += head.length;
        delivered = true;
    }
    socket_->Consume(static_cast<int>(used));
    if (socket_->IsOpen())
        return true;
    // Closed by the server: what is still buffered may serve the next blocks, but a
    // buffer that no longer moves ends the connection.
    return delivered && socket_->ReceiveLength() > 0;
}
