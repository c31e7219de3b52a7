#include "platform/ConnectionTable.h"

#include "support/LoopbackListener.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <sstream>
#include <unistd.h>

namespace {

using testsupport::TempDir;
using testsupport::WriteFile;

constexpr char kHeading[] =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
    "timeout inode\n";
constexpr char kHeading6[] =
    "  sl  local_address                         remote_address                        st "
    "tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n";

// One IPv4 table line: slot, local port, remote port.
std::string Line(int slot, unsigned localPort, unsigned remotePort) {
    char buf[200];
    std::snprintf(buf, sizeof buf,
                  "%4d: 0100007F:%04X 0100007F:%04X 01 00000000:00000000 00:00000000 00000000     0        0 "
                  "%d 1 0000000000000000 20 4 30 10 -1\n",
                  slot, localPort, remotePort, 10000 + slot);
    return buf;
}

std::string Line6(int slot, unsigned localPort) {
    char buf[300];
    std::snprintf(
        buf, sizeof buf,
        "%4d: 00000000000000000000000001000000:%04X 00000000000000000000000000000000:0000 0A "
        "00000000:00000000 00:00000000 00000000     0        0 %d 1 0000000000000000 100 0 0 10 0\n",
        slot, localPort, 20000 + slot);
    return buf;
}

// A table of count lines whose local ports are 30000 + slot, except slot at, whose
// local port is port.
std::string Table(int count, int at, unsigned port) {
    std::string text = kHeading;
    for (int i = 0; i < count; ++i)
        text += Line(i, i == at ? port : 30000 + static_cast<unsigned>(i), 80);
    return text;
}

class ConnectionTableTest : public ::testing::Test {
protected:
    std::string Write(const std::string& name, const std::string& text) {
        const std::string path = dir_.file(name);
        WriteFile(path, text);
        return path;
    }
    TempDir dir_;
};

TEST_F(ConnectionTableTest, EveryLineCounts) {
    const unsigned port = 45678;
    struct Case {
        const char* name;
        int at;
    } cases[] = {{"first", 0}, {"fiftieth", 49}, {"last", 99}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string table = Write(c.name, Table(100, c.at, port));
        EXPECT_TRUE(platform::IsLocalPortInUse(port, {table}));
        EXPECT_FALSE(platform::IsLocalPortInUse(port + 1, {table}));
    }
    // The ports of all lines, not only of one line per block read.
    const std::string big = Write("big", Table(2000, -1, 0));
    for (unsigned p : {30000u, 30001u, 30999u, 31999u})
        EXPECT_TRUE(platform::IsLocalPortInUse(static_cast<uint16_t>(p), {big})) << p;
    EXPECT_FALSE(platform::IsLocalPortInUse(32000, {big}));
}

TEST_F(ConnectionTableTest, ReadsEveryTableGiven) {
    const std::string v4 = Write("tcp", Table(3, -1, 0));
    const std::string v6 = Write("tcp6", std::string(kHeading6) + Line6(0, 8080) + Line6(1, 45001));
    EXPECT_TRUE(platform::IsLocalPortInUse(45001, {v4, v6}));
    EXPECT_TRUE(platform::IsLocalPortInUse(45001, {v6}));
    EXPECT_FALSE(platform::IsLocalPortInUse(45001, {v4}));
    // A table that cannot be read adds nothing and does not stop the others.
    EXPECT_TRUE(platform::IsLocalPortInUse(45001, {dir_.file("missing"), v6}));
}

TEST_F(ConnectionTableTest, OnlyTheLocalPortCounts) {
    const std::string table = Write("tcp", std::string(kHeading) + Line(0, 30000, 45002));
    EXPECT_FALSE(platform::IsLocalPortInUse(45002, {table})) << "a connection to a remote port 45002";
    EXPECT_TRUE(platform::IsLocalPortInUse(30000, {table}));
}

TEST_F(ConnectionTableTest, MalformedLinesAreSkipped) {
    // Local ports 0xAFC8.. = 45000..; a line cut after its local address still names
    // a local port, the others are broken before it.
    const std::string table =
        Write("tcp", std::string(kHeading) +
                         "   0: 0100007F:AFC8\n"
                         "   x: 0100007F:AFC9 0100007F:0050 01\n" +
                         "   1: 0100007F-AFCA 0100007F:0050 01\n" + "   2: 0100007F:AFC 0100007F:0050 01\n" +
                         "   3: 0100007F:AFCBX 0100007F:0050 01\n" + "   4: 01007F:AFCC 0100007F:0050 01\n" +
                         "   5: 0100007G:AFCD 0100007F:0050 01\n" + "   6:\n" + "\n" + "garbage\n" +
                         Line(7, 45010, 80));
    EXPECT_TRUE(platform::IsLocalPortInUse(45000, {table}));
    for (unsigned p : {45001u, 45002u, 45003u, 45004u, 45005u, 0xAFCu})
        EXPECT_FALSE(platform::IsLocalPortInUse(static_cast<uint16_t>(p), {table})) << p;
    EXPECT_TRUE(platform::IsLocalPortInUse(45010, {table}));
}

TEST(ConnectionTableSystemTest, SeesAListeningSocket) {
    const testsupport::LoopbackListener listener;
    ASSERT_NE(listener.port(), 0);
    EXPECT_TRUE(platform::IsLocalPortInUse(listener.port())) << listener.port();
}

// Whether the hosts file names this machine, so that looking its name up stays on the
// machine.
bool HostsFileNamesThisMachine() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return false;
    std::istringstream in(testsupport::ReadFile("/etc/hosts"));
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line.substr(0, line.find('#')));
        std::string word;
        words >> word; // the address
        while (words >> word)
            if (word == name)
                return true;
    }
    return false;
}

TEST(ConnectionTableSystemTest, HostAddressIsDottedText) {
    if (!HostsFileNamesThisMachine())
        GTEST_SKIP() << "the host name would be asked of a name server";
    std::string address;
    if (!platform::HostAddress(address))
        GTEST_SKIP() << "this machine's name does not resolve to an IPv4 address";
    in_addr parsed{};
    EXPECT_EQ(::inet_pton(AF_INET, address.c_str(), &parsed), 1) << address;
}

} // namespace
