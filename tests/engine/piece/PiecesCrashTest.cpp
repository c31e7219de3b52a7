#include "engine/piece/PieceFixture.h"
#include "engine/piece/TResumeInfo.h"
#include "support/RandomBytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <numeric>
#include <random>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace piecetest;
using testsupport::FileExists;
using testsupport::RandomByteVector;
using testsupport::ReadFile;
using testsupport::TempDir;

constexpr int32_t kPiece = 65536;

struct World {
    TempDir dir;
    std::vector<uint8_t> data = RandomByteVector(2 * 1024 * 1024 + 4321, 77);
    TFileLayout layout = MakeLayout(dir.path(), {1000000, 2 * 1024 * 1024 + 4321 - 1000000}, kPiece, data);
    std::string resume = dir.file("task.resume");
    std::string partial = dir.file("task.resumedf");

    TRef<TPieces> Open(RecordingHost& host) {
        TRef<TPieces> map = TRef<TPieces>::Adopt(new TPieces(&host));
        TPieces::Options options;
        options.partialPiecePath = partial;
        if (!map->CommitLayout(layout, TestHash(), options))
            return {};
        TResumeInfo info;
        info.Load(resume);
        map->InitialCheck(nullptr, info.bits);
        return map;
    }
};

// The child: resumes from whatever is on disk, then delivers blocks in random order and
// saves its state every few blocks, for ever. It is killed at a random moment.
[[noreturn]] void RunWriter(World& w, unsigned seed) {
    RecordingHost host;
    TRef<TPieces> map = w.Open(host);
    if (!map)
        _exit(3);
    std::vector<uint32_t> blocks(BlockCount(*map));
    std::iota(blocks.begin(), blocks.end(), 0u);
    std::shuffle(blocks.begin(), blocks.end(), std::mt19937(seed));
    TResumeInfo info;
    size_t n = 0;
    for (;;) {
        if (n < blocks.size())
            Deliver(*map, w.data, blocks[n]);
        ++n;
        map->StoreBufferedData();
        if (n % 6 == 0) {
            map->CloseFiles(true, false);
            map->WritePartialData();
            info.bits = host.bits;
            info.part = host.part;
            if (!info.Save(w.resume))
                _exit(4);
        }
        usleep(300);
    }
}

TEST(PiecesCrashTest, KilledWritersNeverLeaveUnreadableRecordsOrWrongVerifiedBytes) {
    World w;
    std::mt19937 rng(2024);
    int sawRecord = 0;
    for (int round = 0; round < 30; ++round) {
        SCOPED_TRACE(round);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0)
            RunWriter(w, static_cast<unsigned>(round));
        usleep(2000 + rng() % 40000);
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "writer exited by itself with " << WEXITSTATUS(status);

        if (FileExists(w.resume)) {
            TResumeInfo info;
            ASSERT_TRUE(info.Load(w.resume)) << "a killed writer left an unreadable resume file";
            ++sawRecord;
        }
        // Whatever the map now believes present must be on disk byte for byte.
        RecordingHost host;
        TRef<TPieces> map = w.Open(host);
        ASSERT_TRUE(map);
        std::vector<uint8_t> piece(kPiece);
        for (int i = 0; i < map->PieceCount(); ++i) {
            if (!map->HasPiece(i))
                continue;
            int32_t size = 0, missing = 0;
            map->PieceInfo(i, size, missing);
            ASSERT_EQ(map->ReadBlock(i, 0, size, piece.data()), size);
            ASSERT_TRUE(std::equal(piece.begin(), piece.begin() + size,
                                   w.data.begin() + static_cast<ptrdiff_t>(i) * kPiece))
                << "piece " << i;
        }
    }
    EXPECT_GT(sawRecord, 0);

    // What the rounds left is good enough to finish on: the result is the source data.
    RecordingHost host;
    TRef<TPieces> map = w.Open(host);
    for (uint32_t b = 0; b < BlockCount(*map); ++b)
        Deliver(*map, w.data, b);
    ASSERT_EQ(map->PiecesDone(), map->PieceCount());
    map->CloseFiles(true, true);
    const std::string all = ReadFile(w.layout.files[0].path) + ReadFile(w.layout.files[1].path);
    EXPECT_TRUE(all == std::string(w.data.begin(), w.data.end()));
}

} // namespace
