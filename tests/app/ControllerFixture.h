#pragma once
// A controller on temporary folders: its own data root, save place, working folder and
// resource file, with recorders for its events, modal questions and log lines.
#include "app/ControllerConfig.h"
#include "app/ControllerEnvironment.h"
#include "app/ControllerSettings.h"
#include "app/ControllerTexts.h"
#include "app/DownloadController.h"
#include "app/EmbeddedConfigBlock.h"
#include "app/EventReporter.h"
#include "app/IControllerFrontEnd.h"
#include "app/IControllerSeams.h"
#include "app/ResourceIds.h"
#include "app/TaskPersistence.h"
#include "engine/api/BrisklaneEngine.h"
#include "platform/DebugOutput.h"
#include "platform/MessageSink.h"
#include "platform/ResourceArchive.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace controllertest {

constexpr const char* kProductKey = "0123456789abcdef0123456789abcdef";

struct RecordedEvent {
    std::string kind; // "event", "file", "progress"
    std::string code;
    std::string text; // message, or file name for file events
    int32_t flag = 0;
    std::string message; // a file event's message
};

class RecordingEvents : public EventReporter {
public:
    void Event(const std::string& code, const std::string& message, int32_t flag) override {
        Add({"event", code, message, flag});
    }
    void FileEvent(const std::string& code, const std::string& fileName,
                   const std::string& message) override {
        Add({"file", code, fileName, 0, message});
    }
    void ProgressEvent(const Progress& p) override { Add({"progress", p.code, p.errorMessage, 0}); }

    std::vector<RecordedEvent> entries() const {
        std::lock_guard<std::mutex> g(m_);
        return entries_;
    }
    std::vector<std::string> codes() const {
        std::vector<std::string> out;
        for (const auto& e : entries())
            out.push_back(e.code);
        return out;
    }
    int Count(const std::string& code) const {
        const auto c = codes();
        return static_cast<int>(std::count(c.begin(), c.end(), code));
    }
    // The first entry with code; an empty one when there is none.
    RecordedEvent First(const std::string& code) const {
        for (const auto& e : entries())
            if (e.code == code)
                return e;
        return {};
    }
    void Clear() {
        std::lock_guard<std::mutex> g(m_);
        entries_.clear();
    }

private:
    void Add(RecordedEvent e) {
        std::lock_guard<std::mutex> g(m_);
        entries_.push_back(std::move(e));
    }
    mutable std::mutex m_;
    std::vector<RecordedEvent> entries_;
};

class RecordingFrontEnd : public IControllerFrontEnd {
public:
    void ShowModalMessage(const std::string& text, const std::string&) override {
        std::lock_guard<std::mutex> g(m_);
        modal_.push_back(text);
    }
    bool AskYesNo(const std::string& text, const std::string&) override {
        std::lock_guard<std::mutex> g(m_);
        questions_.push_back(text);
        return answer_;
    }
    void PostPrimaryAction() override {
        std::lock_guard<std::mutex> g(m_);
        ++posted_;
    }
    void CloseMainWindow() override {
        std::lock_guard<std::mutex> g(m_);
        ++closed_;
    }
    std::vector<std::string> modal() const {
        std::lock_guard<std::mutex> g(m_);
        return modal_;
    }
    std::vector<std::string> questions() const {
        std::lock_guard<std::mutex> g(m_);
        return questions_;
    }
    void SetAnswer(bool yes) {
        std::lock_guard<std::mutex> g(m_);
        answer_ = yes;
    }
    int posted() const {
        std::lock_guard<std::mutex> g(m_);
        return posted_;
    }
    int closed() const {
        std::lock_guard<std::mutex> g(m_);
        return closed_;
    }

private:
    mutable std::mutex m_;
    std::vector<std::string> modal_, questions_;
    bool answer_ = false;
    int posted_ = 0, closed_ = 0;
};

// Seams that note what was asked of them; each call proves the controller's mutex is
// free by asking the controller from another thread.
class RecordingSeams : public IControllerSeams {
public:
    explicit RecordingSeams(DownloadController*& c) : c_(c) {}
    void AskVerifyThenInstall() override { Note("verify"); }
    void Install(bool verified) override { Note(verified ? "install verified" : "install"); }
    void ShutdownIn(unsigned seconds) override { Note("shutdown " + std::to_string(seconds)); }
    void StartMirrorRefresh() override { Note("mirrors"); }
    std::vector<std::string> calls() const {
        std::lock_guard<std::mutex> g(m_);
        return calls_;
    }

private:
    void Note(const std::string& what) {
        std::thread([this] { c_->State(); }).join();
        std::lock_guard<std::mutex> g(m_);
        calls_.push_back(what);
    }
    DownloadController*& c_;
    mutable std::mutex m_;
    std::vector<std::string> calls_;
};

// Keeps the debugger-output lines of the log while it lives.
class LogCapture {
public:
    LogCapture() {
        previous_ = platform::SetDebugSink([this](std::string_view line) {
            std::lock_guard<std::mutex> g(m_);
            lines_.emplace_back(line);
        });
    }
    ~LogCapture() { platform::SetDebugSink(previous_); }
    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> g(m_);
        return lines_;
    }
    // Lines that contain text, in order.
    std::vector<std::string> Matching(const std::string& text) const {
        std::vector<std::string> out;
        for (const auto& l : lines())
            if (l.find(text) != std::string::npos)
                out.push_back(l);
        return out;
    }
    int Count(const std::string& text) const { return static_cast<int>(Matching(text).size()); }

private:
    platform::DebugSink previous_;
    mutable std::mutex m_;
    std::vector<std::string> lines_;
};

// The state names of the state-change lines in the log, in the order logged.
inline std::vector<std::string> LoggedStates(const LogCapture& log) {
    const std::pair<const char*, const char*> names[] = {
        {texts::kLogStateBack, "back"},
        {texts::kLogStateReady, "ready"},
        {texts::kLogStatePreparing, "preparing"},
        {texts::kLogStateDownloading, "downloading"},
        {texts::kLogStatePause, "pause"},
        {texts::kLogStateResume, "resume"},
        {texts::kLogStateFailed, "failed"},
        {texts::kLogStateFinished, "finished"},
        {texts::kLogStateRetry, "retry"},
        {texts::kLogStateMd5Checking, "md5checking"},
        {texts::kLogStateCheckRecover, "checkrecover"},
        {texts::kLogStateCheckFinished, "checkfinished"},
        {texts::kLogStateRecover, "recover"},
        {texts::kLogStateReload, "reload"},
    };
    std::vector<std::string> out;
    for (const std::string& line : log.lines()) {
        for (const auto& [text, name] : names) {
            if (line.find(std::string(text) + "]") != std::string::npos)
                out.push_back(name);
        }
    }
    return out;
}

// Writes a stand-in program file: some bytes with a resource archive behind them.
inline void WriteResourceFile(const std::string& path, bool withStatistics) {
    platform::ResourceArchive archive;
    if (withStatistics) {
        // No server address: the statistics client has nowhere to post.
        const std::string ini =
            "[SubmitEventDownload]\nInputDataKeyWord=DVersion;GameID;GVersion;AppVersion\n";
        archive.Put({ResourceIds::kStatisticsType, ResourceIds::kStatistics,
                     platform::kLanguageChineseSimplified, embedded::EmbeddedConfigBlock::EncodeText(ini)});
    }
    testsupport::WriteFile(path, std::string("not a real program\n") + archive.Serialize());
}

// The controller of one test, with folders of its own below dir.
class ControllerHarness {
public:
    explicit ControllerHarness(const std::string& dir, bool withStatistics = true) : dir_(dir) {
        std::filesystem::create_directories(dir_ + "/data");
        std::filesystem::create_directories(dir_ + "/work");
        std::filesystem::create_directories(dir_ + "/place");
        WriteResourceFile(dir_ + "/program", withStatistics);
        env.dataRoot = dir_ + "/data";
        env.workingDirectory = dir_ + "/work";
        env.resourceFile = dir_ + "/program";
        env.programVersion = "1.2.3.4";
        const std::string place = dir_ + "/place";
        env.defaultSavePlace = [place] { return place; };
        env.choosePort = [] { return 0; };
        env.events = &events;
        env.frontEnd = &frontEnd;
        config.productKey = kProductKey;
        config.resourceListUrl = "https://list.example/downloader/list.xml";
        for (int i = 0; i < 4; ++i) {
            config.fileNames[i] = "pkg" + std::to_string(i) + ".bin";
            config.packageUrls[i] = "http://127.0.0.1:9/" + config.fileNames[i];
            config.expectedSizes[i] = (i + 1) * 1048576ull;
            config.expectedMd5[i] = std::string(31, 'a') + std::to_string(i);
        }
    }

    // Builds the controller from env and config (change them first).
    DownloadController& Make() {
        controller = std::make_unique<DownloadController>(env);
        controller->LoadConfig(config);
        return *controller;
    }

    std::string DataFolder() const {
        return dir_ + "/data/Harrowfield/Brisklane/Brisklane" + std::string(kProductKey);
    }
    std::string JobFile() const { return DataFolder() + "/" + kProductKey + ".vedare"; }
    std::string SaveFolder() const { return dir_ + "/place/Orlanta10117"; }
    std::string SaveFile(int i) const { return SaveFolder() + "/" + config.fileNames[i]; }

    ControllerEnvironment env;
    ControllerConfig config;
    RecordingEvents events;
    RecordingFrontEnd frontEnd;
    std::unique_ptr<DownloadController> controller;

private:
    std::string dir_;
};

// A job of h whose four files are all there and recorded as finished; file 0 (the
// entry) holds entry, the others "done".
inline void WriteFinishedJob(const ControllerHarness& h, const std::string& entry = "done") {
    std::filesystem::create_directories(h.DataFolder());
    std::filesystem::create_directories(h.SaveFolder());
    const TaskPersistence job(h.JobFile());
    job.WriteJobStart(controllertest::kProductKey);
    job.Write("BrisklaneTaskSavePath", h.SaveFolder());
    job.Write("BrisklaneTaskEntrence", "pkg0.bin");
    job.MarkJobComplete();
    for (int i = 0; i < 4; ++i) {
        testsupport::WriteFile(h.SaveFile(i), i == 0 ? entry : "done");
        job.RecordFinishedFile(i, h.SaveFile(i));
    }
}

// The engine is set up the way the program leaves it at exit: services closed, tasks
// deleted; each test starts from nothing.
class ControllerTest : public ::testing::Test {
protected:
    void SetUp() override { ControllerSettings::Reset(); }
    void TearDown() override {
        harness_.controller.reset();
        // Tasks first: their threads log until they have stopped.
        EngineCleanup();
        EngineCloseServices();
    }

    void WriteFinishedJob(const std::string& entry = "done") {
        controllertest::WriteFinishedJob(harness_, entry);
    }

    testsupport::TempDir dir_;
    ControllerHarness harness_{dir_.path()};
};

// Waits until done() or the seconds are up; done()'s last answer.
template <typename Done> bool WaitUntil(Done done, int seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end)
            return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// A text query's answer as a string.
template <typename Query> std::string QueryText(Query query) {
    const int n = query(nullptr, nullptr);
    std::string out(static_cast<size_t>(n) + 1, '\0');
    const int cap = n + 1;
    query(out.data(), &cap);
    out.resize(static_cast<size_t>(n));
    return out;
}

} // namespace controllertest
