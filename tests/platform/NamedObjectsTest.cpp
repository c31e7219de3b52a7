// The shared objects under the single-instance check. Two objects of one name in this
// process stand for two processes: their locks belong to separate open files.
#include "platform/NamedMutex.h"
#include "platform/ProcessControl.h"
#include "platform/ReplyEvent.h"
#include "platform/SharedPage.h"
#include "platform/ThreadMessagePort.h"

#include "platform/Clock.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <future>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace platform;
using testsupport::TempDir;

class NamedObjects : public ::testing::Test {
protected:
    std::string folder() const { return dir_.path() + "/objects"; }
    TempDir dir_;
};

TEST_F(NamedObjects, MutexExistsWhileAnyoneHoldsItAndGoesWithTheLast) {
    NamedMutex a;
    NamedMutex b;
    NamedMutex c;
    ASSERT_EQ(a.Create("key", false, folder()), NamedMutex::Result::Created);
    ASSERT_EQ(b.Create("key", false, folder()), NamedMutex::Result::Existing);
    a.Close(); // the maker leaving does not end it while b holds it
    ASSERT_EQ(c.Create("key", false, folder()), NamedMutex::Result::Existing);
    b.Close();
    c.Close();
    EXPECT_FALSE(testsupport::FileExists(folder() + "/key"));
    ASSERT_EQ(a.Create("key", false, folder()), NamedMutex::Result::Created);
    // Other names are other mutexes.
    ASSERT_EQ(b.Create("key2", false, folder()), NamedMutex::Result::Created);
}

TEST_F(NamedObjects, MutexOwnershipIsExclusiveAndEndsWithItsHolder) {
    NamedMutex a;
    NamedMutex b;
    ASSERT_EQ(a.Create("m", true, folder()), NamedMutex::Result::Created);
    EXPECT_TRUE(a.owned());
    // An opener asking for ownership does not get it from the creation.
    ASSERT_EQ(b.Create("m", true, folder()), NamedMutex::Result::Existing);
    EXPECT_FALSE(b.owned());
    EXPECT_FALSE(b.Release());
    EXPECT_FALSE(b.Wait(30));
    EXPECT_TRUE(a.Release());
    EXPECT_TRUE(b.Wait(30));
    EXPECT_FALSE(a.Wait(30));
    // A waiter gets it as soon as the owner lets go, also by going away.
    auto waiting = std::async(std::launch::async, [&a] { return a.Wait(10000); });
    SleepMs(50);
    b.Close();
    EXPECT_TRUE(waiting.get());
}

// What a killed holder leaves in the files must not come back in the next objects.
TEST_F(NamedObjects, KilledHolderLeavesNoStateBehind) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        NamedMutex m;
        SharedPage p;
        ReplyEvent e;
        if (m.Create("m", true, folder()) != NamedMutex::Result::Created || !p.Open("page", folder()) ||
            !e.Create("event", folder()))
            ::_exit(1);
        std::memset(p.data(), 0x5a, SharedPage::kSize);
        e.Set();
        ::raise(SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child could not set up its objects";
    ASSERT_TRUE(testsupport::FileExists(folder() + "/page"));

    NamedMutex m;
    EXPECT_EQ(m.Create("m", true, folder()), NamedMutex::Result::Created);
    EXPECT_TRUE(m.owned());
    SharedPage p;
    ASSERT_TRUE(p.Open("page", folder()));
    EXPECT_TRUE(p.created());
    const std::string zeros(SharedPage::kSize, '\0');
    EXPECT_EQ(std::memcmp(p.data(), zeros.data(), zeros.size()), 0);
    ReplyEvent opened;
    EXPECT_FALSE(opened.Open("event", folder())) << "opened an event nobody holds";
    ReplyEvent e;
    ASSERT_TRUE(e.Create("event", folder()));
    EXPECT_FALSE(e.Wait(0)) << "the dead holder's signal survived";
}

TEST_F(NamedObjects, PageIsSharedBetweenHolders) {
    SharedPage a;
    SharedPage b;
    ASSERT_TRUE(a.Open("page", folder()));
    ASSERT_TRUE(b.Open("page", folder()));
    EXPECT_TRUE(a.created());
    EXPECT_FALSE(b.created());
    std::memcpy(a.data() + 4, "hello", 6);
    EXPECT_STREQ(reinterpret_cast<const char*>(b.data() + 4), "hello");
    // The second holder's opening did not wipe it, and neither does the first's leaving.
    a.Close();
    SharedPage c;
    ASSERT_TRUE(c.Open("page", folder()));
    EXPECT_STREQ(reinterpret_cast<const char*>(c.data() + 4), "hello");
}

TEST_F(NamedObjects, EventIsAutoResetAndWakesAWaiterOfAnotherHolder) {
    ReplyEvent setter;
    ReplyEvent waiter;
    EXPECT_FALSE(waiter.Open("evt", folder())) << "opened before anyone made it";
    ASSERT_TRUE(setter.Create("evt", folder()));
    ASSERT_TRUE(waiter.Open("evt", folder()));
    EXPECT_FALSE(waiter.Wait(0));

    // A signal with nobody waiting stays for the next wait, and only for that one;
    // setting twice is setting once.
    setter.Set();
    setter.Set();
    EXPECT_TRUE(waiter.Wait(0));
    EXPECT_FALSE(waiter.Wait(20));

    auto waiting = std::async(std::launch::async, [&waiter] { return waiter.Wait(10000); });
    SleepMs(50);
    setter.Set();
    EXPECT_TRUE(waiting.get());
    EXPECT_FALSE(setter.Wait(0));
}

TEST_F(NamedObjects, MessagesReachOnlyThePortOfTheirThreadAndChannel) {
    ThreadMessagePort port;
    EXPECT_FALSE(ThreadMessagePort::Post("chan", CurrentThreadId(), {11025, 0, 0}, folder()));
    ASSERT_TRUE(port.Open("chan", folder()));
    EXPECT_EQ(port.threadId(), CurrentThreadId());
    ThreadMessage got;
    EXPECT_FALSE(port.Receive(got));

    EXPECT_FALSE(ThreadMessagePort::Post("other", CurrentThreadId(), {1, 0, 0}, folder()));
    EXPECT_FALSE(ThreadMessagePort::Post("chan", CurrentThreadId() + 1, {1, 0, 0}, folder()));
    ASSERT_TRUE(ThreadMessagePort::Post("chan", CurrentThreadId(), {11025, 7, -3}, folder()));
    ASSERT_TRUE(port.Receive(got));
    EXPECT_EQ(got.message, 11025u);
    EXPECT_EQ(got.wparam, 7u);
    EXPECT_EQ(got.lparam, -3);
    EXPECT_FALSE(port.Receive(got));

    port.Close();
    EXPECT_FALSE(ThreadMessagePort::Post("chan", CurrentThreadId(), {11025, 0, 0}, folder()));
}

TEST_F(NamedObjects, UnusableNamesAndFoldersFail) {
    NamedMutex m;
    for (const char* name : {"", ".", "..", "a/b"})
        EXPECT_EQ(m.Create(name, false, folder()), NamedMutex::Result::Failed) << name;
    // A folder other users may enter is made private; a file in its place is refused.
    const std::string open = dir_.path() + "/open";
    ASSERT_EQ(::mkdir(open.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(open.c_str(), 0777), 0);
    ASSERT_EQ(m.Create("x", false, open), NamedMutex::Result::Created);
    struct stat st {};
    ASSERT_EQ(::stat(open.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u);
    m.Close();
    testsupport::WriteFile(dir_.path() + "/plain", "x");
    EXPECT_EQ(m.Create("x", false, dir_.path() + "/plain"), NamedMutex::Result::Failed);
}

TEST(ProcessControl, OwnerOfAThreadIsItsProcess) {
    EXPECT_EQ(OwnerProcessOfThread(CurrentThreadId()), static_cast<uint32_t>(::getpid()));
    uint32_t other = 0;
    std::thread([&other] { other = OwnerProcessOfThread(CurrentThreadId()); }).join();
    EXPECT_EQ(other, static_cast<uint32_t>(::getpid()));
    EXPECT_EQ(OwnerProcessOfThread(0), 0u);
    EXPECT_EQ(OwnerProcessOfThread(0x7ffffff0u), 0u); // beyond any process number
}

TEST(ProcessControl, NeverEndsItself) {
    TempDir dir;
    NamedMutex m;
    ASSERT_EQ(m.Create("self", false, dir.path()), NamedMutex::Result::Created);
    ASSERT_TRUE(ProcessHoldsFile(::getpid(), m.file().device(), m.file().inode()));
    EXPECT_FALSE(TerminateFileHolder(::getpid(), m.file().device(), m.file().inode(), 0));
}

} // namespace
