#include "app/DisplayFormat.h"
#include "app/ControllerTexts.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(DisplayFormatTest, SizesSwitchUnitAtEachPowerOf1024AndRound) {
    const struct {
        uint64_t bytes;
        const char* text;
    } cases[] = {
        {0, ""},
        {1, "1 B"},
        {1023, "1023 B"},
        {1024, "1.0 KB"},
        {1536, "1.5 KB"},
        {1048575, "1024.0 KB"},
        {1048576, "1.0 MB"},
        {1073741823, "1024.0 MB"},
        {1073741824, "1.0 GB"},
        {3221225472ull, "3.0 GB"},
        {5289989827ull, "4.9 GB"},
        {1099511627776ull, "1.0 TB"},
        {UINT64_MAX, "16777216.0 TB"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DisplayFormat::Size(c.bytes), c.text) << c.bytes;
}

TEST(DisplayFormatTest, SpeedsAndTheUnknownMark) {
    const struct {
        uint32_t speed;
        std::string text;
    } cases[] = {
        {0, "0 B/s"},
        {1023, "1023 B/s"},
        {1024, "1.0 KB/s"},
        {1048575, "1024.0 KB/s"},
        {1048576, "1.0 MB/s"},
        {1073741824, "1.0 GB/s"},
        {0xCCCCCCCBu, "3.2 GB/s"},
        {0xCCCCCCCCu, texts::kSpeedUnknown},
        {0xFFFFFFFFu, texts::kSpeedUnknown},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DisplayFormat::Speed(c.speed), c.text) << c.speed;
}

TEST(DisplayFormatTest, PercentsInHundredths) {
    const struct {
        uint32_t p;
        const char* text;
    } cases[] = {
        {0, "0%"},        {5, "0.05%"},     {100, "1%"},     {1234, "12.34%"},
        {9950, "99.50%"}, {9999, "99.99%"}, {10000, "100%"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DisplayFormat::Percent(c.p), c.text) << c.p;
}

TEST(DisplayFormatTest, TextQueryConvention) {
    char buf[8];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(DisplayFormat::CopyText("abcd", nullptr, nullptr), 4);
    int cap = 4; // no room for the terminator
    EXPECT_EQ(DisplayFormat::CopyText("abcd", buf, &cap), 0);
    EXPECT_EQ(buf[0], 'x') << "a refused copy must leave the buffer alone";
    EXPECT_EQ(DisplayFormat::CopyText("abcd", buf, nullptr), 0);
    cap = 5;
    EXPECT_EQ(DisplayFormat::CopyText("abcd", buf, &cap), 4);
    EXPECT_STREQ(buf, "abcd");
    cap = 1;
    EXPECT_EQ(DisplayFormat::CopyText("", buf, &cap), 0);
    EXPECT_STREQ(buf, "");
}

} // namespace
