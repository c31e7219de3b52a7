// Several THttpPeer connections on one nginx source, each working through its own piece
// ranges, download a file of some MiB into the piece map.
#include "engine/peer/THttpPeer.h"

#include "engine/net/QProxyInfo.h"
#include "engine/peer/FakePeerTask.h"
#include "support/NginxServer.h"
#include "support/RandomBytes.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using peertest::FakePeerTask;
using testsupport::NginxServer;
using testsupport::TempDir;

constexpr int32_t kPieceLength = 262144;
// Not a whole number of pieces, so the last piece and its last block are short.
constexpr size_t kFileSize = 6 * 1024 * 1024 + 12345;

struct RunResult {
    int connectionsOpened = 0;
    int deliveringConnections = 0; // connections that brought payload
    std::vector<int> endStates;
};

class NginxDownload : public ::testing::Test {
protected:
    void SetUp() override {
        if (NginxServer::Program().empty())
            GTEST_SKIP() << "nginx is not installed";
        proxy_ = QProxyInfo::Global();
        QProxyInfo::SetGlobal(QProxyInfo{});
        data_ = testsupport::RandomByteVector(kFileSize, 21);
        std::filesystem::create_directories(work_.path() + "/root");
        testsupport::WriteFile(work_.path() + "/root/pkg.bin", std::string(data_.begin(), data_.end()));
        ASSERT_TRUE(
            nginx_.Start(work_.path() + "/root", work_.path(), "location = /old { return 302 /pkg.bin; }"))
            << nginx_.ErrorLog();
    }
    void TearDown() override {
        if (!NginxServer::Program().empty())
            QProxyInfo::SetGlobal(proxy_);
    }

    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(nginx_.port()) + path;
    }

    // The task's side in small: keeps up to `limit` connections on the source (one while
    // its size is unknown), ticks them, takes the rate samples, follows a redirect to the
    // new source, and drops connections whose tick fails.
    RunResult Download(FakePeerTask& task, TRef<TPeerId> source, int limit) {
        RunResult run;
        std::vector<TRef<THttpPeer>> peers;
        auto drop = [&](size_t i) {
            THttpPeer& p = *peers[i];
            run.endStates.push_back(p.PeerState());
            if (p.Traffic().receivedKiB > 0)
                ++run.deliveringConnections;
            peers.erase(peers.begin() + static_cast<std::ptrdiff_t>(i));
        };
        const auto start = std::chrono::steady_clock::now();
        auto lastSample = start;
        while (!task.HasAllPieces() && std::chrono::steady_clock::now() - start < std::chrono::seconds(60)) {
            if (!task.added.empty() && source->redirected) {
                source = task.added.back();
                task.AddShare(source.get(), limit);
            }
            while (static_cast<int>(peers.size()) < limit && (source->fileSize > 0 || peers.empty())) {
                TRef<THttpPeer> p = TRef<THttpPeer>::Adopt(new THttpPeer(&task));
                if (!p->ConnectTo(source.get()))
                    break;
                ++run.connectionsOpened;
                peers.push_back(p);
            }
            for (size_t i = 0; i < peers.size();) {
                if (peers[i]->OnDownloadTick())
                    ++i;
                else
                    drop(i);
            }
            const auto now = std::chrono::steady_clock::now();
            if (now - lastSample >= std::chrono::milliseconds(500)) {
                for (auto& p : peers)
                    p->SampleRates(1);
                lastSample = now;
                ++task.now;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        while (!peers.empty())
            drop(peers.size() - 1);
        return run;
    }

    // Requests nginx answered with the given status.
    int Answered(const std::string& status) const {
        std::istringstream log(nginx_.AccessLog());
        int n = 0;
        for (std::string line; std::getline(log, line);)
            if (line.find(" " + status + " ") != std::string::npos)
                ++n;
        return n;
    }

    TempDir work_;
    NginxServer nginx_;
    std::vector<uint8_t> data_;
    QProxyInfo proxy_;
};

TEST_F(NginxDownload, PlainDownloadOfUnknownSizeOverSeveralConnections) {
    TempDir target;
    FakePeerTask task(target.path());
    task.learnPieceLength = kPieceLength;
    TRef<TPeerId> source = peertest::MakeSource(Url("/pkg.bin"), 4);
    task.AddShare(source.get(), 4);

    const RunResult run = Download(task, source, 4);
    ASSERT_TRUE(task.HasAllPieces()) << nginx_.AccessLog();
    EXPECT_EQ(task.Content(), std::string(data_.begin(), data_.end()));
    ASSERT_EQ(task.learnt.size(), 1u);
    EXPECT_EQ(task.learnt[0].first, kFileSize);
    EXPECT_EQ(task.learnt[0].second, "pkg.bin");
    EXPECT_GE(run.connectionsOpened, 4);
    EXPECT_GE(run.deliveringConnections, 2) << "the work was shared";
    EXPECT_GE(Answered("206"), 3) << nginx_.AccessLog();
    EXPECT_TRUE(task.failures.empty());
    EXPECT_EQ(task.payload, kFileSize);
    EXPECT_EQ(task.wasted, 0u);
}

TEST_F(NginxDownload, HashedDownloadThroughARedirect) {
    TempDir target;
    FakePeerTask task(target.path());
    ASSERT_TRUE(task.Commit(kFileSize, kPieceLength, &data_));
    TRef<TPeerId> source = peertest::MakeSource(Url("/old"), 4);

    const RunResult run = Download(task, source, 4);
    ASSERT_TRUE(task.HasAllPieces()) << nginx_.AccessLog();
    EXPECT_EQ(task.Content(), std::string(data_.begin(), data_.end()));
    ASSERT_EQ(task.added.size(), 1u);
    EXPECT_EQ(task.added[0]->url.url, Url("/pkg.bin"));
    ASSERT_FALSE(run.endStates.empty());
    EXPECT_EQ(run.endStates.front(), TPeerObject::kPeerFinished)
        << "the redirect ends its connection normally";
    EXPECT_EQ(Answered("302"), 1);
    EXPECT_GE(run.deliveringConnections, 2);
    EXPECT_TRUE(task.learnt.empty()) << "the layout was known";
    EXPECT_TRUE(task.failures.empty());
    EXPECT_EQ(task.wasted, 0u) << "every piece passed its check";
}

} // namespace
