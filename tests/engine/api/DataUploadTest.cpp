#include "engine/core/DataUpload.h"

#include "app/StatisticsEvents.h"
#include "engine/api/BrisklaneEngine.h"
#include "engine/core/EngineLog.h"
#include "engine/core/IDataStatisticsUser.h"
#include "platform/DebugOutput.h"
#include "platform/MessageSink.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <strings.h>

namespace {

// What the statistics client was asked to do, in order.
struct Call {
    std::string what; // "add" or "submit"
    std::string code;
    std::string body;
    int flag = 0;
};

struct Recorder {
    std::mutex m;
    std::condition_variable cv;
    std::vector<Call> calls;
    std::vector<std::string> configFiles;
    std::vector<std::string> factoryIds;
    std::string sessionCode = "0x0123ABCD, 0x4567EF89";

    void Push(Call c) {
        {
            std::lock_guard<std::mutex> g(m);
            calls.push_back(std::move(c));
        }
        cv.notify_all();
    }
    std::vector<Call> Calls() {
        std::lock_guard<std::mutex> g(m);
        return calls;
    }
    size_t Count(const char* what) {
        std::lock_guard<std::mutex> g(m);
        return std::count_if(calls.begin(), calls.end(), [&](const Call& c) { return c.what == what; });
    }
    // Waits (up to a generous bound, passes are a second apart) for n calls of a kind.
    bool WaitFor(const char* what, size_t n) {
        std::unique_lock<std::mutex> g(m);
        return cv.wait_for(g, std::chrono::seconds(10), [&] {
            return static_cast<size_t>(std::count_if(calls.begin(), calls.end(),
                                                     [&](const Call& c) { return c.what == what; })) >= n;
        });
    }
};

Recorder* g_recorder = nullptr;

class FakeClient : public IDataStatisticsUser {
public:
    int SetConfigFile(const char* path) override {
        std::lock_guard<std::mutex> g(g_recorder->m);
        g_recorder->configFiles.push_back(path);
        return 1;
    }
    int AddEvent(const char* code, const char* body, int* flag) override {
        g_recorder->Push({"add", code, body, *flag});
        return 1;
    }
    int SubmitEventDownloadSeveral() override {
        g_recorder->Push({"submit", "", "", 0});
        return 1;
    }
    int GetSessionCode(char* buffer, size_t* size) override {
        std::lock_guard<std::mutex> g(g_recorder->m);
        const std::string& code = g_recorder->sessionCode;
        if (code.empty())
            return 0;
        if (*size < code.size() + 1)
            return static_cast<int>(code.size());
        std::memcpy(buffer, code.c_str(), code.size() + 1);
        return 1;
    }
};

int FakeFactory(const char* interfaceId, IDataStatisticsUser** out) {
    {
        std::lock_guard<std::mutex> g(g_recorder->m);
        g_recorder->factoryIds.push_back(interfaceId);
    }
    if (strcasecmp(interfaceId, kDataStatisticsInterfaceId) == 0)
        *out = new FakeClient;
    return 0;
}

class DataUploadTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetDataUploadForTests();
        g_recorder = &recorder_;
        SetDataStatisticsFactory(&FakeFactory);
        EngineOpenLog();
        previousSink_ = platform::SetDebugSink([this](std::string_view line) {
            std::lock_guard<std::mutex> g(logLock_);
            log_.emplace_back(line);
        });
    }
    void TearDown() override {
        ResetDataUploadForTests();
        EngineCloseServices();
        platform::SetDebugSink(previousSink_);
        g_recorder = nullptr;
    }

    static void Collect(const char* gameId = "G1") {
        CollectDataUpload("stats.ini", gameId, "2.0", "3.1", "web");
    }

    bool Logged(const std::string& text) {
        std::lock_guard<std::mutex> g(logLock_);
        return std::any_of(log_.begin(), log_.end(),
                           [&](const std::string& l) { return l.find(text) != std::string::npos; });
    }

    bool Logged(const std::regex& pattern) {
        std::lock_guard<std::mutex> g(logLock_);
        return std::any_of(log_.begin(), log_.end(),
                           [&](const std::string& l) { return std::regex_search(l, pattern); });
    }

    Recorder recorder_;
    std::mutex logLock_;
    std::vector<std::string> log_;
    platform::DebugSink previousSink_;
};

std::string Member(const std::string& body, const std::string& key) {
    const std::string head = "\"" + key + "\":\"";
    const size_t at = body.find(head);
    if (at == std::string::npos)
        return "<missing>";
    const size_t from = at + head.size();
    return body.substr(from, body.find('"', from) - from);
}

TEST_F(DataUploadTest, BodiesAreTheFormatFilledWithTheCallersValues) {
    Collect();
    EngineReportEvent(StatisticsEvents::kContinued, "", 6);
    EngineReportTransfer(StatisticsEvents::kUserExit, "10.0.0.1", "206", 12, 5000000000ULL, 300, "55.5",
                         4000000000ULL, 200, 1000000000ULL, 100, 7, "pkg.bin", "http://files.example/pkg.bin",
                         "none", -3);
    // Caller texts are values, never formats; code and texts reach the client as given.
    EngineReportFileEvent("11%s%n", "%s%n.bin", "100%");
    ASSERT_TRUE(recorder_.WaitFor("add", 3));
    const std::vector<Call> calls = recorder_.Calls();

    EXPECT_EQ(calls[0].code, StatisticsEvents::kContinued);
    EXPECT_EQ(calls[0].flag, 6);
    EXPECT_EQ(
        calls[0].body,
        ",\"DVersion\":\"1.8\",\"GameID\":\"G1\",\"AppVersion\":\"2.0\",\"GVersion\":\"3.1\","
        "\"Dchannel\":\"web\",\"Serverip\":\"\",\"Httpresult\":\"\",\"Totaltime\":\"0\",\"Intime\":\"0\","
        "\"Totalbytes\":\"0\",\"Intotalbytes\":\"0\",\"Averagespeed\":\"0\",\"Progress\":\"\","
        "\"Httptotalbytes\":\"0\",\"Inhttptotalbytes\":\"0\",\"Httpaveragespeed\":\"0\","
        "\"P2ptotalbytes\":\"0\",\"Inp2ptotalbytes\":\"0\",\"P2paveragespeed\":\"0\","
        "\"Corruptpakid\":\"0\",\"Filename\":\"\",\"Url\":\"\",\"Errormsg\":\"\"");

    EXPECT_EQ(calls[1].code, StatisticsEvents::kUserExit);
    EXPECT_EQ(calls[1].flag, -3);
    EXPECT_EQ(calls[1].body,
              ",\"DVersion\":\"1.8\",\"GameID\":\"G1\",\"AppVersion\":\"2.0\",\"GVersion\":\"3.1\","
              "\"Dchannel\":\"web\",\"Serverip\":\"10.0.0.1\",\"Httpresult\":\"206\",\"Totaltime\":\"12\","
              "\"Intime\":\"12\",\"Totalbytes\":\"5000000000\",\"Intotalbytes\":\"5000000000\","
              "\"Averagespeed\":\"300\",\"Progress\":\"55.5\",\"Httptotalbytes\":\"4000000000\","
              "\"Inhttptotalbytes\":\"4000000000\",\"Httpaveragespeed\":\"200\","
              "\"P2ptotalbytes\":\"1000000000\",\"Inp2ptotalbytes\":\"1000000000\","
              "\"P2paveragespeed\":\"100\",\"Corruptpakid\":\"7\",\"Filename\":\"pkg.bin\","
              "\"Url\":\"http://files.example/pkg.bin\",\"Errormsg\":\"none\"");

    EXPECT_EQ(calls[2].code, "11%s%n");
    EXPECT_EQ(calls[2].flag, 0);
    EXPECT_EQ(Member(calls[2].body, "Filename"), "%s%n.bin");
    EXPECT_EQ(Member(calls[2].body, "Errormsg"), "100%");
    EXPECT_EQ(Member(calls[2].body, "Intotalbytes"), "0");

    // Every queued code is written to the statistics log as it is.
    EXPECT_TRUE(Logged("[11030000]"));
    EXPECT_TRUE(Logged("[11%s%n]"));
    // The client was made once, for the statistics interface, and given the init string.
    std::lock_guard<std::mutex> g(recorder_.m);
    EXPECT_EQ(recorder_.factoryIds, std::vector<std::string>{kDataStatisticsInterfaceId});
    EXPECT_EQ(recorder_.configFiles, std::vector<std::string>{"stats.ini"});
}

TEST_F(DataUploadTest, DeltasCountFromTheLastNonZeroValue) {
    Collect();
    struct Step {
        uint64_t value;
        const char* delta;
    } steps[] = {
        {1000, "1000"},
        {1500, "500"},
        {1500, "0"},
        {0, "0"},
        {1700, "200"},
        {1200, "0"},
        {1300, "100"},
        // Beyond 32 bits nothing is cut off.
        {(1ULL << 40) + 1300, "1099511627776"},
    };
    for (const Step& s : steps)
        EngineReportTransfer(StatisticsEvents::kUserExit, "", "", static_cast<uint32_t>(s.value), s.value, 0,
                             "", s.value, 0, s.value, 0, 0, "", "", "", 0);
    ASSERT_TRUE(recorder_.WaitFor("add", std::size(steps)));
    const std::vector<Call> calls = recorder_.Calls();
    size_t i = 0;
    for (const Call& c : calls) {
        if (c.what != "add")
            continue;
        SCOPED_TRACE(i);
        const Step& s = steps[i++];
        EXPECT_EQ(Member(c.body, "Totalbytes"), std::to_string(s.value));
        EXPECT_EQ(Member(c.body, "Intotalbytes"), s.delta);
        EXPECT_EQ(Member(c.body, "Inhttptotalbytes"), s.delta);
        EXPECT_EQ(Member(c.body, "Inp2ptotalbytes"), s.delta);
        if (s.value < (1ULL << 32)) {
            EXPECT_EQ(Member(c.body, "Intime"), s.delta);
        }
    }
}

TEST_F(DataUploadTest, NothingIsSentUnlessTheClientIsReadyAndTheDownloadNamed) {
    struct Case {
        const char* name;
        bool factory;
        const char* statsInit;
        const char* gameId;
        const char* appVersion;
        const char* channel;
    } cases[] = {
        {"no client", false, "stats.ini", "G1", "2.0", "web"},
        {"no init string", true, nullptr, "G1", "2.0", "web"},
        {"empty game id", true, "stats.ini", "", "2.0", "web"},
        {"empty app version", true, "stats.ini", "G1", "", "web"},
        {"a null string keeps none", true, "stats.ini", "G1", "2.0", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetDataUploadForTests();
        if (c.factory)
            SetDataStatisticsFactory(&FakeFactory);
        CollectDataUpload(c.statsInit, c.gameId, c.appVersion, "3.1", c.channel);
        EXPECT_EQ(StatisticsSessionCode(), "");
        EngineReportEvent(StatisticsEvents::kContinued, "", 0);
        // Stopping drains whatever was queued, so anything queued would show now.
        StopDataUpload();
        EXPECT_EQ(recorder_.Calls().size(), 0u);
    }
    // The code is logged all the same: the thread ran.
    EXPECT_TRUE(Logged("[11030000]"));
}

TEST_F(DataUploadTest, ReportsOutsideTheThreadsLifeAreDropped) {
    EngineReportEvent("before", "", 0);
    Collect();
    EngineReportEvent("during", "", 0);
    // A record still queued when the thread is told to stop may stay unsent, so the pass
    // that carries this one is awaited first.
    ASSERT_TRUE(recorder_.WaitFor("submit", 1));
    EngineCloseServices();
    EXPECT_EQ(EngineLog(), nullptr);
    const std::vector<Call> closed = recorder_.Calls();
    ASSERT_EQ(closed.size(), 2u);
    EXPECT_EQ(closed[0].code, "during");
    EXPECT_EQ(closed[1].what, "submit");

    EngineReportEvent("after", "", 0);
    EngineCloseServices(); // a second close is harmless
    Collect();
    EngineReportEvent("again", "", 0);
    ASSERT_TRUE(recorder_.WaitFor("submit", 2));
    const std::vector<Call> calls = recorder_.Calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[2].code, "again");
    // The client outlives the thread: one factory call for both runs.
    std::lock_guard<std::mutex> g(recorder_.m);
    EXPECT_EQ(recorder_.factoryIds.size(), 1u);
}

TEST_F(DataUploadTest, OnePassIsOneBatchAndEmptyRecordsAreOnlyLogged) {
    Collect();
    // The first pass is a second away: these three make one batch.
    EngineReportEvent("a1", "", 0);
    EngineReportEvent("a2", "", 0);
    EngineReportEvent("a3", "", 0);
    ASSERT_TRUE(recorder_.WaitFor("submit", 1));
    // A pass of nothing but an empty code submits nothing.
    EngineReportEvent("", "", 0);
    EngineReportEvent(nullptr, nullptr, 0);
    const std::regex emptyLine(R"(\[TID : +[0-9]+\] \[Data Upload Failed with Empty Code Or Body\])");
    for (int i = 0; i < 100 && !Logged(emptyLine); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(Logged(emptyLine));
    EngineReportEvent("b1", "", 0);
    EngineReportEvent("b2", "", 0);
    ASSERT_TRUE(recorder_.WaitFor("submit", 2));
    StopDataUpload();

    std::string sequence;
    for (const Call& c : recorder_.Calls())
        sequence += (c.what == "add" ? c.code : std::string("|")) + " ";
    EXPECT_EQ(sequence, "a1 a2 a3 | b1 b2 | ");
}

TEST_F(DataUploadTest, SessionCodeFollowsMessageTexts) {
    platform::RecordingMessageSink sink;
    Collect();
    EXPECT_EQ(StatisticsSessionCode(), "0x0123ABCD, 0x4567EF89");
    EXPECT_EQ(EngineMessageBox(nullptr, "text", "caption", 0), 1);
    ASSERT_TRUE(sink.WaitFor(1, 5000));
    EXPECT_EQ(sink.messages()[0].text, "text\n\xA3\xA8"
                                       "0x0123ABCD, 0x4567EF89\xA3\xA9");

    // A code the client had not yet when the thread started is asked for again.
    ResetDataUploadForTests();
    SetDataStatisticsFactory(&FakeFactory);
    {
        std::lock_guard<std::mutex> g(recorder_.m);
        recorder_.sessionCode = "";
    }
    Collect();
    EXPECT_EQ(StatisticsSessionCode(), "");
    {
        std::lock_guard<std::mutex> g(recorder_.m);
        recorder_.sessionCode = "0xAAAA";
    }
    EXPECT_EQ(EngineMessageBox(nullptr, "late", "caption", 0), 1);
    ASSERT_TRUE(sink.WaitFor(2, 5000));
    EXPECT_EQ(sink.messages()[1].text, "late\n\xA3\xA8"
                                       "0xAAAA\xA3\xA9");
    EXPECT_EQ(StatisticsSessionCode(), "0xAAAA");

    // Without an upload thread there is no code to add.
    ResetDataUploadForTests();
    EXPECT_EQ(EngineMessageBox(nullptr, "plain", "caption", 0), 1);
    ASSERT_TRUE(sink.WaitFor(3, 5000));
    EXPECT_EQ(sink.messages()[2].text, "plain");
}

TEST_F(DataUploadTest, ConcurrentReportersAllArriveAndMayRaceTheClose) {
    Collect();
    constexpr int kThreads = 4;
    constexpr int kEach = 5;
    // Every value and every difference of two values is a multiple of this; a value
    // torn between two reports would not be.
    constexpr uint64_t kStep = (uint64_t{1} << 33) + 1;
    std::vector<std::thread> reporters;
    for (int t = 0; t < kThreads; ++t)
        reporters.emplace_back([t, kStep] {
            for (int i = 0; i < kEach; ++i) {
                const std::string code = "T" + std::to_string(t) + "-" + std::to_string(i);
                const uint64_t v = kStep * (t * kEach + i + 1);
                EngineReportTransfer(code.c_str(), "", "", 0, v, 0, "", v, 0, v, 0, 0, "", "", "", 0);
            }
        });
    for (std::thread& r : reporters)
        r.join();
    ASSERT_TRUE(recorder_.WaitFor("add", kThreads * kEach));
    std::map<std::string, int> seen;
    for (const Call& c : recorder_.Calls()) {
        if (c.what != "add")
            continue;
        ++seen[c.code];
        const uint64_t value = std::stoull(Member(c.body, "Totalbytes"));
        const uint64_t delta = std::stoull(Member(c.body, "Intotalbytes"));
        EXPECT_LE(delta, value);
        EXPECT_EQ(delta % kStep, 0u) << c.body;
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kEach));
    for (const auto& [code, n] : seen)
        EXPECT_EQ(n, 1) << code;

    // Reporters still at work while the services close: their records are either
    // handed over, left queued or dropped, never touched after the thread is gone.
    std::atomic<bool> done{false};
    reporters.clear();
    for (int t = 0; t < kThreads; ++t)
        reporters.emplace_back([&done] {
            while (!done.load()) {
                EngineReportEvent("late", "x", 0);
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            }
        });
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        if (round > 0)
            Collect();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EngineCloseServices();
        const size_t afterClose = recorder_.Calls().size();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(recorder_.Calls().size(), afterClose);
    }
    done.store(true);
    for (std::thread& r : reporters)
        r.join();
}

} // namespace
