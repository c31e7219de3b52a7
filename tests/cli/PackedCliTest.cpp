// The console downloader as a player runs it: packed by the deployment tool for a
// private nginx that serves four generated package files, started as a real process with
// its data folder, its save folder and its named objects inside the test's folder.
#include "support/NginxServer.h"
#include "support/PackedProgram.h"
#include "support/ProgramRun.h"
#include "support/RandomBytes.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

using testsupport::FileExists;
using testsupport::NginxServer;
using testsupport::PackedProgram;
using testsupport::RandomBytes;
using testsupport::ReadFile;
using testsupport::RunningProgram;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

constexpr const char* kFolder = "Orlanta10117";
const PackedProgram::Names kNames = {"setup.sh", "main.zip", "main.z01", "patch.pak"};

// A finished run of the program: its exit code and what it wrote.
struct RunResult {
    int code = -1;   // minus the signal when it was killed
    std::string out; // UTF-8, as the program prints it
    std::string err; // the engine's debug lines, UTF-8 as the debug output writes them
};

RunResult Finish(RunningProgram& run, int seconds) {
    return {run.Wait(seconds * 1000), run.out(), run.err()};
}

// The last percentage of the plain progress lines; -1 before the first.
double LastPercent(const RunningProgram& run) {
    const std::string out = run.out();
    static const std::regex percent(R"(([0-9]+\.[0-9]{2})%)");
    double last = -1;
    for (auto it = std::sregex_iterator(out.begin(), out.end(), percent); it != std::sregex_iterator(); ++it)
        last = std::stod((*it)[1]);
    return last;
}

// Waits until the plain output shows at least percent; false when the program ended or
// the time ran out first.
bool WaitForPercent(RunningProgram& run, double percent, int seconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < until && !run.Ended()) {
        if (LastPercent(run) >= percent)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

class PackedCliTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (NginxServer::Program().empty())
            GTEST_SKIP() << "nginx is not installed";
        const std::string pkg = packed_.PackageFolder();
        ::mkdir(pkg.c_str(), 0755);
        ::mkdir(dir_.file("data").c_str(), 0755);
        ::mkdir(dir_.file("run").c_str(), 0700);
        ::mkdir(dir_.file("games").c_str(), 0755);

        // The installer writes where it was started, so the test sees that it ran and
        // in which folder. Its random tail makes the product key (the digest of file 0)
        // this test's own.
        const uint32_t seed = std::random_device{}();
        contents_[0] = "#!/bin/sh\n"
                       "pwd > installer-ran\n"
                       "echo \"installer started in $(pwd)\"\n"
                       "exit 0\n# " +
                       std::to_string(seed) + "\n";
        // Padding to a size that is still being fetched when a paced run is stopped
        // (a finished file would make the next start check rather than recover).
        while (contents_[0].size() < (1u << 20))
            contents_[0] += "# padding line of the demo installer, never read by the shell\n";
        contents_[1] = RandomBytes(6 << 20, seed + 1);
        contents_[2] = RandomBytes(9 << 20, seed + 2);
        contents_[3] = RandomBytes(3 << 20, seed + 3);

        // /slow/ paces every connection so that a run can be stopped in the middle; the
        // installer more, for it is the smallest.
        ASSERT_TRUE(packed_.Serve(kNames, contents_,
                                  "location /slow/ { alias " + pkg +
                                      "/; limit_rate 200k; }\n"
                                      "location = /slow/setup.sh { alias " +
                                      pkg + "/setup.sh; limit_rate 16k; }"));
    }

    // Packs the program with every file served from prefix ("/" or "/slow/").
    void Pack(const std::string& prefix) {
        PackedProgram::Deployment d;
        d.files = prefix;
        d.resourceList = prefix + "resources.xml";
        d.submit = d.batchSubmit = "/submit";
        d.pieceLength = 262144;
        d.version = "1.0.3.7";
        const testsupport::ProgramResult r = packed_.Pack(BRISKLANE_CLI, d);
        ASSERT_EQ(r.exit, 0) << r.err;
    }

    std::string SaveFolder() const { return dir_.file("games") + "/" + kFolder; }
    std::string SavedFile(int i) const { return SaveFolder() + "/" + kNames[i]; }

    std::unique_ptr<RunningProgram> Start(std::vector<std::string> args, std::vector<std::string> env = {}) {
        args.insert(args.begin(), {"--save-dir", dir_.file("games")});
        env.push_back("XDG_DATA_HOME=" + dir_.file("data"));
        env.push_back("XDG_RUNTIME_DIR=" + dir_.file("run"));
        env.push_back("BRISKLANE_LISTEN_ADDRESS=127.0.0.1");
        env.push_back("BRISKLANE_DEBUG_OUTPUT=1");
        return packed_.Start(args, env, dir_.path(), "run" + std::to_string(++runs_));
    }

    RunResult Run(std::vector<std::string> args, std::vector<std::string> env = {}, int seconds = 120) {
        return Finish(*Start(std::move(args), std::move(env)), seconds);
    }

    void ExpectPackageIntact() {
        for (int i = 0; i < 4; ++i) {
            ASSERT_TRUE(FileExists(SavedFile(i))) << kNames[i];
            EXPECT_TRUE(ReadFile(SavedFile(i)) == contents_[i]) << kNames[i] << " differs";
            EXPECT_FALSE(FileExists(SavedFile(i) + ".qvtmp")) << kNames[i];
        }
    }

    // The job file in the data folder: the one ".vedare" file that is not the released
    // statistics configuration.
    std::string JobFile() const {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(dir_.file("data"))) {
            if (entry.path().extension() == ".vedare" && entry.path().filename() != "dataupload.vedare")
                return entry.path();
        }
        return {};
    }

    static bool Logged(const RunResult& r, const char* utf8) { return r.err.find(utf8) != std::string::npos; }

    TempDir dir_;
    PackedProgram packed_{dir_, BRISKLANE_PACK_TOOL};
    PackedProgram::Names contents_;
    int runs_ = 0;
};

TEST_F(PackedCliTest, FreshDownloadIsVerifiedAndStartsTheInstallerInTheSaveFolder) {
    Pack("/");
    const RunResult r = Run({});
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    ExpectPackageIntact();
    // The installer ran in the save folder and its output reached the terminal.
    EXPECT_EQ(ReadFile(SaveFolder() + "/installer-ran"), SaveFolder() + "\n");
    EXPECT_NE(r.out.find("installer started in " + SaveFolder()), std::string::npos) << r.out;
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(Logged(r, (std::string("MD5匹配：") + kNames[i]).c_str())) << kNames[i];
    EXPECT_TRUE(Logged(r, "开始安装] [用户点击安装按钮"));
    EXPECT_TRUE(Logged(r, "由于启动了安装程序，退出"));
}

TEST_F(PackedCliTest, FileDamagedAfterDownloadIsFoundByItsDigestAndRepairedInOnePass) {
    Pack("/");
    RunResult r = Run({"--no-install"});
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    ExpectPackageIntact();

    // Same size and times, a few bytes changed in the middle: only the digest can tell
    // (a file whose time changed is fetched again at start-up, before any check).
    {
        struct stat before {};
        ASSERT_EQ(::stat(SavedFile(2).c_str(), &before), 0);
        {
            std::fstream f(SavedFile(2), std::ios::in | std::ios::out | std::ios::binary);
            f.seekp(4 << 20);
            f.write("damaged!", 8);
        }
        const timespec times[2] = {before.st_atim, before.st_mtim};
        ASSERT_EQ(::utimensat(AT_FDCWD, SavedFile(2).c_str(), times, 0), 0);
        ASSERT_FALSE(ReadFile(SavedFile(2)) == contents_[2]);
    }
    r = Run({"--no-install", "--verify", "yes"});
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    ExpectPackageIntact();
    EXPECT_TRUE(Logged(r, "MD5不匹配：main.z01")) << r.err;
    EXPECT_TRUE(Logged(r, "MD5匹配：patch.pak"));
    EXPECT_NE(r.out.find("修复成功"), std::string::npos) << r.out;
    EXPECT_FALSE(FileExists(SaveFolder() + "/installer-ran"));
}

TEST_F(PackedCliTest, KilledInTheMiddleResumesAtTheNextStartAndFinishes) {
    Pack("/slow/");
    {
        auto cli = Start({"--no-install"});
        ASSERT_TRUE(WaitForPercent(*cli, 30, 90)) << cli->out();
        ::kill(cli->pid(), SIGKILL);
        ASSERT_EQ(cli->Wait(10000), -SIGKILL);
        ASSERT_LT(LastPercent(*cli), 100);
    }
    const RunResult r = Run({"--no-install"}, {}, 180);
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_TRUE(Logged(r, "下载状态改变为recover")) << r.err;
    EXPECT_FALSE(Logged(r, "下载状态改变为preparing"));
    ExpectPackageIntact();
    const std::string job = ReadFile(JobFile());
    for (const char* key :
         {"BrisklaneTaskHash", "BrisklaneTaskEntrence", "BrisklaneTaskSavePath", "BrisklaneTaskIsComplete"})
        EXPECT_NE(job.find(key), std::string::npos) << key << " missing from\n" << job;
}

TEST_F(PackedCliTest, InterruptLeavesThroughTheUserExitAndALaterStartResumes) {
    Pack("/slow/");
    {
        auto cli = Start({"--no-install"});
        ASSERT_TRUE(WaitForPercent(*cli, 20, 90)) << cli->out();
        ::kill(cli->pid(), SIGINT);
        const RunResult r = Finish(*cli, 30);
        ASSERT_EQ(r.code, 130) << r.out << r.err;
        EXPECT_TRUE(Logged(r, "用户点击退出按钮")) << r.err;
        EXPECT_TRUE(Logged(r, "=====================退出====================="));
        EXPECT_FALSE(Logged(r, "遭遇意外退出"));
    }
    const RunResult r = Run({"--no-install"}, {}, 180);
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_TRUE(Logged(r, "下载状态改变为recover")) << r.err;
    ExpectPackageIntact();
}

// After a complete download, the job file's entry is pointed elsewhere: the installer the
// player would start is gone, or is a file nothing can open.
class PackedCliInstallerTest : public PackedCliTest {
protected:
    void DownloadThenSetEntry(const std::string& entry) {
        Pack("/");
        const RunResult r = Run({"--no-install", "--verify", "no"});
        ASSERT_EQ(r.code, 0) << r.out << r.err;
        const std::string path = JobFile();
        std::string job = ReadFile(path);
        const std::string key = "BrisklaneTaskEntrence=";
        const size_t at = job.find(key);
        ASSERT_NE(at, std::string::npos) << job;
        const size_t end = job.find_first_of("\r\n", at);
        job.replace(at + key.size(), end - at - key.size(), entry);
        WriteFile(path, job);
    }
};

TEST_F(PackedCliInstallerTest, MissingInstallerIsReportedAndEndsWithOne) {
    DownloadThenSetEntry("not-there.sh");
    const RunResult r = Run({"--verify", "no"});
    EXPECT_EQ(r.code, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("安装程序丢失"), std::string::npos) << r.out;
    EXPECT_TRUE(Logged(r, "安装失败] [用户点击安装按钮，但是找不到安装程序"));
}

TEST_F(PackedCliInstallerTest, InstallerWithoutAHandlerIsReportedWithTheShellsReason) {
    // A data file, not executable, and no program to hand it to.
    DownloadThenSetEntry("main.zip");
    const RunResult r = Run({"--verify", "no"}, {"BRISKLANE_XDG_OPEN=no-such-opener-here"});
    EXPECT_EQ(r.code, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("安装程序无法正常打开"), std::string::npos) << r.out;
    EXPECT_TRUE(Logged(r, "安装程序无法正常打开，原因：本次安装前没有校验There is no application associated"))
        << r.err;
}

} // namespace
