// The built console program as scripts run it: its exit codes and lines for a start
// that fails, bad command lines, a second instance, a signal, and a whole download
// from a local server. Every run keeps HOME, the data and the runtime folders in the
// test's own folder.
#include "support/NginxServer.h"
#include "support/ProgramRun.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

using testsupport::FreeLoopbackPort;
using testsupport::ReadFile;
using testsupport::RunningProgram;
using testsupport::TempDir;
using testsupport::WriteFile;

const std::string kCli = BRISKLANE_CLI;
const std::string kPacker = BRISKLANE_PACK_TOOL;

class CliProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* d : {"home", "data", "run", "save", "files", "logs"})
            ::mkdir(dir_.file(d).c_str(), 0700);
        env_ = {"HOME=" + dir_.file("home"),
                "XDG_DATA_HOME=" + dir_.file("data"),
                "XDG_RUNTIME_DIR=" + dir_.file("run"),
                "BRISKLANE_LISTEN_ADDRESS=127.0.0.1",
                "PATH=/usr/bin:/bin",
                "LANG=C.UTF-8"};
        if (const char* tmp = std::getenv("TMPDIR"))
            env_.push_back(std::string("TMPDIR=") + tmp);
    }

    std::unique_ptr<RunningProgram> Start(const std::string& program, std::vector<std::string> args,
                                          const std::string& name) {
        args.insert(args.begin(), program);
        return std::make_unique<RunningProgram>(args, env_, dir_.file("logs"), name);
    }

    // Packs the program with four small package files served from baseUrl.
    std::string Pack(const std::string& baseUrl) {
        Json::Value d;
        const uint16_t nobody = FreeLoopbackPort();
        d["resourceList"] = "http://127.0.0.1:" + std::to_string(nobody) + "/list.xml";
        const char* names[] = {"setup.exe", "main.zip", "main.cab", "patch.exe"};
        for (int i = 0; i < 4; ++i) {
            std::string content;
            for (int k = 0; k < 20000 * (i + 1); ++k)
                content.push_back(static_cast<char>('a' + (k * 7 + i) % 26));
            WriteFile(dir_.file(std::string("files/") + names[i]), content);
            Json::Value f;
            f["url"] = baseUrl + "/" + names[i];
            f["name"] = names[i];
            f["path"] = dir_.file(std::string("files/") + names[i]);
            d["files"].append(f);
        }
        d["statistics"]["submitUrls"].append("http://127.0.0.1:" + std::to_string(nobody) + "/one");
        d["statistics"]["batchSubmitUrls"].append("http://127.0.0.1:" + std::to_string(nobody) + "/many");
        WriteFile(dir_.file("deploy.json"), Json::writeString(Json::StreamWriterBuilder(), d));
        const std::string out = dir_.file("brisklane-cli");
        RunningProgram pack(
            {kPacker, "--deployment", dir_.file("deploy.json"), "--program", kCli, "--output", out}, env_,
            dir_.file("logs"), "pack");
        EXPECT_EQ(pack.Wait(), 0) << pack.err();
        return out;
    }

    TempDir dir_;
    std::vector<std::string> env_;
};

TEST_F(CliProgramTest, UnpackedProgramCannotStartAndSaysSo) {
    auto run = Start(kCli, {"--no-install", "--verify", "no"}, "unpacked");
    EXPECT_EQ(run->Wait(), 1);
    EXPECT_NE(run->out().find("下载器启动失败（初始化结果 -2）"), std::string::npos) << run->out();
}

TEST_F(CliProgramTest, BadCommandLinesAreUsageErrors) {
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string err;
    };
    const Case cases[] = {
        {{"--speed-limit", "9"},
         2,
         "[警告] 您设置的速度不在允许范围内[10KB/s - 30000KB/s]，请重新设置限速！\n"},
        {{"--speed-limit", "30001"}, 2, "[警告] 您设置的速度不在允许范围内"},
        {{"--bogus"}, 2, "brisklane-cli: unknown option: --bogus\n用法: brisklane-cli"},
        {{"--verify", "perhaps"}, 2, "brisklane-cli: --verify takes yes or no, not: perhaps"},
        {{"--save-dir", dir_.file("none")}, 2, "保存目录不存在：" + dir_.file("none") + "\n"},
    };
    for (const Case& c : cases) {
        auto run = Start(kCli, c.args, "usage");
        EXPECT_EQ(run->Wait(), c.code) << c.args[0];
        EXPECT_EQ(run->err().find(c.err), 0u) << run->err();
        EXPECT_EQ(run->out(), "");
    }
    auto help = Start(kCli, {"--help"}, "help");
    EXPECT_EQ(help->Wait(), 0);
    EXPECT_EQ(help->out().find("用法: brisklane-cli [--save-dir 目录]"), 0u) << help->out();
}

// Nothing answers at the package addresses, so the first instance stays in its
// download until the signal.
TEST_F(CliProgramTest, SecondStartAsksTheFirstToTheFrontAndASignalEndsTheFirst) {
    const std::string program = Pack("http://127.0.0.1:" + std::to_string(FreeLoopbackPort()));
    auto first = Start(program, {"--save-dir", dir_.file("save"), "--no-install", "--verify", "no"}, "first");
    ASSERT_TRUE(first->WaitOutput("preparing  ")) << first->out() << first->err();

    auto second = Start(program, {"--no-install"}, "second");
    EXPECT_EQ(second->Wait(), 3) << second->out() << second->err();
    EXPECT_NE(second->out().find("下载器已在运行，已请它显示到前台\n"), std::string::npos) << second->out();
    EXPECT_TRUE(first->WaitOutput("另一次启动请求将下载器显示到前台\n")) << first->out();

    // The job went where --save-dir said, its file where XDG_DATA_HOME leads.
    std::string jobs;
    for (const auto& entry :
         std::filesystem::recursive_directory_iterator(dir_.file("data/Harrowfield/Brisklane"))) {
        if (entry.path().extension() == ".vedare")
            jobs += ReadFile(entry.path());
    }
    EXPECT_NE(jobs.find("BrisklaneTaskSavePath=" + dir_.file("save/Orlanta10117") + "\n"), std::string::npos)
        << jobs;

    ASSERT_EQ(::kill(first->pid(), SIGINT), 0);
    EXPECT_EQ(first->Wait(), 130) << first->out() << first->err();
    EXPECT_NE(first->out().find("收到中断信号，正在退出"), std::string::npos) << first->out();

    // The first instance gave its objects up: a new start is the first again.
    auto third = Start(program, {"--no-install", "--verify", "no"}, "third");
    ASSERT_TRUE(third->WaitOutput("  ")) << third->out();
    EXPECT_EQ(third->out().find("下载器已在运行"), std::string::npos);
    ::kill(third->pid(), SIGTERM);
    EXPECT_EQ(third->Wait(), 130);
}

TEST_F(CliProgramTest, CompleteDownloadWithoutInstallerEndsWithThePackagesPlace) {
    if (testsupport::NginxServer::Program().empty())
        GTEST_SKIP() << "nginx is not installed";
    testsupport::NginxServer nginx;
    ASSERT_TRUE(nginx.Start(dir_.file("files"), dir_.file("nginx")));
    const std::string program = Pack("http://127.0.0.1:" + std::to_string(nginx.port()));
    auto run =
        Start(program,
              {"--save-dir", dir_.file("save"), "--no-install", "--verify", "no", "--speed-limit", "30000"},
              "complete");
    EXPECT_EQ(run->Wait(), 0) << run->out() << run->err();
    const std::string out = run->out();
    EXPECT_NE(out.find("安装包已下载完成：" + dir_.file("save/Orlanta10117") + "\n"), std::string::npos)
        << out;
    EXPECT_TRUE(out.rfind("finished  ", 0) == 0 || out.find("\nfinished  ") != std::string::npos) << out;
    for (const char* name : {"setup.exe", "main.zip", "main.cab", "patch.exe"}) {
        EXPECT_EQ(ReadFile(dir_.file(std::string("save/Orlanta10117/") + name)),
                  ReadFile(dir_.file(std::string("files/") + name)))
            << name;
    }
}

} // namespace
