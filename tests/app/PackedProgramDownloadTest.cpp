// A deployment as it ships: the controller driver packed by the packer for a local
// nginx, run on nothing but its own configuration block and resources. It downloads its
// package from nothing, is killed in the middle and, started again, takes the job up
// and finishes it.
#include "engine/core/QMd5.h"
#include "platform/Clock.h"
#include "platform/ProfileFile.h"
#include "support/NginxServer.h"
#include "support/PackedProgram.h"
#include "support/ProgramRun.h"
#include "support/RandomBytes.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

using testsupport::FileExists;
using testsupport::NginxServer;
using testsupport::PackedProgram;
using testsupport::ReadFile;
using testsupport::RunningProgram;

constexpr size_t kMiB = 1048576;
// File 0 small, as the setup program is; none a whole number of pieces.
const size_t kSizes[4] = {1 * kMiB + 3, 24 * kMiB + 1000, 32 * kMiB - 17, 8 * kMiB + 262144 + 1};
const PackedProgram::Names kNames = {"setup.exe", "main.zip", "main.cab", "patch.exe"};
// Every request is throttled in proportion to its file's size, so that the four files
// advance at about the same pace and none has finished when the first run is killed
// half way: the next start must find a job to resume. The engine opens several
// connections per file, which makes the download some times faster than this.
constexpr size_t kDownloadSeconds = 20;

std::string Value(const std::string& file, const char* section, const std::string& key) {
    char buf[4096];
    platform::GetProfileString(section, key.c_str(), "", buf, sizeof buf, file.c_str());
    return buf;
}

// The driver's "state N" lines and the state of its start-up line, in order.
std::vector<int> ReportedStates(const std::string& out) {
    std::vector<int> states;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t at = line.rfind("state ");
        if (line.rfind("initialized ", 0) == 0 || line.rfind("state ", 0) == 0)
            states.push_back(std::stoi(line.substr(at + 6)));
    }
    return states;
}

// The last progress the driver reported, in 1/10000.
unsigned LastProgress(const std::string& out) {
    const size_t at = out.rfind("progress ");
    return at == std::string::npos ? 0 : static_cast<unsigned>(std::stoul(out.substr(at + 9)));
}

class PackedProgramDownloadTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (NginxServer::Program().empty())
            GTEST_SKIP() << "nginx is not installed";
        for (const char* sub : {"data", "work", "place", "log"})
            std::filesystem::create_directories(dir_.file(sub));
        for (int i = 0; i < 4; ++i) {
            contents_[i] = testsupport::RandomBytes(kSizes[i], 11 + i);
            md5_[i] = Md5Hex(contents_[i].data(), contents_[i].size());
        }
        std::string locations = "location /submit/ { return 200; }\n";
        for (int i = 0; i < 4; ++i) {
            locations += "location = /pkg/" + kNames[i] + " { alias " + packed_.PackageFolder() + "/" +
                         kNames[i] + "; limit_rate " + std::to_string(kSizes[i] / kDownloadSeconds) + "; }\n";
        }
        ASSERT_TRUE(packed_.Serve(kNames, contents_, locations));

        PackedProgram::Deployment d;
        d.files = "/pkg/";
        d.resourceList = "/downloader/list.xml";
        d.submit = "/submit/eventInfoSubmit";
        d.batchSubmit = "/submit/eventListSubmit";
        const testsupport::ProgramResult packed = packed_.Pack(BRISKLANE_CONTROLLER_DRIVER, d);
        ASSERT_EQ(packed.exit, 0) << packed.err;
        for (int i = 0; i < 4; ++i)
            urls_[i] = packed_.Url(d.files + kNames[i]);
        statsUrl_ = packed_.Url(d.submit);

        // Only the surroundings: the package is the program's own.
        ini_ = dir_.file("driver.ini");
        for (const auto& [key, value] : {std::pair<std::string, std::string>{"embedded", "1"},
                                         {"dataRoot", dir_.file("data")},
                                         {"workDir", dir_.file("work")},
                                         {"place", dir_.file("place")}}) {
            ASSERT_TRUE(platform::WriteProfileString("driver", key.c_str(), value.c_str(), ini_.c_str()));
        }
    }

    std::string DataFolder() const { return dir_.file("data/Harrowfield/Brisklane/Brisklane") + md5_[0]; }
    std::string JobFile() const { return DataFolder() + "/" + md5_[0] + ".vedare"; }
    std::string SaveFile(int i) const { return dir_.file("place/Orlanta10117/") + kNames[i]; }

    // Starts the packed driver as run name and waits until its output satisfies done, or
    // it ended, or the time is up; false on the last two.
    template <typename Done>
    bool RunUntil(std::unique_ptr<RunningProgram>& driver, const std::string& name, Done done, int seconds) {
        driver = packed_.Start({ini_}, {}, dir_.file("log"), name);
        if (driver->pid() < 0)
            return false;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < end && !driver->Ended()) {
            if (done(driver->out()))
                return true;
            platform::SleepMs(50);
        }
        return false;
    }

    testsupport::TempDir dir_;
    PackedProgram packed_{dir_, BRISKLANE_PACK_TOOL};
    PackedProgram::Names contents_;
    std::string md5_[4];
    std::string urls_[4];
    std::string statsUrl_;
    std::string ini_;
};

TEST_F(PackedProgramDownloadTest, KilledHalfWayAndStartedAgainItFinishesThePackage) {
    // First run: nothing to resume, so the driver presses start; killed without warning
    // once half is there.
    std::string first;
    {
        std::unique_ptr<RunningProgram> driver;
        const bool halfWay = RunUntil(
            driver, "first", [](const std::string& out) { return LastProgress(out) >= 5000; }, 60);
        first = driver->out();
        ASSERT_TRUE(halfWay) << first << driver->err();
        ASSERT_EQ(::kill(driver->pid(), SIGKILL), 0);
        driver->Wait();
    }
    ASSERT_NE(first.find("initialized 0 state 1\n"), std::string::npos) << first;
    EXPECT_EQ(Value(JobFile(), "BrisklaneTask", "BrisklaneTaskIsComplete"), "");
    for (int i = 0; i < 4; ++i)
        ASSERT_FALSE(FileExists(SaveFile(i))) << kNames[i] << " finished before the kill";
    // The statistics configuration came out of the program's own resources.
    EXPECT_NE(ReadFile(DataFolder() + "/dataupload.vedare").find("SubmitUrl=" + statsUrl_ + "\n"),
              std::string::npos);

    // Second run: the job is found and taken up (state recover) and runs to its end,
    // without going back to ready.
    std::string out;
    {
        std::unique_ptr<RunningProgram> driver;
        const bool finished = RunUntil(
            driver, "second",
            [&](const std::string& out) {
                const std::vector<int> states = ReportedStates(out);
                return !states.empty() && states.back() == 8 &&
                       !Value(JobFile(), "BrisklaneFinishInfo", "BrisklaneTask3FileSizeLow").empty();
            },
            60);
        out = driver->out();
        ASSERT_TRUE(finished) << out << driver->err();
    }
    const std::vector<int> states = ReportedStates(out);
    EXPECT_NE(out.find("initialized 1 state 15\n"), std::string::npos) << out;
    EXPECT_EQ(std::count(states.begin(), states.end(), 1), 0) << out;
    EXPECT_EQ(std::count(states.begin(), states.end(), 8), 1) << out;
    EXPECT_EQ(LastProgress(out), 10000u) << out;

    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(kNames[i]);
        const std::string data = ReadFile(SaveFile(i));
        EXPECT_EQ(data.size(), kSizes[i]);
        EXPECT_EQ(Md5Hex(data.data(), data.size()), md5_[i]);
        EXPECT_FALSE(FileExists(SaveFile(i) + ".qvtmp"));
        // Its torrent was released under its digest.
        EXPECT_TRUE(FileExists(DataFolder() + "/" + md5_[i]));
    }

    // The job file holds every key a finished job leaves behind.
    const std::string job = JobFile();
    auto taskKey = [&](const std::string& key) { return Value(job, "BrisklaneTask", key); };
    EXPECT_EQ(taskKey("BrisklaneTaskHash"), md5_[0]);
    EXPECT_FALSE(taskKey("BrisklaneTaskCreateTimeStamp").empty());
    EXPECT_FALSE(taskKey("BrisklaneTaskCreateTime").empty());
    EXPECT_EQ(taskKey("BrisklaneTaskEntrence"), kNames[0]);
    EXPECT_EQ(taskKey("BrisklaneTaskFloder"), "Orlanta10117");
    EXPECT_EQ(taskKey("BrisklaneTaskSavePath"), dir_.file("place/Orlanta10117"));
    EXPECT_EQ(taskKey("BrisklaneTaskIsComplete"), "COMPLETE");
    EXPECT_GT(std::stoul("0" + taskKey("BrisklaneTaskDownloadTime")), 0ul);
    uint64_t total = 0;
    for (size_t s : kSizes)
        total += s;
    const std::string high = taskKey("BrisklaneTaskLastSizeHigh");
    const std::string low = taskKey("BrisklaneTaskLastSizeLow");
    ASSERT_FALSE(high.empty());
    ASSERT_FALSE(low.empty());
    EXPECT_EQ(high, "0");
    EXPECT_GT(std::stoull(low), total / 2);
    EXPECT_LE(std::stoull(low), total);
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(kNames[i]);
        const std::string n = std::to_string(i);
        EXPECT_EQ(taskKey("BrisklaneHttpTaskUrl" + n), urls_[i]);
        EXPECT_EQ(taskKey("BrisklaneHttpTaskFile" + n), kNames[i]);
        EXPECT_EQ(taskKey("BrisklaneTask" + n), kNames[i]);
        const std::string prefix = "BrisklaneTask" + n;
        EXPECT_EQ(Value(job, "BrisklaneFinishInfo", prefix + "FileSizeHigh"), "0");
        EXPECT_EQ(Value(job, "BrisklaneFinishInfo", prefix + "FileSizeLow"), std::to_string(kSizes[i]));
        EXPECT_FALSE(Value(job, "BrisklaneFinishInfo", prefix + "WriteTimeHigh").empty());
        EXPECT_FALSE(Value(job, "BrisklaneFinishInfo", prefix + "WriteTimeLow").empty());
    }
}

} // namespace

// The program as built carries no statistics configuration: only a packed copy is a
// deployment, and the unpacked one ends at its start-up.
TEST(UnpackedProgramTest, EndsAtStartUpForWantOfItsResources) {
    testsupport::TempDir dir;
    const std::string ini = dir.file("driver.ini");
    for (const auto& [key, value] : {std::pair<std::string, std::string>{"embedded", "1"},
                                     {"dataRoot", dir.file("data")},
                                     {"workDir", dir.path()},
                                     {"place", dir.path()}}) {
        ASSERT_TRUE(platform::WriteProfileString("driver", key.c_str(), value.c_str(), ini.c_str()));
    }
    const testsupport::ProgramResult r =
        testsupport::RunProgram({BRISKLANE_CONTROLLER_DRIVER, ini}, dir.path());
    EXPECT_EQ(r.exit, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("initialized -2 "), std::string::npos) << r.out;
    // Nothing was started.
    const std::string key = "4fc4be0e5a4c8af692263ae9d1c8fa46";
    EXPECT_FALSE(FileExists(dir.file("data/Harrowfield/Brisklane/Brisklane") + key + "/" + key + ".vedare"));
}
