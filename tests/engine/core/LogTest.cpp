#include "engine/core/CBrisklaneLogApi.h"
#include "platform/DebugOutput.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

namespace {

using testsupport::FileExists;
using testsupport::ReadFile;

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = platform::SetDebugSink([this](std::string_view line) {
            std::lock_guard<std::mutex> g(m_);
            debug_.emplace_back(line);
        });
        log_.SetBasePath(dir_.file("abc").c_str());
    }
    void TearDown() override { platform::SetDebugSink(previous_); }
    std::vector<std::string> Debug() {
        std::lock_guard<std::mutex> g(m_);
        return debug_;
    }

    testsupport::TempDir dir_;
    CBrisklaneLogApi log_;
    std::mutex m_;
    std::vector<std::string> debug_;
    platform::DebugSink previous_;
};

TEST_F(LogTest, RoutesByCategoryAndThreshold) {
    struct Case {
        int category;
        const char* file; // null: no file at all
        bool debug;
    } cases[] = {
        {34, nullptr, true}, {38, "abc.dump.log", true}, {40, "abc.log", true},
        {1, nullptr, false}, {37, nullptr, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.category);
        const std::string text = "line of category " + std::to_string(c.category);
        const size_t before = Debug().size();
        log_.Write(text.c_str(), c.category, c.category);
        EXPECT_EQ(Debug().size(), before + (c.debug ? 1 : 0));
        if (c.debug) {
            EXPECT_NE(Debug().back().find("] [" + text + "]"), std::string::npos);
        }
        if (c.file) {
            EXPECT_NE(ReadFile(dir_.file(c.file)).find(text), std::string::npos);
        }
    }
    // Categories below the file threshold never created a file.
    EXPECT_FALSE(FileExists(dir_.file("abc.checktask.log")));
}

TEST_F(LogTest, CategoryTableChoosesEveryFile) {
    log_.SetLevels(0, 39 - 1);
    const std::pair<int, const char*> table[] = {{4, "abc.req.log"},
                                                 {38, "abc.dump.log"},
                                                 {37, "abc.checktask.log"},
                                                 {18, "abc.peerprefer.log"},
                                                 {28, "abc.dataupload.log"},
                                                 {25, "abc.httptrace.log"},
                                                 {9, "abc.checkpeer.log"},
                                                 {29, "abc.written.log"},
                                                 {30, "abc.sha1check.log"},
                                                 {31, "abc.peerinfo.log"},
                                                 {23, "abc.log"}};
    for (const auto& [category, file] : table) {
        log_.Write("x", category, 0);
        EXPECT_TRUE(FileExists(dir_.file(file))) << file;
    }
}

TEST_F(LogTest, ThirtyNineInBothSwitchesTheLogOff) {
    log_.SetLevels(39, 39);
    log_.Write("silent", 40, 40);
    EXPECT_TRUE(Debug().empty());
    EXPECT_FALSE(FileExists(dir_.file("abc.log")));
}

TEST_F(LogTest, LongMessageIsCutToTheLineBuffer) {
    const std::string huge(10000, 'x');
    log_.Write(huge.c_str(), 40, 40);
    ASSERT_EQ(Debug().size(), 1u);
    const std::string line = Debug().back();
    EXPECT_LT(line.size(), static_cast<size_t>(CBrisklaneLogApi::kLineBuffer));
    EXPECT_EQ(line.back(), '\n');
    const std::string file = ReadFile(dir_.file("abc.log"));
    EXPECT_EQ(file, line);
}

TEST_F(LogTest, PrintfGoesToDebugOutputOnlyWithDate) {
    log_.Printf("value %d", 42);
    ASSERT_EQ(Debug().size(), 1u);
    const std::string line = Debug().back();
    EXPECT_NE(line.find("] [value 42]\r\n"), std::string::npos);
    EXPECT_EQ(line[5], '-'); // "[YYYY-MM-DD ..."
    EXPECT_FALSE(FileExists(dir_.file("abc.log")));
}

TEST_F(LogTest, FilesMayBeDeletedWhileRunning) {
    log_.Write("first", 40, 40);
    std::remove(dir_.file("abc.log").c_str());
    log_.Write("second", 40, 40);
    const std::string file = ReadFile(dir_.file("abc.log"));
    EXPECT_EQ(file.find("first"), std::string::npos);
    EXPECT_NE(file.find("second"), std::string::npos);
}

} // namespace
