#pragma once
// Whole downloads through the engine interface from private nginx servers on loopback:
// the served folder, a task that saves into a folder of its own, torrents of the served
// file, and what each server's access log says it sent.
#include "engine/api/BrisklaneEngine.h"
#include "engine/piece/PieceFixture.h"
#include "engine/piece/TTorrentWriter.h"
#include "platform/Clock.h"
#include "support/NginxServer.h"
#include "support/RandomBytes.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace httptest {

using testsupport::FileExists;
using testsupport::NginxServer;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

// Sum of $bytes_sent (the last field of NginxServer's log format) over the log's lines
// from offset on.
inline uint64_t BytesSent(const std::string& log, size_t offset = 0, int* requests = nullptr) {
    std::istringstream in(log.substr(std::min(offset, log.size())));
    std::string line;
    uint64_t sum = 0;
    int n = 0;
    while (std::getline(in, line)) {
        const size_t space = line.rfind(' ');
        if (space == std::string::npos)
            continue;
        sum += std::stoull(line.substr(space + 1));
        ++n;
    }
    if (requests)
        *requests = n;
    return sum;
}

// Where each request from offset on asked its answer to start ("Range: bytes=N-"), in
// log order; -1 for a request without a range.
inline std::vector<int64_t> RangeStarts(const std::string& log, size_t offset = 0) {
    std::istringstream in(log.substr(std::min(offset, log.size())));
    std::vector<int64_t> starts;
    for (std::string line; std::getline(in, line);) {
        const size_t last = line.rfind(' ');
        const size_t field = last == std::string::npos ? std::string::npos : line.rfind(' ', last - 1);
        if (field == std::string::npos)
            continue;
        const std::string range = line.substr(field + 1, last - field - 1);
        starts.push_back(range.compare(0, 6, "bytes=") == 0 ? std::stoll(range.substr(6)) : -1);
    }
    return starts;
}

// Requests for the served file in an access log.
inline int RangedRequests(const std::string& log) {
    int n = 0;
    for (size_t at = log.find("game.bin HTTP"); at != std::string::npos;
         at = log.find("game.bin HTTP", at + 1))
        ++n;
    return n;
}

// Where two files first differ, or -1 when they hold the same bytes; read a few
// megabytes at a time, so files of gigabytes need no copy in memory.
inline int64_t FirstDifference(const std::string& a, const std::string& b) {
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    if (!fa || !fb)
        return 0;
    std::vector<char> ba(4 << 20), bb(4 << 20);
    int64_t at = 0;
    for (;;) {
        fa.read(ba.data(), static_cast<std::streamsize>(ba.size()));
        fb.read(bb.data(), static_cast<std::streamsize>(bb.size()));
        const std::streamsize na = fa.gcount(), nb = fb.gcount();
        const std::streamsize n = std::min(na, nb);
        if (std::memcmp(ba.data(), bb.data(), static_cast<size_t>(n)) != 0)
            return at + (std::mismatch(ba.begin(), ba.begin() + n, bb.begin()).first - ba.begin());
        if (na != nb)
            return at + n;
        if (na == 0)
            return -1;
        at += n;
    }
}

class HttpTaskFixture : public ::testing::Test {
protected:
    // A closed loopback port, so nothing leaves the machine.
    static constexpr const char* kClosedTracker = "http://127.0.0.1:1/announce";

    void SetUp() override {
        if (NginxServer::Program().empty())
            GTEST_SKIP() << "nginx is not installed";
        ASSERT_EQ(EngineInitialize(nullptr), kEngineOk);
        std::filesystem::create_directories(dir_.path() + "/www");
        std::filesystem::create_directories(dir_.path() + "/save");
    }
    void TearDown() override { EngineCleanup(); }

    std::string Served() const { return dir_.path() + "/www/game.bin"; }
    void Serve(const std::string& content) {
        content_ = content;
        WriteFile(Served(), content_);
    }
    bool StartServer(NginxServer& server, const std::string& name, const std::string& root = "",
                     const std::string& extra = "") {
        std::filesystem::create_directories(dir_.path() + "/" + name);
        return server.Start(root.empty() ? dir_.path() + "/www" : root, dir_.path() + "/" + name, extra);
    }
    // A location /slow/ with the served folder, throttled per connection so that a
    // download lasts long enough for what a test wants to see.
    std::string Throttled(const std::string& rate) const {
        return "    location /slow/ { alias " + dir_.path() + "/www/; limit_rate " + rate + "; }\n";
    }
    static std::string Url(uint16_t port, const std::string& path = "/game.bin") {
        return "http://127.0.0.1:" + std::to_string(port) + path;
    }
    std::string Target() const { return dir_.path() + "/save/game.bin"; }

    // A torrent of the served file, read from disk a piece at a time; returns the
    // resource identifier that names it.
    std::string WriteTorrent(int32_t pieceLength, const std::string& tracker = kClosedTracker) {
        TTorrentWriter writer;
        writer.SetName("game.bin");
        writer.SetPieceLength(pieceLength);
        writer.SetTrackers({tracker});
        std::string torrent;
        EXPECT_TRUE(writer.BuildFromFile(Served(), torrent));
        const std::string path = dir_.path() + "/save/1784ecb276cd2548c312097dcf60127e";
        WriteFile(path, torrent);
        return "file://" + path;
    }

    TaskDescriptor Describe(const std::string& sources, uint32_t flags, const std::string& resourceId) {
        sources_ = sources;
        TaskDescriptor d;
        std::memset(&d, 0, sizeof d);
        std::strncpy(d.targetPath, Target().c_str(), sizeof d.targetPath - 1);
        std::strncpy(d.resumeInfoPath, (dir_.path() + "/save/game.resume").c_str(),
                     sizeof d.resumeInfoPath - 1);
        std::strncpy(d.resourceId, resourceId.c_str(), sizeof d.resourceId - 1);
        d.sources = sources_.c_str();
        d.flags = kTaskFlagAccepted | kTaskFlagFullPath | flags;
        return d;
    }
    EngineTask Create(const std::string& sources, uint32_t flags = 0, const std::string& resourceId = "") {
        TaskDescriptor d = Describe(sources, flags, resourceId);
        EXPECT_EQ(EngineCreateTask(&d), kEngineOk);
        return d.task;
    }

    // False on time-out or an error state.
    bool WaitComplete(EngineTask t, int seconds, TaskStatus& s) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < end) {
            if (EngineGetTaskStatus(t, &s) != kEngineOk)
                return false;
            if (s.state == kTaskStateComplete)
                return true;
            if (s.state != 0 && s.state != kTaskStateDiskFull)
                return false;
            platform::SleepMs(50);
        }
        return false;
    }

    // The target holds the served bytes.
    void ExpectFinalFile() {
        WaitForTarget();
        ASSERT_TRUE(FileExists(Target()));
        const std::string got = ReadFile(Target());
        ASSERT_EQ(got.size(), content_.size());
        EXPECT_TRUE(got == content_) << "downloaded bytes differ from the served file";
    }
    // Neither the temporary name nor the resume record is left behind.
    void ExpectNoLeftovers() {
        WaitForTarget();
        EXPECT_FALSE(FileExists(Target() + ".qvtmp"));
        EXPECT_FALSE(FileExists(dir_.path() + "/save/game.resume"));
    }

    TempDir dir_;
    std::string content_;
    std::string sources_;

private:
    // The complete state comes from the progress figure; give the final rename a moment
    // rather than race it.
    void WaitForTarget() {
        for (int i = 0; i < 100 && !FileExists(Target()); ++i)
            platform::SleepMs(50);
    }
};

} // namespace httptest
