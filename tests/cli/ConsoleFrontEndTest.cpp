// The verification question on the console: the command line's answer, or the user's
// at the terminal, read line by line.
#include "ui/console/ConsoleFrontEnd.h"

#include "support/TempDir.h"
#include "ui/console/ConsoleDisplay.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

using Verify = CliOptions::Verify;

const std::string kQuestion = "\xca\xc7\xb7\xf1\xd1\xe9\xd6\xa4"; // "是否验证"

TEST(ConsoleFrontEndTest, AnswerWords) {
    const std::pair<const char*, int> cases[] = {
        {"", 1},  {"y", 1},  {"Y", 1},  {"yes", 1}, {" YES \r", 1}, {"是", 1},  {"n", 0},
        {"N", 0}, {"no", 0}, {"否", 0}, {"x", -1},  {"yess", -1},   {"ja", -1}, {"y n", -1},
    };
    for (const auto& [line, answer] : cases)
        EXPECT_EQ(ConsoleFrontEnd::ParseAnswer(line), answer) << line;
}

class FrontEndFixture : public ::testing::Test {
protected:
    void SetUp() override {
        out_ = ::open(dir_.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_EQ(::pipe(input_), 0);
    }
    void TearDown() override {
        ::close(out_);
        ::close(input_[0]);
        if (input_[1] >= 0)
            ::close(input_[1]);
    }
    void Type(const std::string& text, bool end) {
        ASSERT_EQ(::write(input_[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
        if (end) {
            ::close(input_[1]);
            input_[1] = -1;
        }
    }
    std::string Written() const { return testsupport::ReadFile(dir_.file("out")); }

    testsupport::TempDir dir_;
    int out_ = -1;
    int input_[2] = {-1, -1};
};

TEST_F(FrontEndFixture, CommandLineAnswerIsGivenWithoutReadingAndShown) {
    ConsoleDisplay display(out_, false);
    ConsoleFrontEnd yes(display, Verify::Yes, input_[0], {});
    ConsoleFrontEnd no(display, Verify::No, input_[0], {});
    Type("n\n", false);
    EXPECT_EQ(yes.LastAnswer(), -1);
    EXPECT_TRUE(yes.AskYesNo(kQuestion, "Cap"));
    EXPECT_EQ(yes.LastAnswer(), 1);
    EXPECT_FALSE(no.AskYesNo(kQuestion, "Cap"));
    EXPECT_EQ(no.LastAnswer(), 0);
    EXPECT_EQ(Written(), "[Cap] 是否验证 是\n[Cap] 是否验证 否\n");
}

TEST_F(FrontEndFixture, TerminalIsAskedAgainUntilTheAnswerIsClear) {
    ConsoleDisplay display(out_, false);
    int serviced = 0;
    ConsoleFrontEnd::Hooks hooks;
    hooks.whileAsking = [&] { ++serviced; }; // later starts are answered meanwhile
    ConsoleFrontEnd front(display, Verify::Ask, input_[0], hooks);
    Type("maybe\nn\ny\n", false);
    EXPECT_FALSE(front.AskYesNo(kQuestion, "Cap"));
    EXPECT_GE(serviced, 2);
    EXPECT_EQ(Written(), "[Cap] 是否验证 [Y/n] maybe\n[Cap] 是否验证 [Y/n] n\n");
    // The next question reads on where the last one stopped.
    EXPECT_TRUE(front.AskYesNo(kQuestion, "Cap"));
}

TEST_F(FrontEndFixture, EndOfInputAndInterruptTakeTheDefault) {
    ConsoleDisplay display(out_, false);
    ConsoleFrontEnd ended(display, Verify::Ask, input_[0], {});
    Type("n", true); // a last line without its line end still counts
    EXPECT_FALSE(ended.AskYesNo(kQuestion, "Cap"));
    EXPECT_TRUE(ended.AskYesNo(kQuestion, "Cap")) << "nothing more to read";

    int quiet[2];
    ASSERT_EQ(::pipe(quiet), 0);
    ConsoleFrontEnd::Hooks hooks;
    hooks.interrupted = [] { return true; };
    ConsoleFrontEnd interrupted(display, Verify::Ask, quiet[0], hooks);
    EXPECT_TRUE(interrupted.AskYesNo(kQuestion, "Cap"));
    EXPECT_EQ(interrupted.LastAnswer(), 1);
    ::close(quiet[0]);
    ::close(quiet[1]);
}

TEST_F(FrontEndFixture, RequestsForTheFrontEndsThreadReachTheHooks) {
    ConsoleDisplay display(out_, false);
    std::atomic<int> posted{0}, closed{0};
    ConsoleFrontEnd::Hooks hooks;
    hooks.postPrimaryAction = [&] { ++posted; };
    hooks.closeMainWindow = [&] { ++closed; };
    ConsoleFrontEnd front(display, Verify::Yes, input_[0], hooks);
    front.ShowModalMessage("\xcf\xc2\xd4\xd8\xca\xa7\xb0\xdc", "Cap"); // "下载失败"
    front.PostPrimaryAction();
    EXPECT_FALSE(front.CloseRequested());
    front.CloseMainWindow();
    EXPECT_TRUE(front.CloseRequested());
    EXPECT_EQ(posted.load(), 1);
    EXPECT_EQ(closed.load(), 1);
    EXPECT_EQ(Written(), "[Cap] 下载失败\n");
}

} // namespace
