// What the console shows: the window's texts chosen by state, the plain line and the
// live block, and the order of lines around the block.
#include "ui/console/ConsoleDisplay.h"
#include "ui/console/ConsoleView.h"

#include "app/ControllerState.h"
#include "platform/TextEncoding.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

using DC = ControllerState;

ConsoleView Downloading() {
    ControllerView c;
    c.state = DC::kDownloading;
    c.downloadProgress = 4520;
    c.speedText = "1.2 MB/s";
    c.sizeText = "2.2 GB/4.9 GB";
    c.files[0] = {"setup.exe", "\xa1\xcc \xcf\xc2\xd4\xd8\xcd\xea\xb3\xc9  ", true}; // "√ 下载完成  "
    c.files[1] = {"main.zip", "45.20%    ", false};
    return ConsoleView::Of(c, 0);
}

TEST(ConsoleViewTest, PercentageIsTheWindowsFormat) {
    EXPECT_EQ(ConsoleView::FormatPercent(0), "0.00%");
    EXPECT_EQ(ConsoleView::FormatPercent(5), "0.05%");
    EXPECT_EQ(ConsoleView::FormatPercent(9950), "99.50%");
    EXPECT_EQ(ConsoleView::FormatPercent(10000), "100.00%");
}

TEST(ConsoleViewTest, TextsFollowTheState) {
    struct Case {
        uint32_t state;
        unsigned repair;
        unsigned repaints;
        bool repaired;
        const char* label;
        const char* percent;
        const char* status;
        const char* completion;
    };
    const Case cases[] = {
        {DC::kDownloading, 0, 0, false, "当前进度:", "45.20%", "1.2 MB/s", ""},
        {DC::kPreparing, 0, 0, false, "当前进度:", "45.20%", "1.2 MB/s", ""},
        {DC::kFinished, 0, 0, false, "当前进度:", "45.20%", "1.2 MB/s", "下载完成"},
        {DC::kInstalling, 0, 0, false, "当前进度:", "45.20%", "1.2 MB/s", "下载完成"},
        {DC::kMd5Checking, 0, 0, false, "验证进度:", "12.34%", "文件验证中...", ""},
        {DC::kCheckRecover, 0, 0, false, "修复进度:", "准备中", "修复准备...", ""},
        {DC::kCheckRecover, 700, 3, false, "修复进度:", "7.00%", "修复中...", ""},
        {DC::kCheckRecover, 700, 4, false, "修复进度:", "7.00%", "300.0 KB/s", ""},
        {DC::kCheckRecover, 700, 12, false, "修复进度:", "7.00%", "修复中...", ""},
        {DC::kCheckFinished, 0, 0, false, "验证进度:", "12.34%", "1.2 MB/s", "√ 验证通过"},
        {DC::kCheckFinished, 0, 0, true, "验证进度:", "12.34%", "1.2 MB/s", "√ 修复成功"},
    };
    for (const Case& c : cases) {
        ConsoleView v = Downloading();
        v.shown.state = c.state;
        v.shown.checkProgress = 1234;
        v.shown.repairProgress = c.repair;
        v.repairRepaints = c.repaints;
        v.shown.repairSpeedText = "300.0 KB/s";
        v.shown.wasRepaired = c.repaired;
        v.Compose();
        const std::string at = std::to_string(c.state) + " repair " + std::to_string(c.repair) +
                               " repaints " + std::to_string(c.repaints);
        EXPECT_EQ(platform::GbkToUtf8(v.label), c.label) << at;
        EXPECT_EQ(platform::GbkToUtf8(v.percentText), c.percent) << at;
        EXPECT_EQ(platform::GbkToUtf8(v.statusText), c.status) << at;
        EXPECT_EQ(platform::GbkToUtf8(v.completionText), c.completion) << at;
    }
}

TEST(ConsoleViewTest, BarFollowsTheShownPercentageAndStopsAtFull) {
    ConsoleView v = Downloading();
    EXPECT_EQ(v.barProgress, 4520u);
    v.shown.downloadProgress = 12000;
    v.Compose();
    EXPECT_EQ(v.barProgress, 10000u);
    v.shown.state = DC::kMd5Checking;
    v.shown.checkProgress = 300;
    v.Compose();
    EXPECT_EQ(v.barProgress, 300u);
}

TEST(ConsoleDisplayTest, PlainLineIsNamePercentStatusSizeAndMark) {
    EXPECT_EQ(ConsoleDisplay::StatusLine(Downloading()), "downloading  45.20%  1.2 MB/s  2.2 GB/4.9 GB");

    ConsoleView done = Downloading();
    done.shown.state = DC::kCheckFinished;
    done.shown.checkProgress = 10000;
    done.shown.speedText = "0 B/s";
    done.shown.sizeText = "4.9 GB/4.9 GB";
    done.shown.wasRepaired = true;
    done.Compose();
    EXPECT_EQ(ConsoleDisplay::StatusLine(done), "checkfinished  100.00%  0 B/s  4.9 GB/4.9 GB  √ 修复成功");
    done.shown.wasRepaired = false;
    done.Compose();
    EXPECT_EQ(ConsoleDisplay::StatusLine(done), "checkfinished  100.00%  0 B/s  4.9 GB/4.9 GB  √ 验证通过");

    ConsoleView empty;
    empty.shown.state = DC::kReady;
    empty.shown.sizeText = "0 B/4.9 GB";
    empty.Compose();
    EXPECT_EQ(ConsoleDisplay::StatusLine(empty), "ready  0.00%  -  0 B/4.9 GB");
}

TEST(ConsoleDisplayTest, EveryStateHasAName) {
    const std::pair<uint32_t, const char*> names[] = {
        {0, "back"},           {1, "ready"},       {2, "state2"},       {3, "preparing"},
        {4, "downloading"},    {5, "pause"},       {6, "resume"},       {7, "failed"},
        {8, "finished"},       {9, "retry"},       {10, "md5checking"}, {11, "checkrecover"},
        {12, "checkfinished"}, {13, "installing"}, {14, "state14"},     {15, "recover"},
        {16, "reload"},        {17, "closed"},
    };
    for (const auto& [state, name] : names)
        EXPECT_EQ(ConsoleDisplay::StateName(state), name);
}

TEST(ConsoleDisplayTest, FrameShowsBarTextsAndRows) {
    ConsoleView v = Downloading();
    v.shown.versionText = "\xd3\xce\xcf\xb7\xb0\xe6\xb1\xbe: 10.1.1.7"; // "游戏版本: 10.1.1.7"
    v.shown.savePath = "/data/Orlanta10117";
    const std::vector<std::string> lines = ConsoleDisplay::Frame(v);
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[0], "Vellmar下载器  游戏版本: 10.1.1.7");
    EXPECT_EQ(lines[1], "保存位置: /data/Orlanta10117");
    EXPECT_EQ(lines[2], "[" + std::string(18, '#') + std::string(22, '-') + "]  当前进度: 45.20%");
    EXPECT_EQ(lines[3], "1.2 MB/s    2.2 GB/4.9 GB    downloading");
    EXPECT_EQ(lines[4], "  setup.exe" + std::string(31, ' ') + " √ 下载完成");
    EXPECT_EQ(lines[5], "  main.zip" + std::string(32, ' ') + " 45.20%");
}

class DisplayOutput : public ::testing::Test {
protected:
    void SetUp() override { fd_ = ::open(dir_.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644); }
    void TearDown() override { ::close(fd_); }
    std::string Written() const { return testsupport::ReadFile(dir_.file("out")); }

    testsupport::TempDir dir_;
    int fd_ = -1;
};

TEST_F(DisplayOutput, PlainModeWritesLinesAndNoControlSequences) {
    {
        ConsoleDisplay d(fd_, false);
        d.ShowFrame(Downloading());
        d.ShowStatusLine(Downloading());
        d.ShowMessage("\xcd\xf8\xc2\xe7\xb4\xed\xce\xf3\n\xa3\xa8"
                      "abc\xa3\xa9",
                      "Vellmar"); // 网络错误\n（abc）
        d.ShowLine("bye");
    }
    EXPECT_EQ(Written(), "downloading  45.20%  1.2 MB/s  2.2 GB/4.9 GB\n[Vellmar] 网络错误 （abc）\nbye\n");
}

TEST_F(DisplayOutput, LiveModeRedrawsInPlaceAndPutsLinesAboveTheBlock) {
    {
        ConsoleDisplay d(fd_, true);
        d.ShowStatusLine(Downloading()); // not in live mode
        d.ShowFrame(Downloading());
        d.ShowLine("note");
        d.ShowFrame(Downloading());
        d.Finish();
        d.ShowFrame(Downloading()); // nothing after the end
        d.ShowLine("after");
    }
    const std::string out = Written();
    const std::string up = "\x1b[8A\r\x1b[J";
    const size_t wrapOff = out.find("\x1b[?7l");
    const size_t note = out.find("note\n");
    ASSERT_EQ(wrapOff, 0u);
    ASSERT_NE(note, std::string::npos);
    EXPECT_EQ(out.compare(note - up.size(), up.size(), up), 0) << "the block is erased before the line";
    // Block, erase, line, block again, erase, block: three blocks in all.
    size_t blocks = 0;
    for (size_t at = out.find("downloading\n"); at != std::string::npos;
         at = out.find("downloading\n", at + 1))
        ++blocks;
    EXPECT_EQ(blocks, 3u);
    EXPECT_NE(out.find("\x1b[?7hafter\n"), std::string::npos) << "wrap restored, then plain lines";
    EXPECT_EQ(out.find("downloading  45.20%"), std::string::npos);
}

} // namespace
