// The debug output channel and the message sink.
#include "platform/DebugOutput.h"
#include "platform/MessageSink.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace platform;
using testsupport::ReadFile;
using testsupport::TempDir;

// Sends this process's stderr to a file for one scope.
class StderrCapture {
public:
    StderrCapture() : path_(dir_.file("stderr")) {
        std::fflush(stderr);
        saved_ = ::dup(STDERR_FILENO);
        int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, STDERR_FILENO);
        ::close(fd);
    }
    ~StderrCapture() { Restore(); }
    std::string Text() {
        Restore();
        return ReadFile(path_);
    }

private:
    void Restore() {
        if (saved_ >= 0) {
            std::fflush(stderr);
            ::dup2(saved_, STDERR_FILENO);
            ::close(saved_);
            saved_ = -1;
        }
    }
    TempDir dir_;
    std::string path_;
    int saved_ = -1;
};

class ScopedDebugSwitch {
public:
    explicit ScopedDebugSwitch(const char* value) {
        if (const char* old = std::getenv("BRISKLANE_DEBUG_OUTPUT"))
            old_ = old;
        had_ = std::getenv("BRISKLANE_DEBUG_OUTPUT") != nullptr;
        if (value)
            ::setenv("BRISKLANE_DEBUG_OUTPUT", value, 1);
        else
            ::unsetenv("BRISKLANE_DEBUG_OUTPUT");
    }
    ~ScopedDebugSwitch() {
        if (had_)
            ::setenv("BRISKLANE_DEBUG_OUTPUT", old_.c_str(), 1);
        else
            ::unsetenv("BRISKLANE_DEBUG_OUTPUT");
    }

private:
    bool had_ = false;
    std::string old_;
};

const char kGbkLine[] = "Brisklane Utility: \xCF\xC2\xD4\xD8"; // "...: 下载"

TEST(DebugOutput, SilentUnlessSwitchedOnByTheEnvironment) {
    for (const char* value : {static_cast<const char*>(nullptr), "0", "", "yes"}) {
        ScopedDebugSwitch env(value);
        StderrCapture capture;
        DebugOutput("quiet");
        EXPECT_EQ(capture.Text(), "") << (value ? value : "(unset)");
    }
    ScopedDebugSwitch on("1");
    StderrCapture capture;
    DebugOutput(std::string(kGbkLine) + "\r\n");
    DebugOutput("second");
    EXPECT_EQ(capture.Text(), "Brisklane Utility: 下载\nsecond\n");
}

TEST(DebugOutput, InstalledSinkReceivesTheLinesUnchanged) {
    ScopedDebugSwitch on("1");
    std::vector<std::string> lines;
    StderrCapture capture;
    DebugSink old = SetDebugSink([&](std::string_view line) { lines.emplace_back(line); });
    EXPECT_FALSE(old);
    DebugOutput(kGbkLine);
    DebugOutput("b\r\n");
    DebugSink mine = SetDebugSink(DebugSink());
    EXPECT_TRUE(mine);
    DebugOutput("after restore"); // back to the environment's choice: stderr
    EXPECT_EQ(lines, (std::vector<std::string>{kGbkLine, "b\r\n"}));
    EXPECT_EQ(capture.Text(), "after restore\n");
}

TEST(DebugOutput, AReplacedSinkIsNoLongerCalledOnceSetReturns) {
    std::atomic<bool> retired{false};
    std::atomic<int> lateCalls{0};
    std::atomic<int> calls{0};
    std::atomic<bool> stop{false};
    SetDebugSink([&](std::string_view) {
        calls++;
        if (retired.load())
            lateCalls++;
    });
    std::vector<std::thread> writers;
    for (int i = 0; i < 3; ++i)
        writers.emplace_back([&] {
            while (!stop.load())
                DebugOutput("line");
        });
    while (calls.load() < 100)
        std::this_thread::yield();
    std::vector<std::string> later;
    std::mutex laterMutex;
    SetDebugSink([&](std::string_view line) {
        std::lock_guard<std::mutex> lock(laterMutex);
        later.emplace_back(line);
    });
    retired = true;
    stop = true;
    for (auto& t : writers)
        t.join();
    SetDebugSink(DebugSink());
    EXPECT_EQ(lateCalls.load(), 0);
}

TEST(DebugOutput, SinkMayWriteDebugOutputItself) {
    std::vector<std::string> lines;
    SetDebugSink([&](std::string_view line) {
        lines.emplace_back(line);
        if (line == "outer")
            DebugOutput("inner");
    });
    DebugOutput("outer");
    SetDebugSink(DebugSink());
    EXPECT_EQ(lines, (std::vector<std::string>{"outer", "inner"}));
}

ShownMessage Message(const char* text, const char* caption = "Vellmar\xCF\xC2\xD4\xD8\xC6\xF7",
                     unsigned type = 0) {
    return ShownMessage{text, caption, type};
}

TEST(MessageSink, DefaultPrintsCaptionAndTextAsUtf8) {
    StderrCapture capture;
    ShowMessage(Message("\xCF\xC2\xD4\xD8\xC6\xF4\xB6\xAF\xCA\xA7\xB0\xDC\xC7\xEB\xD6\xD8\xCA\xD4"));
    EXPECT_EQ(capture.Text(), "[Vellmar下载器] 下载启动失败请重试\n");
}

TEST(MessageSink, RecorderKeepsMessagesAndNests) {
    StderrCapture capture;
    {
        RecordingMessageSink outer;
        ShowMessage(Message("one", "c1", 0x30));
        {
            RecordingMessageSink inner;
            ShowMessage(Message("two"));
            ASSERT_EQ(inner.messages().size(), 1u);
            EXPECT_EQ(inner.messages()[0].text, "two");
        }
        ShowMessage(Message("three"));
        std::vector<ShownMessage> got = outer.messages();
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ(got[0].text, "one");
        EXPECT_EQ(got[0].caption, "c1");
        EXPECT_EQ(got[0].type, 0x30u);
        EXPECT_EQ(got[1].text, "three");
    }
    ShowMessage(Message("to stderr", "c"));
    EXPECT_EQ(capture.Text(), "[c] to stderr\n");
}

TEST(MessageSink, WaitForMessagesFromOtherThreads) {
    RecordingMessageSink recorder;
    EXPECT_FALSE(recorder.WaitFor(1, 20));
    std::thread shower([] {
        for (int i = 0; i < 3; ++i)
            ShowMessage(Message("m"));
    });
    EXPECT_TRUE(recorder.WaitFor(3, 10000));
    shower.join();
    EXPECT_TRUE(recorder.WaitFor(0, 0));
    EXPECT_EQ(recorder.messages().size(), 3u);
}

TEST(MessageSink, ABlockingSinkDoesNotHoldUpOtherMessages) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    RecordingMessageSink recorder; // what the blocking sink replaced
    MessageSinkFn recorderFn = SetMessageSink([&, released](const ShownMessage& m) {
        if (m.text == "modal")
            released.wait(); // a box the user has not closed yet
        recorderFn(m);
    });
    std::thread modal([] { ShowMessage(Message("modal")); });
    ShowMessage(Message("other")); // must get through while "modal" is open
    ASSERT_TRUE(recorder.WaitFor(1, 10000));
    EXPECT_EQ(recorder.messages()[0].text, "other");
    release.set_value();
    modal.join();
    EXPECT_EQ(recorder.messages().size(), 2u);
    SetMessageSink(std::move(recorderFn));
}

} // namespace
