#pragma once
// A task as a connection sees it, backed by a real piece map in a temporary folder and
// the real range allocator, recording everything the connection tells it.
#include "engine/peer/TPeerTask.h"
#include "engine/piece/PieceFixture.h"
#include "engine/piece/TPeerId.h"
#include "engine/piece/TPieceRanges.h"
#include "engine/piece/TPieceWork.h"
#include "engine/piece/TPieces.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace peertest {

class FakePeerTask : public TPeerTask {
public:
    struct Failure {
        TRef<TPeerId> source;
        bool retry = false;
        int backoff = 0;
    };

    explicit FakePeerTask(std::string folder) : folder_(std::move(folder)) {}
    ~FakePeerTask() override = default;

    // Lays the download out: size bytes in pieces of pieceLength, with the piece hashes of
    // data when it is given (a torrent), without hashes otherwise (a plain download).
    bool Commit(uint64_t size, int32_t pieceLength, const std::vector<uint8_t>* data = nullptr) {
        ranges_.reset();
        work_.reset();
        const std::vector<uint8_t> none;
        const TFileLayout layout =
            piecetest::MakeLayout(folder_, {size}, pieceLength, data ? *data : none, data != nullptr);
        pieces_ = TRef<TPieces>::Adopt(new TPieces(&host));
        if (!pieces_->CommitLayout(layout, piecetest::TestHash(), TPieces::Options{}))
            return false;
        ranges_ = std::make_unique<TPieceRanges>(
            *pieces_, [this] { return now; }, [] { return 0u; });
        work_ = std::make_unique<TPieceWork>(*pieces_);
        return true;
    }
    // Where BuildRanges cuts the piece set.
    void AddShare(TPeerId* source, int connectionLimit) { shares_.push_back({source, connectionLimit}); }
    // Stores the real bytes of the given pieces, as if they had been downloaded before.
    void Preload(const std::vector<uint8_t>& data, int first, int last) {
        const uint32_t perPiece = static_cast<uint32_t>(pieces_->PieceLength() / kBlockSize);
        for (int p = first; p <= last; ++p)
            for (uint32_t k = 0; k < perPiece; ++k) {
                const uint32_t block = static_cast<uint32_t>(p) * perPiece + k;
                if (pieces_->BlockLength(block) > 0)
                    piecetest::Deliver(*pieces_, data, block);
            }
    }
    // The download's bytes as the piece map holds them; empty unless every piece is there.
    std::string Content() {
        if (!pieces_ || !HasAllPieces())
            return std::string();
        std::string out;
        for (int i = 0; i < pieces_->PieceCount(); ++i) {
            int32_t size = 0;
            int32_t missing = 0;
            pieces_->PieceInfo(i, size, missing);
            std::string piece(static_cast<size_t>(size), '\0');
            if (pieces_->ReadBlock(i, 0, size, reinterpret_cast<uint8_t*>(piece.data())) != size)
                return std::string();
            out += piece;
        }
        return out;
    }

    // TPeerTask
    TPieces* PieceMap() override { return pieces_ && pieces_->Usable() ? pieces_.get() : nullptr; }
    TPieceRanges* Ranges() override { return ranges_.get(); }
    TPieceWork* Work() override { return work_.get(); }
    void BuildRanges() override {
        ++buildCalls;
        if (ranges_ && !shares_.empty())
            ranges_->BuildInitialRanges(shares_);
    }
    bool PieceWanted(int piece) override { return pieces_ && pieces_->PieceNeeded(piece); }
    int WriteBlock(uint32_t block, const uint8_t* data, int32_t length, TPeerId* source,
                   bool& completed) override {
        ++writes;
        return pieces_->WriteBlock(block, data, length, source, completed);
    }
    void ReturnRequests(const std::vector<TBlockRequest>& requests) override {
        returned.insert(returned.end(), requests.begin(), requests.end());
    }
    int PriorityPiece() override { return priority; }
    bool HasAllPieces() override {
        return pieces_ && pieces_->Usable() && pieces_->PiecesDone() == pieces_->PieceCount();
    }
    uint64_t TotalSize() override { return pieces_ && pieces_->Usable() ? pieces_->TotalSize() : 0; }
    void LearnSize(uint64_t size, const std::string& name) override {
        learnt.emplace_back(size, name);
        if (learnPieceLength > 0 && !PieceMap())
            Commit(size, learnPieceLength);
    }
    void AddPayload(TPeerKind, uint64_t bytes) override { payload += bytes; }
    void AddWasted(uint64_t bytes) override { wasted += bytes; }
    void AddTraffic(uint64_t r, uint64_t s) override {
        received += r;
        sent += s;
    }
    uint64_t ReceiveAllowanceLeft() override { return allowance; }
    bool SourceFailed(TPeerId* source, bool retry, int backoff) override {
        failures.push_back({TRef<TPeerId>::Share(source), retry, backoff});
        return true;
    }
    void AddSource(TPeerId* source) override { added.push_back(TRef<TPeerId>::Share(source)); }
    uint64_t Now() override { return now; }
    uint32_t Uptime() override { return uptime; }
    bool Stopping() override { return false; }
    void SetStateCode(int code) override { stateCode = code; }
    void SetDnsFailed(bool failed) override { dnsFailed = failed; }
    void SetFetchState(int state) override { fetchState = state; }

    piecetest::RecordingHost host;
    // LearnSize lays a plain download out in pieces of this length; 0 leaves it alone.
    int32_t learnPieceLength = 262144;
    uint64_t now = 1000000;
    uint32_t uptime = 100;
    uint64_t allowance = 1u << 30;
    int priority = -1;
    std::vector<Failure> failures;
    std::vector<TRef<TPeerId>> added;
    std::vector<TBlockRequest> returned;
    std::vector<std::pair<uint64_t, std::string>> learnt;
    int stateCode = 0;
    bool dnsFailed = false;
    int fetchState = 0;
    int buildCalls = 0;
    int writes = 0;
    uint64_t payload = 0;
    uint64_t wasted = 0;
    uint64_t received = 0;
    uint64_t sent = 0;

private:
    std::string folder_;
    std::vector<TPieceRanges::SourceShare> shares_;
    TRef<TPieces> pieces_;
    std::unique_ptr<TPieceRanges> ranges_;
    std::unique_ptr<TPieceWork> work_;
};

// A source for a loopback URL.
inline TRef<TPeerId> MakeSource(const std::string& url, int connectionLimit = 8) {
    TRef<TPeerId> id = TRef<TPeerId>::Adopt(new TPeerId);
    id->Parse(url);
    id->connectionLimit = connectionLimit;
    return id;
}

// Polls condition until it holds or the time runs out; the condition's last answer.
inline bool WaitFor(const std::function<bool()>& condition, int milliseconds = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return condition();
}

enum class Outcome { Done, Ended, OutOfTime };

// Runs download ticks the way the task's loop does until done() holds (Done), a tick
// fails (Ended: the task would drop the connection) or the time runs out.
template <typename Peer>
Outcome Drive(Peer& peer, const std::function<bool()>& done, int milliseconds = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (!peer.OnDownloadTick())
            return Outcome::Ended;
        if (done())
            return Outcome::Done;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return Outcome::OutOfTime;
}

} // namespace peertest
