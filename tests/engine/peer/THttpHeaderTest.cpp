#include "engine/peer/THttpHeader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct BlockCase {
    const char* what;
    std::string block; // the header block, or the incomplete start of one
    bool complete;
    int status;
    std::string version;
    std::string reason;
    std::vector<std::string> lines;
};

TEST(THttpHeader, FindsTheEndOfTheBlockAndTakesTheStatusLineApart) {
    const std::vector<BlockCase> cases = {
        {"CRLF lines",
         "HTTP/1.1 206 Partial Content\r\nContent-Length: 5\r\n\r\n",
         true,
         206,
         "1.1",
         "Partial Content",
         {"Content-Length: 5"}},
        {"bare LF lines", "HTTP/1.0 200 OK\nA: 1\nB: 2\n\n", true, 200, "1.0", "OK", {"A: 1", "B: 2"}},
        {"LF then CRLF", "HTTP/1.1 404 Not Found\nX: y\r\n\r\n", true, 404, "1.1", "Not Found", {"X: y"}},
        {"no reason", "HTTP/1.1 302\r\nLocation: /a\r\n\r\n", true, 302, "1.1", "", {"Location: /a"}},
        {"HTTP without a version", "HTTP 500 Oops\r\n\r\n", true, 500, "1.0", "Oops", {}},
        {"a one-digit version", "HTTP/2 200 x\r\n\r\n", true, 200, "2", "x", {}},
        {"status not a number", "HTTP/1.1 abc\r\n\r\n", true, 0, "1.1", "", {}},
        {"a status too long to be one", "HTTP/1.1 99999999999999999999 x\r\n\r\n", true, 0, "1.1", "x", {}},
        {"no status line, first line a field",
         "Server: x\r\nA: b\r\n\r\n",
         true,
         0,
         "1.0",
         "",
         {"Server: x", "A: b"}},
        {"no status line, first line garbage", "garbage\r\nA: b\r\n\r\n", true, 0, "1.0", "", {"A: b"}},
        {"an empty block", "\r\n\r\n", true, 0, "1.0", "", {}},
        {"one line feed too few", "HTTP/1.1 200 OK\r\nA: b\r\n", false, 0, "", "", {}},
        {"the last LF still missing", "HTTP/1.1 200 OK\r\nA: b\r\n\r", false, 0, "", "", {}},
        {"a NUL byte inside a line",
         std::string("HTTP/1.1 200 OK\r\nX: a\0b\r\n\r\n", 27),
         true,
         200,
         "1.1",
         "OK",
         {std::string("X: a\0b", 6)}},
    };
    // What follows the block, body bytes with line ends of their own, is not part of it.
    const std::string body = "BODY\r\n\r\nmore";
    for (const BlockCase& c : cases) {
        THttpHeader h;
        const std::string bytes = c.complete ? c.block + body : c.block;
        EXPECT_EQ(h.Parse(bytes.data(), bytes.size()), c.complete ? c.block.size() : 0u) << c.what;
        if (!c.complete)
            continue;
        EXPECT_EQ(h.Status(), c.status) << c.what;
        EXPECT_EQ(h.Version(), c.version) << c.what;
        EXPECT_EQ(h.Reason(), c.reason) << c.what;
        EXPECT_EQ(h.Lines(), c.lines) << c.what;
    }
}

TEST(THttpHeader, AnIncompleteBlockLeavesThePreviousHeaderAlone) {
    THttpHeader h;
    const std::string first = "HTTP/1.1 200 OK\r\nA: 1\r\n\r\n";
    ASSERT_EQ(h.Parse(first.data(), first.size()), first.size());
    const std::string partial = "HTTP/1.1 500 Bad\r\nB: 2\r\n";
    EXPECT_EQ(h.Parse(partial.data(), partial.size()), 0u);
    EXPECT_EQ(h.Status(), 200);
    EXPECT_EQ(h.GetField("A"), "1");
    EXPECT_EQ(h.Parse(nullptr, 10), 0u);

    h.Clear();
    EXPECT_EQ(h.Status(), 0);
    EXPECT_EQ(h.Version(), "1.0");
    EXPECT_TRUE(h.Lines().empty());
}

TEST(THttpHeader, FieldsMatchByNameWithBlanksAroundTheColon) {
    const std::string text = "HTTP/1.1 200 OK\r\n"
                             "content-length: 42\r\n"
                             "Content-Range \t:  bytes 0-9/10  \r\n"
                             "Content-LengthX: 7\r\n"
                             "Location:http://a/b:c\r\n"
                             "Empty:\r\n"
                             "Twice: first\r\n"
                             "Twice: second\r\n"
                             "\r\n";
    THttpHeader h;
    ASSERT_EQ(h.Parse(text.data(), text.size()), text.size());
    struct FieldCase {
        const char* name;
        bool present;
        std::string value;
    };
    const std::vector<FieldCase> cases = {
        {"Content-Length", true, "42"},          // case ignored
        {"Content-Range", true, "bytes 0-9/10"}, // blanks before the colon and around the value
        {"Location", true, "http://a/b:c"},      // the value starts after the first colon
        {"Empty", true, ""},
        {"Twice", true, "first"},
        {"Content", false, ""}, // a prefix of a name is not the name
        {"Missing", false, ""},
    };
    for (const FieldCase& c : cases) {
        EXPECT_EQ(h.HasField(c.name), c.present) << c.name;
        EXPECT_EQ(h.GetField(c.name), c.value) << c.name;
    }

    h.SetCaseSensitive(true);
    EXPECT_FALSE(h.HasField("Content-Length"));
    EXPECT_EQ(h.GetField("content-length"), "42");
}

TEST(THttpHeader, AHugeBlockParsesWithoutTrouble) {
    std::string text = "HTTP/1.1 200 OK\r\n";
    for (int i = 0; i < 5000; ++i)
        text += "X-" + std::to_string(i) + ": " + std::string(20, 'v') + "\r\n";
    text += "\r\n";
    THttpHeader h;
    EXPECT_EQ(h.Parse(text.data(), text.size()), text.size());
    EXPECT_EQ(h.Lines().size(), 5000u);
    EXPECT_EQ(h.GetField("X-4999"), std::string(20, 'v'));
}

} // namespace
