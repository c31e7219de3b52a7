#include "app/ResourceExtractor.h"
#include "app/ControllerTexts.h"
#include "app/EmbeddedConfigBlock.h"
#include "app/ResourceIds.h"
#include "engine/core/EngineLog.h"
#include "platform/DebugOutput.h"
#include "platform/Paths.h"
#include "platform/ResourceArchive.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace {

using testsupport::FileExists;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

// A statistics configuration longer than a configuration slot: it must arrive whole.
std::string LongIni() {
    std::string ini = "[SubmitEventDownload]\n";
    for (int i = 0; i < 40; ++i)
        ini += "SubmitUrl" + (i ? std::to_string(i) : std::string()) + "=http://127.0.0.1:8080/" +
               std::string(100, 'p') + "\n";
    return ini;
}

constexpr char kTorrentBytes[] =
    "d8:announce4:none4:infod6:lengthi1e4:name1:x12:piece lengthi16384e6:pieces1:\0ee";
const std::string kTorrent(kTorrentBytes, sizeof kTorrentBytes - 1);

class ResourceExtractorTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::ResourceArchive archive;
        archive.Put({ResourceIds::kStatisticsType, ResourceIds::kStatistics,
                     platform::kLanguageChineseSimplified,
                     embedded::EmbeddedConfigBlock::EncodeText(LongIni())});
        archive.Put({ResourceIds::kTorrentType, ResourceIds::Torrent(0), platform::kLanguageChineseSimplified,
                     kTorrent});
        WriteFile(program_, "not really a program" + archive.Serialize());
        WriteFile(dir_.file("blocker"), "a file where a folder is expected");
        platform::CreateFolder(temp_);
        SetTempFolder(temp_);

        openedLog_ = EngineLog() == nullptr;
        OpenEngineLog();
        previousSink_ = platform::SetDebugSink([this](std::string_view line) {
            std::lock_guard<std::mutex> g(m_);
            lines_.emplace_back(line);
        });
    }
    void TearDown() override {
        platform::SetDebugSink(previousSink_);
        if (openedLog_)
            CloseEngineLog();
        if (oldTemp_)
            ::setenv("TMPDIR", oldTemp_->c_str(), 1);
        else
            ::unsetenv("TMPDIR");
    }
    void SetTempFolder(const std::string& folder) {
        if (!savedTemp_) {
            savedTemp_ = true;
            if (const char* old = std::getenv("TMPDIR"))
                oldTemp_ = old;
        }
        ::setenv("TMPDIR", folder.c_str(), 1);
    }
    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> g(m_);
        return lines_;
    }
    static std::string Formatted(const char* format, const std::string& path) {
        char buf[4096];
        std::snprintf(buf, sizeof buf, format, path.c_str());
        return std::string("] [") + buf + "]";
    }

    TempDir dir_;
    const std::string program_ = dir_.file("program");
    const std::string temp_ = dir_.file("tmp");
    bool openedLog_ = false;
    bool savedTemp_ = false;
    std::optional<std::string> oldTemp_;
    platform::DebugSink previousSink_;
    std::mutex m_;
    std::vector<std::string> lines_;
};

TEST_F(ResourceExtractorTest, WritesIntoTheFolderAndMakesItsChain) {
    ResourceExtractor extractor(program_);
    const std::string folder = dir_.file("data/Harrowfield/Brisklane");
    WriteFile(dir_.file("stale"), std::string(100000, 's'));

    ASSERT_EQ(extractor.ReleaseResource(ResourceIds::kStatistics, folder, "dataupload.vedare",
                                        ResourceIds::kStatisticsType, true),
              0);
    EXPECT_EQ(ReadFile(folder + "/dataupload.vedare"), LongIni());
    EXPECT_EQ(ResourceExtractor::ReleasedPath(0, folder, "dataupload.vedare"), folder + "/dataupload.vedare");

    // Raw bytes, NUL included; a longer file already there is cut to the resource.
    WriteFile(folder + "/4fc4be0e5a4c8af692263ae9d1c8fa46", std::string(100000, 's'));
    ASSERT_EQ(extractor.ReleaseResource(ResourceIds::Torrent(0), folder, "4fc4be0e5a4c8af692263ae9d1c8fa46",
                                        ResourceIds::kTorrentType, false),
              0);
    EXPECT_EQ(ReadFile(folder + "/4fc4be0e5a4c8af692263ae9d1c8fa46"), kTorrent);
    EXPECT_TRUE(extractor.LastFailure().empty());
    EXPECT_TRUE(Lines().empty());
}

TEST_F(ResourceExtractorTest, UnwritableFolderFallsBackToTheTemporaryFolder) {
    ResourceExtractor extractor(program_);
    const std::string folder = dir_.file("blocker/data");
    ASSERT_EQ(extractor.ReleaseResource(ResourceIds::kStatistics, folder, "dataupload.vedare",
                                        ResourceIds::kStatisticsType, true),
              1);
    const std::string released = ResourceExtractor::ReleasedPath(1, folder, "dataupload.vedare");
    EXPECT_EQ(released, temp_ + "/dataupload.vedare");
    EXPECT_EQ(ReadFile(released), LongIni());

    const std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(Formatted(texts::kLogReleaseFirstFailed, folder + "/dataupload.vedare")),
              std::string::npos)
        << lines[0];
}

TEST_F(ResourceExtractorTest, BothPlacesUnwritable) {
    SetTempFolder(dir_.file("blocker/tmp"));
    ResourceExtractor extractor(program_);
    const std::string folder = dir_.file("blocker/data");
    EXPECT_EQ(extractor.ReleaseResource(ResourceIds::Torrent(0), folder, "x.torrent",
                                        ResourceIds::kTorrentType, false),
              -1);
    EXPECT_EQ(extractor.LastFailure(), texts::kExtractCreateFailed);
    EXPECT_EQ(ResourceExtractor::ReleasedPath(-1, folder, "x.torrent"), "");

    const std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(Formatted(texts::kLogReleaseFirstFailed, folder + "/x.torrent")),
              std::string::npos);
    EXPECT_NE(lines[1].find(Formatted(texts::kLogReleaseSecondFailed, dir_.file("blocker/tmp/x.torrent"))),
              std::string::npos)
        << lines[1];
}

TEST_F(ResourceExtractorTest, FailureTexts) {
    std::string damaged = ReadFile(program_);
    damaged[25] ^= 0x10;
    WriteFile(dir_.file("damaged"), damaged);
    struct Case {
        const char* what;
        std::string program;
        int id;
        const char* type;
        const char* failure;
    } cases[] = {
        {"no program file", dir_.file("missing"), ResourceIds::kStatistics, ResourceIds::kStatisticsType,
         texts::kExtractNoModule},
        {"damaged archive", dir_.file("damaged"), ResourceIds::kStatistics, ResourceIds::kStatisticsType,
         texts::kExtractLoadFailed},
        {"no such id", program_, ResourceIds::kStatistics + 1, ResourceIds::kStatisticsType,
         texts::kExtractNotFound},
        {"id of another type", program_, ResourceIds::kStatistics, ResourceIds::kTorrentType,
         texts::kExtractNotFound},
        {"no type", program_, ResourceIds::kStatistics, nullptr, texts::kExtractNotFound},
        {"negative id", program_, -1, ResourceIds::kStatisticsType, texts::kExtractNotFound},
    };
    const std::string folder = dir_.file("out");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ResourceExtractor extractor(c.program);
        EXPECT_EQ(extractor.ReleaseResource(c.id, folder, "f", c.type, true), -1);
        EXPECT_EQ(extractor.LastFailure(), c.failure);
        EXPECT_FALSE(FileExists(folder + "/f"));
        EXPECT_FALSE(FileExists(temp_ + "/f"));
    }
}

TEST_F(ResourceExtractorTest, TheTestProgramItselfCarriesNoResources) {
    ResourceExtractor extractor;
    EXPECT_EQ(extractor.ReleaseResource(ResourceIds::kStatistics, dir_.file("out"), "dataupload.vedare",
                                        ResourceIds::kStatisticsType, true),
              -1);
    EXPECT_EQ(extractor.LastFailure(), texts::kExtractNotFound);
    EXPECT_EQ(Lines().size(), 2u);
}

} // namespace
