// Real instances: each probe is a process of its own that runs the single-instance
// check for a key, with the shared objects in the test's private runtime folder.
#include "platform/SingleInstance.h"
#include "platform/NamedMutex.h"
#include "platform/SharedPage.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <random>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using platform::SingleInstance;
using testsupport::TempDir;

constexpr int kLongWaitMs = 20000; // far beyond any answer; only a broken run waits this long

std::string RandomKey() {
    std::random_device rd;
    std::mt19937_64 gen((static_cast<uint64_t>(rd()) << 32) ^ rd());
    static const char* digits = "0123456789abcdef";
    std::string key;
    for (int i = 0; i < 32; ++i)
        key.push_back(digits[gen() & 15]);
    return key;
}

std::vector<std::string> FolderEntries(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(folder.c_str())) {
        while (dirent* e = ::readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        ::closedir(d);
    }
    return names;
}

// One probe process: its standard input is a pipe whose closing ends it cleanly, its
// standard output is read line by line. Killed and reaped on every way out of a test.
class Probe {
public:
    Probe(const std::string& runtimeDir, const std::string& key, const std::string& cwd = {}) {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            if (std::strncmp(*e, "XDG_RUNTIME_DIR=", 16) != 0)
                env.emplace_back(*e);
        }
        env.push_back("XDG_RUNTIME_DIR=" + runtimeDir);
        std::vector<char*> envp;
        for (std::string& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        std::string program = BRISKLANE_INSTANCE_PROBE;
        std::string keyArg = key;
        char* argv[] = {program.data(), keyArg.data(), nullptr};
        int in[2];
        int out[2];
        if (::pipe2(in, O_CLOEXEC) != 0)
            return;
        if (::pipe2(out, O_CLOEXEC) != 0) {
            ::close(in[0]);
            ::close(in[1]);
            return;
        }
        // Everything is prepared before the fork: the child makes only
        // async-signal-safe calls until exec.
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            if (!cwd.empty() && ::chdir(cwd.c_str()) != 0)
                ::_exit(126);
            ::execve(argv[0], argv, envp.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        if (pid < 0) {
            ::close(in[1]);
            ::close(out[0]);
            return;
        }
        pid_ = pid;
        toChild_ = in[1];
        fromChild_ = out[0];
    }

    ~Probe() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (toChild_ >= 0)
            ::close(toChild_);
        if (fromChild_ >= 0)
            ::close(fromChild_);
    }

    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;

    pid_t pid() const { return pid_; }

    // The first line starting with prefix, read so far or arriving within timeoutMs;
    // empty when none comes.
    std::string WaitLine(const std::string& prefix, int timeoutMs = kLongWaitMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            for (const std::string& line : lines_) {
                if (line.compare(0, prefix.size(), prefix) == 0)
                    return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !ReadSome(static_cast<int>(left.count())))
                return {};
        }
    }

    bool HasLine(const std::string& prefix) const {
        for (const std::string& line : lines_) {
            if (line.compare(0, prefix.size(), prefix) == 0)
                return true;
        }
        return false;
    }

    // Waits for the process to end and keeps its wait status; false on time-out.
    bool WaitExit(int timeoutMs = kLongWaitMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (pid_ > 0) {
            const pid_t rc = ::waitpid(pid_, &status_, WNOHANG);
            if (rc == pid_) {
                pid_ = -1;
                break;
            }
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            ::usleep(5000);
        }
        while (ReadSome(0)) {
        }
        return true;
    }

    bool Running() {
        if (pid_ <= 0)
            return false;
        return ::waitpid(pid_, &status_, WNOHANG) == 0;
    }

    // Closes standard input, which makes a running probe clean up and end.
    bool Finish() {
        if (toChild_ >= 0) {
            ::close(toChild_);
            toChild_ = -1;
        }
        return WaitExit();
    }

    void Signal(int sig) {
        if (pid_ > 0)
            ::kill(pid_, sig);
    }

    bool EndedCleanly() const { return pid_ < 0 && WIFEXITED(status_) && WEXITSTATUS(status_) == 0; }
    bool KilledBy(int sig) const { return pid_ < 0 && WIFSIGNALED(status_) && WTERMSIG(status_) == sig; }

    std::string Output() const {
        std::string all;
        for (const std::string& line : lines_)
            all += line + "\n";
        return all;
    }

private:
    // Reads what arrives within timeoutMs; false at the end of the output or on time-out.
    bool ReadSome(int timeoutMs) {
        if (fromChild_ < 0)
            return false;
        pollfd p{fromChild_, POLLIN, 0};
        const int rc = ::poll(&p, 1, timeoutMs);
        if (rc < 0 && errno == EINTR)
            return true;
        if (rc <= 0)
            return false;
        char chunk[512];
        const ssize_t n = ::read(fromChild_, chunk, sizeof chunk);
        if (n <= 0) {
            ::close(fromChild_);
            fromChild_ = -1;
            return false;
        }
        partial_.append(chunk, static_cast<size_t>(n));
        size_t eol;
        while ((eol = partial_.find('\n')) != std::string::npos) {
            lines_.push_back(partial_.substr(0, eol));
            partial_.erase(0, eol + 1);
        }
        return true;
    }

    pid_t pid_ = -1;
    int toChild_ = -1;
    int fromChild_ = -1;
    int status_ = 0;
    std::string partial_;
    std::vector<std::string> lines_;
};

class SingleInstanceProcesses : public ::testing::Test {
protected:
    std::string objectFolder() const { return runtime_.path() + "/brisklane"; }

    TempDir runtime_;
};

TEST_F(SingleInstanceProcesses, SecondStartEndsAtOnceAndBringsTheFirstToTheFront) {
    const std::string key = RandomKey();
    Probe first(runtime_.path(), key);
    ASSERT_EQ(first.WaitLine("first"), "first") << first.Output();

    // Each later start carries its own current folder; the first instance answers
    // every one of them, not only the first.
    for (const std::string sub : {"one", "two"}) {
        const std::string cwd = runtime_.path() + "/" + sub;
        ASSERT_EQ(::mkdir(cwd.c_str(), 0700), 0);
        Probe later(runtime_.path(), key, cwd);
        ASSERT_TRUE(later.WaitExit()) << later.Output();
        EXPECT_TRUE(later.EndedCleanly());
        EXPECT_TRUE(later.HasLine("second")) << later.Output();
        EXPECT_EQ(first.WaitLine("asked to front from " + cwd), "asked to front from " + cwd)
            << first.Output();
    }
    EXPECT_TRUE(first.Running());

    ASSERT_TRUE(first.Finish());
    EXPECT_TRUE(first.EndedCleanly());
    // The last holder takes the objects with it.
    EXPECT_TRUE(FolderEntries(objectFolder()).empty());
}

TEST_F(SingleInstanceProcesses, StoppedFirstInstanceIsEndedAndLaterStartsRun) {
    const std::string key = RandomKey();
    Probe first(runtime_.path(), key);
    ASSERT_EQ(first.WaitLine("first"), "first");
    first.Signal(SIGSTOP);

    Probe second(runtime_.path(), key);
    const std::string took = second.WaitLine("took over");
    EXPECT_EQ(took, "took over, ended " + std::to_string(first.pid())) << second.Output();
    ASSERT_TRUE(first.WaitExit());
    EXPECT_TRUE(first.KilledBy(SIGKILL));
    EXPECT_TRUE(second.Running());

    // The survivor did not make the objects and answers nobody: a third start gets
    // no answer, finds the stopped instance's thread gone, and runs beside it.
    Probe third(runtime_.path(), key);
    EXPECT_EQ(third.WaitLine("took over"), "took over, ended 0") << third.Output();
    EXPECT_TRUE(third.Running());
    EXPECT_TRUE(second.Running());

    ASSERT_TRUE(second.Finish());
    ASSERT_TRUE(third.Finish());
    EXPECT_FALSE(second.HasLine("asked to front")) << second.Output();
    EXPECT_TRUE(second.EndedCleanly());
    EXPECT_TRUE(third.EndedCleanly());
}

TEST_F(SingleInstanceProcesses, TwoKeysRunSideBySide) {
    const std::string keyA = RandomKey();
    const std::string keyB = RandomKey();
    Probe a(runtime_.path(), keyA);
    Probe b(runtime_.path(), keyB);
    ASSERT_EQ(a.WaitLine("first"), "first") << a.Output();
    ASSERT_EQ(b.WaitLine("first"), "first") << b.Output();

    Probe laterA(runtime_.path(), keyA, runtime_.path());
    ASSERT_TRUE(laterA.WaitExit());
    EXPECT_TRUE(laterA.HasLine("second"));
    EXPECT_FALSE(a.WaitLine("asked to front").empty());

    ASSERT_TRUE(b.Finish());
    EXPECT_FALSE(b.HasLine("asked to front")) << b.Output();
    EXPECT_TRUE(b.EndedCleanly());
    // A's objects are untouched by B's leaving.
    Probe again(runtime_.path(), keyA);
    ASSERT_TRUE(again.WaitExit());
    EXPECT_TRUE(again.HasLine("second")) << again.Output();
    EXPECT_TRUE(a.Running());
}

TEST_F(SingleInstanceProcesses, KilledFirstInstanceLeavesNothingThatStopsTheNextStart) {
    const std::string key = RandomKey();
    {
        Probe first(runtime_.path(), key);
        ASSERT_EQ(first.WaitLine("first"), "first");
        first.Signal(SIGKILL);
        ASSERT_TRUE(first.WaitExit());
    }
    // Its files are still there, but nobody holds them.
    EXPECT_FALSE(FolderEntries(objectFolder()).empty());

    Probe next(runtime_.path(), key);
    ASSERT_EQ(next.WaitLine("first"), "first") << next.Output();
    // A clean first instance: it published itself anew and answers.
    Probe later(runtime_.path(), key, runtime_.path());
    ASSERT_TRUE(later.WaitExit());
    EXPECT_TRUE(later.HasLine("second")) << later.Output();
    EXPECT_FALSE(next.WaitLine("asked to front from " + runtime_.path()).empty()) << next.Output();
}

// The page names the first instance's thread, and thread numbers are reused: a
// start that gets no answer must not end whatever process owns that number now.
TEST_F(SingleInstanceProcesses, UnrelatedProcessOwningTheRecordedThreadIsLeftAlone) {
    const std::string key = RandomKey();
    // Forked before any object is opened, so that it holds none of them.
    const pid_t bystander = ::fork();
    ASSERT_GE(bystander, 0);
    if (bystander == 0) {
        for (;;)
            ::pause();
    }
    struct Reaper {
        pid_t pid;
        ~Reaper() {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    } reaper{bystander};

    // An instance whose page records the bystander's main thread, as after a takeover
    // whose stopped instance's thread number went to another program.
    platform::NamedMutex mutex;
    ASSERT_EQ(mutex.Create(key, false, objectFolder()), platform::NamedMutex::Result::Created);
    platform::SharedPage page;
    ASSERT_TRUE(page.Open(SingleInstance::MappingName(key), objectFolder()));
    const uint32_t recorded = static_cast<uint32_t>(bystander);
    std::memcpy(page.data() + SingleInstance::kThreadIdOffset, &recorded, sizeof recorded);

    Probe later(runtime_.path(), key);
    EXPECT_EQ(later.WaitLine("took over"), "took over, ended 0") << later.Output();
    EXPECT_EQ(::waitpid(bystander, nullptr, WNOHANG), 0) << "the bystander was ended";
    ASSERT_TRUE(later.Finish());
}

} // namespace
