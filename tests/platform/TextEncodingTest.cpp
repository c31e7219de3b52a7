#include "platform/TextEncoding.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

using namespace platform;

// Messages as the program stores them, GBK bytes beside the same text in UTF-8.
struct Sample {
    const char* gbk;
    const char* utf8;
};

const Sample kSamples[] = {
    {"\xCF\xC2\xD4\xD8\xC6\xF4\xB6\xAF\xCA\xA7\xB0\xDC\xC7\xEB\xD6\xD8\xCA\xD4", "下载启动失败请重试"},
    {"Vellmar\xCF\xC2\xD4\xD8\xC6\xF7", "Vellmar下载器"},
    // Full-width punctuation, and the euro sign that code page 936 keeps at 0x80.
    {"\xB5\xB1\xC7\xB0\xB4\xC5\xC5\xCC\xA3\xAC\xC7\xEB\xA1\xA3 \x80", "当前磁盘，请。 €"},
    // Second bytes in the ASCII range must not be read as ASCII.
    {"\x81\x41\x81\x61\x81\x5D", "丄乤乚"},
};

TEST(TextEncoding, GbkRoundTripsThroughEveryForm) {
    for (const Sample& s : kSamples) {
        SCOPED_TRACE(s.utf8);
        EXPECT_EQ(GbkToUtf8(s.gbk), s.utf8);
        EXPECT_EQ(Utf8ToGbk(s.utf8), s.gbk);

        std::u16string utf16 = GbkToUtf16(s.gbk);
        EXPECT_EQ(Utf16ToGbk(utf16), s.gbk);
        std::wstring wide = GbkToWide(s.gbk);
        EXPECT_EQ(WideToGbk(wide), s.gbk);
        EXPECT_EQ(utf16.size(), wide.size()); // all inside the basic plane
    }
    EXPECT_EQ(GbkToUtf16("\xCF\xC2\xD4\xD8"), u"下载");
    EXPECT_EQ(GbkToWide("\xCF\xC2\xD4\xD8"), L"下载");
}

TEST(TextEncoding, EmptyInputGivesEmptyOutput) {
    EXPECT_EQ(GbkToUtf8(""), "");
    EXPECT_EQ(Utf8ToGbk(""), "");
    EXPECT_EQ(GbkToUtf16(""), u"");
    EXPECT_EQ(Utf16ToGbk(u""), "");
    EXPECT_EQ(GbkToWide(""), L"");
    EXPECT_EQ(WideToGbk(L""), "");
}

TEST(TextEncoding, InvalidGbkBytesBecomeQuestionMarks) {
    struct Case {
        std::string gbk;
        std::string utf8;
    };
    const Case cases[] = {
        {"\xCF", "?"},                                    // lead byte cut off by the end
        {"ab\xCF", "ab?"},                                //
        {"\xCF\x30z", "?0z"},                             // a bad second byte is kept as itself
        {"\xFF\xCF\xC2", "?下"},                          // never a lead byte
        {"\xA1\x40x", "?@x"},                             // unassigned pair
        {std::string("a\0b", 3), std::string("a\0b", 3)}, // NUL passes through
        {"\xCF\xC2\xFF\xD4\xD8", "下?载"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.utf8);
        EXPECT_EQ(GbkToUtf8(c.gbk), c.utf8);
    }
    EXPECT_EQ(GbkToUtf16("\xCF\x30"), u"?0");
    EXPECT_EQ(GbkToWide("x\xFF"), L"x?");
}

TEST(TextEncoding, CharactersGbkLacksBecomeQuestionMarks) {
    // Hangul and an emoji (outside the basic plane: a surrogate pair in UTF-16).
    EXPECT_EQ(Utf8ToGbk("下한载😀!"), "\xCF\xC2?\xD4\xD8?!");
    EXPECT_EQ(Utf16ToGbk(u"下한载😀!"), "\xCF\xC2?\xD4\xD8?!");
    EXPECT_EQ(WideToGbk(L"下한载😀!"), "\xCF\xC2?\xD4\xD8?!");
}

TEST(TextEncoding, InvalidUnicodeInputBecomesQuestionMarks) {
    EXPECT_EQ(Utf8ToGbk("a\xC3"), "a?"); // cut-off sequence
    EXPECT_EQ(Utf8ToGbk("a\x80"
                        "b"),
              "a?b"); // stray continuation byte
    EXPECT_EQ(Utf8ToGbk("\xE4\xB8"
                        "b"),
              "??b"); // two bytes of a three-byte character
    EXPECT_EQ(Utf8ToGbk("\xED\xA0\x80"
                        "x"),
              "???x"); // encoded surrogate
    EXPECT_EQ(Utf16ToGbk(std::u16string(u"a") + char16_t(0xD800) + u"b"), "a?b");
    EXPECT_EQ(Utf16ToGbk(std::u16string(u"a") + char16_t(0xDC00)), "a?");
    EXPECT_EQ(WideToGbk(std::wstring(L"a") + wchar_t(0x110000) + L"b"), "a?b");
    EXPECT_EQ(WideToGbk(std::wstring(L"a") + wchar_t(0xD800) + L"b"), "a?b");
}

TEST(TextEncoding, LongTextIsConvertedWhole) {
    // Longer than any internal buffer, with a bad byte deep inside.
    std::string gbk;
    std::string utf8;
    for (int i = 0; i < 5000; ++i) {
        gbk += "\xCF\xC2"
               "a";
        utf8 += "下a";
    }
    gbk += "\xFF";
    utf8 += "?";
    EXPECT_EQ(GbkToUtf8(gbk), utf8);
    EXPECT_EQ(Utf8ToGbk(utf8), gbk.substr(0, gbk.size() - 1) + "?");
}

TEST(TextEncoding, ConvertsOnManyThreadsAtOnce) {
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < 200; ++i)
                for (const Sample& s : kSamples)
                    if (GbkToUtf8(s.gbk) != s.utf8 || Utf8ToGbk(s.utf8) != s.gbk)
                        ++failures[t];
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}

TEST(ConvertEncoding, BetweenNamedEncodings) {
    std::string out;
    ASSERT_TRUE(ConvertEncoding("下載", "UTF-8", "BIG5", out));
    EXPECT_EQ(out, "\xA4\x55\xB8\xFC");
    std::string back;
    ASSERT_TRUE(ConvertEncoding(out, "BIG5", "UTF-8", back));
    EXPECT_EQ(back, "下載");

    ASSERT_TRUE(ConvertEncoding("\xCF\xC2\xD4\xD8", "GBK", "UTF-16LE", out));
    EXPECT_EQ(out, std::string("\x0B\x4E\x7D\x8F", 4));

    ASSERT_TRUE(ConvertEncoding("", "GBK", "UTF-8", out));
    EXPECT_EQ(out, "");
}

TEST(ConvertEncoding, CharactersTheTargetLacksBecomeItsQuestionMark) {
    std::string out;
    ASSERT_TRUE(ConvertEncoding("a한b", "UTF-8", "GBK", out));
    EXPECT_EQ(out, "a?b");
    // In a stateful target the '?' must come out in the right shift state.
    ASSERT_TRUE(ConvertEncoding("日한本", "UTF-8", "ISO-2022-JP", out));
    std::string back;
    ASSERT_TRUE(ConvertEncoding(out, "ISO-2022-JP", "UTF-8", back));
    EXPECT_EQ(back, "日?本");
}

TEST(ConvertEncoding, FailsAndLeavesOutputEmpty) {
    struct Case {
        const char* in;
        const char* from;
        const char* to;
    };
    const Case cases[] = {
        {"abc", "NO-SUCH-ENCODING", "UTF-8"},
        {"abc", "UTF-8", "NO-SUCH-ENCODING"},
        {"", "NO-SUCH-ENCODING", "UTF-8"},
        {"ab\xCF\x30", "GBK", "UTF-8"}, // invalid pair
        {"ab\xCF", "GBK", "UTF-8"},     // cut off
        {"a\xC3", "UTF-8", "GBK"},
        {"abc", nullptr, "UTF-8"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        std::string out = "stale";
        EXPECT_FALSE(ConvertEncoding(c.in, c.from, c.to, out));
        EXPECT_EQ(out, "");
    }
}

} // namespace
