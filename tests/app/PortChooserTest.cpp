#include "app/PortChooser.h"

#include "app/ControllerTexts.h"
#include "app/StatisticsEvents.h"
#include "engine/core/EngineLog.h"
#include "platform/DebugOutput.h"

#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr int kExcluded[] = {40412, 40421, 40422, 40423, 40426, 43958, 44444, 47262};

struct RecordedEvent {
    std::string code, message;
    int32_t flag;
    bool operator==(const RecordedEvent&) const = default;
};

class RecordingEvents : public EventReporter {
public:
    void Event(const std::string& code, const std::string& message, int32_t flag) override {
        events.push_back({code, message, flag});
    }
    std::vector<RecordedEvent> events;
};

// Runs the choice with scripted probes and keeps what it asked, reported and logged.
class PortChooserTest : public ::testing::Test {
protected:
    void SetUp() override {
        OpenEngineLog();
        previous_ = platform::SetDebugSink([this](std::string_view line) {
            std::lock_guard<std::mutex> g(m_);
            lines_.emplace_back(line);
        });
    }
    void TearDown() override { platform::SetDebugSink(previous_); }

    // start: the random starting point (40000..49999).
    int Choose(int start, const std::set<int>& busy, const char* address = "192.168.1.20") {
        PortChooser::Probes probes;
        probes.seed = [start] { return static_cast<unsigned>(start - 40000 + 10000 * 7); };
        probes.portInUse = [this, busy](int port) {
            probed_.push_back(port);
            return busy.count(port) != 0;
        };
        probes.hostAddress = [address](std::string& out) {
            if (!address)
                return false;
            out = address;
            return true;
        };
        PortChooser chooser(probes);
        chooser.SetEventReporter(events_);
        if (mapping_)
            chooser.SetPortMapping(*mapping_);
        return chooser.ChoosePortAndForward();
    }
    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> g(m_);
        return lines_;
    }
    bool Logged(const std::string& text) {
        for (const std::string& line : Lines())
            if (line.find("] [" + text + "]") != std::string::npos)
                return true;
        return false;
    }

    std::vector<int> probed_;
    RecordingEvents events_;
    IPortMapping* mapping_ = nullptr;
    std::mutex m_;
    std::vector<std::string> lines_;
    platform::DebugSink previous_;
};

std::set<int> Range(int from, int to) {
    std::set<int> ports;
    for (int p = from; p <= to; ++p)
        ports.insert(p);
    return ports;
}

TEST_F(PortChooserTest, FirstFreePortAfterTheStart) {
    struct Case {
        int start;
        std::set<int> busy;
        int expected;
    } cases[] = {
        {40000, {}, 40001},
        {45000, {}, 45001},
        {40411, {}, 40413}, // the port after the start is excluded
        {40420, {}, 40424}, // three excluded in a row
        {40425, {}, 40427},
        {49999, {}, 50000}, // the top of the range is a port too
        {45000, Range(45001, 45010), 45011},
        {40413, Range(40414, 40420), 40424}, // a busy run that ends at excluded ports
        {44440, Range(44441, 44443), 44445},
        {49990, Range(49991, 50000), 40000}, // wraps to the bottom
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.start);
        probed_.clear();
        EXPECT_EQ(Choose(c.start, c.busy), c.expected);
        for (int port : probed_) {
            EXPECT_FALSE(PortChooser::IsExcludedPort(port)) << port;
            EXPECT_TRUE(port >= 40000 && port <= 50000) << port;
        }
    }
}

TEST_F(PortChooserTest, WrapsPastTheTopAndGoesOnFromTheBottom) {
    std::set<int> busy = Range(49991, 50000);
    for (int p : Range(40000, 40004))
        busy.insert(p);
    EXPECT_EQ(Choose(49990, busy), 40005);
    const std::vector<int> tail(probed_.end() - 6, probed_.end());
    EXPECT_EQ(tail, (std::vector<int>{40000, 40001, 40002, 40003, 40004, 40005}));
    EXPECT_EQ(probed_.front(), 49991);
}

TEST_F(PortChooserTest, AllBusyEndsAfterOneRoundWithoutAPort) {
    const std::set<int> all = Range(39000, 51000);
    const int expectedProbes = 10001 - static_cast<int>(std::size(kExcluded));
    for (int start : {40000, 40411, 40420, 45000, 47261, 49999}) {
        SCOPED_TRACE(start);
        probed_.clear();
        EXPECT_EQ(Choose(start, all), 0);
        EXPECT_EQ(static_cast<int>(probed_.size()), expectedProbes);
        EXPECT_EQ(std::set<int>(probed_.begin(), probed_.end()).size(), probed_.size())
            << "a port asked twice";
    }
    EXPECT_TRUE(Logged(texts::kUpnpNoPort));
    const RecordedEvent noPort{StatisticsEvents::kPortMappingFailed, texts::kUpnpNoPort, 0};
    EXPECT_EQ(events_.events, std::vector<RecordedEvent>(6, noPort)) << "one event per attempt, nothing else";
}

TEST_F(PortChooserTest, NoHostAddressGivesNoPort) {
    EXPECT_EQ(Choose(45000, {}, nullptr), 0);
    EXPECT_TRUE(Logged(texts::kUpnpNoLocalIp));
    EXPECT_EQ(events_.events,
              (std::vector<RecordedEvent>{{StatisticsEvents::kPortMappingFailed, texts::kUpnpNoLocalIp, 0}}));
}

TEST_F(PortChooserTest, PublicAddressNeedsNoMapping) {
    struct RefusingMapping : IPortMapping {
        int StartMapping(int, const std::string&) override {
            ++calls;
            return 0;
        }
        int calls = 0;
    } mapping;
    mapping_ = &mapping;
    EXPECT_EQ(Choose(45000, {}, "203.0.113.7"), 45001);
    const std::string text = std::string(texts::kUpnpNotNeeded) + "203.0.113.7";
    EXPECT_TRUE(Logged(text));
    EXPECT_EQ(events_.events,
              (std::vector<RecordedEvent>{{StatisticsEvents::kPortMappingNotNeeded, text, 0}}));
    EXPECT_EQ(mapping.calls, 0);
}

TEST_F(PortChooserTest, PrivateAddressGoesToTheMapping) {
    // Without a mapping the port is used as chosen, and nothing is reported.
    EXPECT_EQ(Choose(45000, {}, "192.168.1.20"), 45001);
    for (const char* text : {texts::kUpnpNoPort, texts::kUpnpNoLocalIp, texts::kUpnpNotNeeded})
        EXPECT_FALSE(Logged(text));
    EXPECT_TRUE(events_.events.empty());

    struct RecordingMapping : IPortMapping {
        int StartMapping(int port, const std::string& address) override {
            asked = std::to_string(port) + "@" + address;
            return answer;
        }
        std::string asked;
        int answer = 0;
    } mapping;
    mapping_ = &mapping;
    EXPECT_EQ(Choose(45000, {}, "10.1.2.3"), 0) << "the mapping's failure is the chooser's answer";
    EXPECT_EQ(mapping.asked, "45001@10.1.2.3");
    mapping.answer = 45001;
    EXPECT_EQ(Choose(45000, {}, "10.1.2.3"), 45001);
}

TEST_F(PortChooserTest, DefaultProbesChooseAFreePortInTheRange) {
    // The machine's own connection tables and a start drawn from the clock; only the
    // address is given, so that no name server is asked.
    PortChooser::Probes probes;
    probes.hostAddress = [](std::string& out) {
        out = "127.0.0.1";
        return true;
    };
    PortChooser chooser(probes);
    const int port = chooser.ChoosePortAndForward();
    EXPECT_GE(port, 40000);
    EXPECT_LE(port, 50000);
    EXPECT_FALSE(PortChooser::IsExcludedPort(port));
}

TEST(PortChooserRulesTest, ExcludedPorts) {
    for (int port : kExcluded)
        EXPECT_TRUE(PortChooser::IsExcludedPort(port)) << port;
    for (int port : {40000, 40411, 40413, 40420, 40424, 40425, 40427, 44443, 50000})
        EXPECT_FALSE(PortChooser::IsExcludedPort(port)) << port;
}

TEST(PortChooserRulesTest, LocalNetworkAddresses) {
    const std::pair<const char*, bool> cases[] = {
        {"0.0.0.0", true},         {"5.1.2.3", true},
        {"6.255.255.255", true},   {"7.0.0.1", false},
        {"10.0.0.1", true},        {"11.0.0.1", false},
        {"127.0.1.1", true},       {"128.0.0.1", false},
        {"192.168.0.1", true},     {"192.169.0.1", false},
        {"192.167.0.1", false},    {"169.254.10.10", true},
        {"169.253.0.1", false},    {"172.15.255.255", false},
        {"172.16.0.0", true},      {"172.31.255.255", true},
        {"172.32.0.1", false},     {"203.0.113.7", false},
        {"8.8.8.8", false},        {"", false},
        {"not an address", false},
    };
    for (const auto& [address, local] : cases)
        EXPECT_EQ(PortChooser::IsLocalNetworkAddress(address), local) << address;
}

} // namespace
