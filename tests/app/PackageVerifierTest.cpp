// The digest and progress figures of the package check, on files of the sizes where
// pieces and read blocks meet.
#include "ControllerFixture.h"

#include "app/ControllerContext.h"
#include "app/ControllerState.h"
#include "app/DiskSpaceWatch.h"
#include "app/JobRecord.h"
#include "app/PackageVerifier.h"
#include "app/TaskControl.h"
#include "engine/api/BrisklaneEngine.h"
#include "engine/core/QMd5.h"
#include "support/RandomBytes.h"

namespace {

using controllertest::ControllerTest;
using testsupport::WriteFile;

TEST(PackageVerifierProgressTest, PiecesReadAgainstWholePieces) {
    const struct {
        uint64_t pieces, whole;
        uint32_t expected;
    } cases[] = {
        {0, 0, 0},
        {1, 0, 10000}, // shorter than one piece: nothing, then all
        {0, 3, 0},
        {1, 3, 3333},
        {2, 3, 6666},
        {3, 3, 10000},
        {4, 3, 10000}, // the trailing partial piece stops at the end
        {1, 1000000, 0},
        {999999, 1000000, 9999},
        {1000000, 1000000, 10000},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PackageVerifier::ReadProgress(c.pieces, c.whole), c.expected) << c.pieces << "/" << c.whole;
}

TEST(PackageVerifierProgressTest, OverallProgressWeighsFilesByWholeMebibytes) {
    const uint64_t MiB = 1048576;
    const uint64_t sizes[4] = {1 * MiB, 2 * MiB + 5, 3 * MiB, 4 * MiB - 1}; // weights 1, 2, 3, 3
    const struct {
        int index;
        uint32_t progress;
        unsigned expected;
    } cases[] = {
        {0, 0, 0},
        {0, 5000, 5000 / 9},
        {1, 0, 10000 / 9},
        {1, 5000, (10000 + 2 * 5000) / 9},
        {2, 9999, (30000 + 3 * 9999) / 9},
        {2, 10000, 60000 / 9},
        {3, 12000, 10000}, // above the end counts as the end
    };
    for (const auto& c : cases)
        EXPECT_EQ(PackageVerifier::OverallProgress(sizes, c.index, c.progress), c.expected)
            << c.index << " " << c.progress;

    // Files under one MiB weigh nothing; with no weight at all the numerator stands.
    const uint64_t small[4] = {100, 200, 300, 400};
    EXPECT_EQ(PackageVerifier::OverallProgress(small, 2, 7000), 0u);
    const uint64_t mixed[4] = {100, 2 * MiB, 300, 400};
    EXPECT_EQ(PackageVerifier::OverallProgress(mixed, 2, 7000), 10000u) << "file 1 before the index";
}

// A verifier on parts of its own, without a controller around it: its figures are its
// own.
class PackageVerifierTest : public ControllerTest {
protected:
    IControllerSeams seams_;
    ControllerContext context_{harness_.env, seams_};
    ControllerState state_;
    JobRecord job_{context_, state_};
    DiskSpaceWatch disk_{context_, state_};
    TaskControl tasks_{context_, state_, job_, disk_};
    PackageVerifier verifier_{context_, state_, job_, tasks_};

    unsigned CheckProgress() const {
        ControllerLock::Scope scope(context_.lock());
        return verifier_.CheckProgress();
    }
};

TEST_F(PackageVerifierTest, DigestOfFilesAroundPieceAndBlockBounds) {
    context_.SetConfig(harness_.config);
    const size_t block = 64 * 4096;
    const size_t sizes[] = {0, 1, 4095, 4096, 4097, block - 1, block, block + 1, 3 * block + 4096 * 5 + 17};
    for (size_t size : sizes) {
        const std::string data = testsupport::RandomBytes(size, static_cast<uint32_t>(size));
        const std::string path = dir_.file("f" + std::to_string(size));
        WriteFile(path, data);
        EXPECT_EQ(verifier_.ComputeFileMd5(1, path), Md5Hex(data.data(), data.size())) << size;
        // File 1 read to its end: everything before it and itself count in full.
        EXPECT_EQ(CheckProgress(), size == 0 ? 1000u : 3000u) << size;
    }
    EXPECT_EQ(verifier_.ComputeFileMd5(2, dir_.file("missing")), "");
    EXPECT_EQ(CheckProgress(), 3000u) << "file 2 not read: files 0 and 1 count";
    EXPECT_EQ(verifier_.ComputeFileMd5(2, dir_.path()), "") << "a folder cannot be read";
}

} // namespace
