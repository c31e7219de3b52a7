#include "engine/net/QHostResolver.h"
#include "engine/core/EngineLog.h"
#include "platform/DebugOutput.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

uint32_t A(const char* dotted) {
    return inet_addr(dotted);
}

HostAddress H(const char* dotted) {
    const uint32_t a = A(dotted);
    HostAddress h;
    std::memcpy(h.data(), &a, 4);
    return h;
}

TEST(QHostResolver, DottedAddressesAreReadLikeTheClassicParser) {
    struct Case {
        const char* text;
        bool ok;
        const char* expect;
    };
    const Case cases[] = {
        {"1.2.3.4", true, "1.2.3.4"},
        {"10.1", true, "10.0.0.1"},
        {"1.2.3", true, "1.2.0.3"},
        {"167772161", true, "10.0.0.1"},
        {"1.65536", true, "1.1.0.0"},
        {"0.0.0.0", true, "0.0.0.0"},
        {"256.1.1.1", false, nullptr},
        {"1.2.3.256", false, nullptr},
        {"1.16777216", false, nullptr},
        {"4294967296", false, nullptr},
        {"99999999999999999999", false, nullptr},
        {"1.2.3.4.5", false, nullptr},
        {"1..2", false, nullptr},
        {"1.2.3.4.", false, nullptr},
        {".1.2.3", false, nullptr},
        {"", false, nullptr},
        {"1.2.3.x", false, nullptr},
    };
    for (const Case& c : cases) {
        uint32_t address = 0x12345678;
        EXPECT_EQ(ParseDottedAddress(c.text, address), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(DottedText(address), c.expect) << c.text;
        }
    }
    uint32_t quad = 0;
    EXPECT_TRUE(ParseDottedQuad("203.0.113.9", quad));
    EXPECT_EQ(quad, A("203.0.113.9"));
    EXPECT_FALSE(ParseDottedQuad("10.1", quad));
    EXPECT_FALSE(ParseDottedQuad("1.2.3.256", quad));
}

TEST(QHostResolver, PrivateAddresses) {
    struct Case {
        const char* address;
        bool isPrivate;
    };
    const Case cases[] = {
        {"0.0.0.1", true},      {"6.255.255.255", true},  {"7.0.0.1", false},     {"10.20.30.40", true},
        {"11.0.0.1", false},    {"127.0.0.1", true},      {"126.0.0.1", false},   {"192.168.1.1", true},
        {"192.169.0.1", false}, {"169.254.9.9", true},    {"169.253.0.1", false}, {"172.15.255.255", false},
        {"172.16.0.1", true},   {"172.31.255.255", true}, {"172.32.0.1", false},  {"8.8.8.8", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsPrivateAddress(A(c.address)), c.isPrivate) << c.address;
}

TEST(QHostResolver, LocalAddressPrefersTheLastPublicOne) {
    EXPECT_EQ(ChooseLocalAddress(
                  {A("10.0.0.1"), A("203.0.113.1"), A("192.168.1.1"), A("198.51.100.7"), A("172.16.0.1")}),
              A("198.51.100.7"));
    EXPECT_EQ(ChooseLocalAddress({A("10.0.0.1"), A("192.168.1.1")}), A("192.168.1.1"));
    EXPECT_EQ(ChooseLocalAddress({}), 0u);
    // On this system the own name maps to a loopback address; the interfaces come first.
    const uint32_t local = GetLocalAddress();
    if (local != 0) {
        EXPECT_NE(ntohl(local) >> 24, 127u) << DottedText(local);
    }
}

// The resolver seams, with state shared with the resolver threads: a look-up that ends
// after its caller gave up may run after the test itself is over.
class Resolution : public ::testing::Test {
protected:
    struct Shared {
        std::mutex lock;
        std::vector<std::string> asked;
        std::vector<std::string> reports;
        int answer = 0;
        std::vector<HostAddress> addresses;
        int delayMs = 0;
        std::atomic<int> directCalls{0};
    };

    void SetUp() override {
        auto s = shared;
        oldResolver = SetHostResolver([s](const std::string& host, std::vector<HostAddress>& out) {
            int answer;
            int delay;
            {
                std::lock_guard<std::mutex> hold(s->lock);
                s->asked.push_back(host);
                answer = s->answer;
                delay = s->delayMs;
                out = s->addresses;
            }
            if (delay)
                std::this_thread::sleep_for(std::chrono::milliseconds(delay));
            return answer;
        });
        oldDirect =
            QHostResolver::SetDirectResolver([s](const std::string& host, std::vector<HostAddress>& out) {
                ++s->directCalls;
                std::lock_guard<std::mutex> hold(s->lock);
                out = s->addresses;
                return host == "gone.example" ? 11001 : s->answer;
            });
        oldSink = QHostResolver::SetReportSink([s](const char* code, const std::string& text) {
            std::lock_guard<std::mutex> hold(s->lock);
            s->reports.push_back(std::string(code) + "|" + text);
        });
        testsupport::WriteFile(dir.file("resolv.conf"),
                               "# generated\nsearch lan.example\nnameserver 10.0.0.53\n"
                               "options ndots:1\nnameserver   10.0.0.54  \n");
        oldConf = QHostResolver::SetResolvConfPath(dir.file("resolv.conf"));
        oldLimit = QHostResolver::SetTimeLimit(300);
        QHostResolver::Reset();
    }

    void TearDown() override {
        SetHostResolver(oldResolver);
        QHostResolver::SetDirectResolver(oldDirect);
        QHostResolver::SetReportSink(oldSink);
        QHostResolver::SetResolvConfPath(oldConf);
        QHostResolver::SetTimeLimit(oldLimit);
        QHostResolver::Reset();
    }

    void Answer(int code, std::vector<HostAddress> addresses = {}, int delayMs = 0) {
        std::lock_guard<std::mutex> hold(shared->lock);
        shared->answer = code;
        shared->addresses = std::move(addresses);
        shared->delayMs = delayMs;
    }
    std::vector<std::string> Reports() {
        std::lock_guard<std::mutex> hold(shared->lock);
        return shared->reports;
    }
    size_t Asked() {
        std::lock_guard<std::mutex> hold(shared->lock);
        return shared->asked.size();
    }

    std::shared_ptr<Shared> shared = std::make_shared<Shared>();
    testsupport::TempDir dir;
    HostResolver oldResolver;
    HostResolver oldDirect;
    QHostResolver::ReportSink oldSink;
    std::string oldConf;
    uint32_t oldLimit = 0;
};

TEST_F(Resolution, EveryAddressIsAppendedAndDottedNamesNeedNoLookUp) {
    Answer(0, {H("203.0.113.1"), H("203.0.113.2"), H("203.0.113.3")});
    std::vector<uint32_t> list = {A("1.1.1.1")};
    EXPECT_EQ(ResolveHostList("files.example", list), 3);
    EXPECT_EQ(list,
              (std::vector<uint32_t>{A("1.1.1.1"), A("203.0.113.1"), A("203.0.113.2"), A("203.0.113.3")}));

    list.clear();
    EXPECT_EQ(ResolveHostList("198.51.100.4", list), 1);
    EXPECT_EQ(list, std::vector<uint32_t>{A("198.51.100.4")});
    EXPECT_EQ(Asked(), 1u);
}

TEST_F(Resolution, DottedZeroIsAnInvalidAddressWithoutALookUp) {
    OpenEngineLog();
    auto lines = std::make_shared<std::vector<std::string>>();
    const platform::DebugSink old =
        platform::SetDebugSink([lines](std::string_view line) { lines->push_back(std::string(line)); });
    std::vector<uint32_t> list;
    EXPECT_EQ(ResolveHostList("0.0.0.0", list), 0);
    EXPECT_EQ(ResolveHostList("300.1.1.1", list), 0);
    platform::SetDebugSink(old);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(Asked(), 0u);
    EXPECT_TRUE(Reports().empty());
    // "无效 IP: 0.0.0.0" in the program's code page.
    bool logged = false;
    for (const std::string& line : *lines)
        logged = logged || line.find("\xce\xde\xd0\xa7 IP: 0.0.0.0") != std::string::npos;
    EXPECT_TRUE(logged);
}

TEST_F(Resolution, SlowLookUpGivesUpAtTheTimeLimit) {
    Answer(0, {H("203.0.113.1")}, 3000);
    std::vector<uint32_t> list;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ResolveHostList("slow.example", list), -1);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(250));
    EXPECT_LT(took, std::chrono::milliseconds(2000));
    EXPECT_TRUE(list.empty()) << "a late answer must not be written";
    EXPECT_FALSE(QHostResolver::InNegativeCache("slow.example")) << "a time-out says nothing about the name";
    ASSERT_EQ(Reports().size(), 1u);
    EXPECT_NE(Reports()[0].find("ErrCode : (10060) Host : (slow.example) "), std::string::npos);
}

TEST_F(Resolution, NamesThatDoNotExistAreCachedForResolveHost) {
    Answer(11001);
    std::vector<uint32_t> list;
    EXPECT_EQ(ResolveHostList("Gone.Example", list), -1);
    EXPECT_TRUE(QHostResolver::InNegativeCache("gone.example"));
    EXPECT_EQ(ResolveHost("gone.example"), kAddressNone);
    EXPECT_EQ(shared->directCalls.load(), 0) << "a cached failure needs no look-up";

    // "Try again" is not a verdict on the name.
    Answer(11002);
    EXPECT_EQ(ResolveHostList("flaky.example", list), -1);
    EXPECT_FALSE(QHostResolver::InNegativeCache("flaky.example"));

    // ResolveHost asks the resolver directly and caches what does not exist.
    Answer(0, {H("203.0.113.8"), H("203.0.113.9")});
    EXPECT_EQ(ResolveHost("3d.example"), A("203.0.113.8")) << "a name may start with a digit";
    EXPECT_EQ(ResolveHost("10.0.0.7"), A("10.0.0.7"));
    EXPECT_EQ(ResolveHost(""), kAddressNone);
    QHostResolver::Reset();
    EXPECT_EQ(ResolveHost("gone.example"), kAddressNone);
    EXPECT_TRUE(QHostResolver::InNegativeCache("gone.example"));
}

TEST_F(Resolution, OneReportPerRunOfFailuresWithTheNameServers) {
    std::vector<uint32_t> list;
    Answer(11001);
    EXPECT_EQ(ResolveHostList("gone.example", list), -1);
    EXPECT_EQ(ResolveHostList("other.example", list), -1);
    ASSERT_EQ(Reports().size(), 1u);
    EXPECT_EQ(Reports()[0], std::string(kEventHostLookupFailed) +
                                "|ErrCode : (11001) Host : (gone.example) , DNS : (10.0.0.53), "
                                "\xb1\xb8\xd3\xc3 DNS : (10.0.0.54)");

    Answer(0, {H("203.0.113.1")});
    EXPECT_EQ(ResolveHostList("files.example", list), 1);
    Answer(11004);
    EXPECT_EQ(ResolveHostList("empty.example", list), -1);
    ASSERT_EQ(Reports().size(), 2u) << "a success re-arms the report";
    EXPECT_NE(Reports()[1].find("ErrCode : (11004) Host : (empty.example) "), std::string::npos);
}

TEST(QHostResolver, ReportTextWithoutNameServersAndWithHostileNames) {
    EXPECT_EQ(QHostResolver::DnsReportText(11001, "gone.example", {}),
              "ErrCode : (11001) Host : (gone.example) , no DNS");
    // The text travels inside a JSON document unescaped.
    EXPECT_EQ(QHostResolver::DnsReportText(11001, "a\"b\\c\nd", {"10.0.0.1"}),
              "ErrCode : (11001) Host : (a?b?c?d) , DNS : (10.0.0.1)");

    testsupport::TempDir dir;
    testsupport::WriteFile(dir.file("resolv.conf"), "nameserver 10.0.0.1\nnameserver fe80::1%eth0\n"
                                                    "nameserver \"; echo\nnameserver\n");
    const std::string old = QHostResolver::SetResolvConfPath(dir.file("resolv.conf"));
    EXPECT_EQ(QHostResolver::DnsServers(), (std::vector<std::string>{"10.0.0.1", "fe80::1"}));
    QHostResolver::SetResolvConfPath(dir.file("missing"));
    EXPECT_TRUE(QHostResolver::DnsServers().empty());
    QHostResolver::SetResolvConfPath(old);
}

TEST_F(Resolution, OverlongOrEmptyNamesAreRefusedWithoutALookUp) {
    std::vector<uint32_t> list;
    EXPECT_EQ(ResolveHostList(std::string(300, 'a').c_str(), list), -1);
    EXPECT_EQ(ResolveHostList("", list), -1);
    EXPECT_EQ(ResolveHostList(nullptr, list), -1);
    EXPECT_EQ(Asked(), 0u);
}

} // namespace
