#include "app/EmbeddedConfigBlock.h"
#include "app/ProgramVersion.h"
#include "platform/Paths.h"
#include "platform/ResourceArchive.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace {

using embedded::ConfigBlockLayout;
using embedded::EmbeddedConfigBlock;

TEST(EmbeddedConfigBlockTest, DecodeTextTable) {
    struct Case {
        std::string in;
        std::string out;
    } cases[] = {
        {"", ""},
        {"aHR0cA==", "http"},
        {"aHR0cDo=", "http:"},
        {"aHR0cDov", "http:/"},
        {"T3JsYW50YTEwLjEuMS43LnppcA==", "Orlanta10.1.1.7.zip"},
        // Not a multiple of four: nothing, whatever the characters.
        {"T3JsYW50YTEwL", ""},
        {"aHR0cA=", ""},
        // Outside the alphabet, or '=' where no fill belongs.
        {"aHR0c*==", ""},
        {"aH=0cA==", ""},
        {"aHR0cA==aHR0", ""},
        {"aHR0cA=A", ""},
        {"a===", ""},
        {"aHR0 A==", ""},
        // Decoded bytes are a text: they end at the first NUL.
        {"YQBi", "a"},
        {"AGFi", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(EmbeddedConfigBlock::DecodeText(c.in), c.out);
    }
}

TEST(EmbeddedConfigBlockTest, EncodeRoundTripAndTextLimit) {
    for (size_t n = 0; n < 40; ++n) {
        std::string plain;
        for (size_t i = 0; i < n; ++i)
            plain.push_back(static_cast<char>(0x80 + i * 13));
        const std::string encoded = EmbeddedConfigBlock::EncodeText(plain);
        EXPECT_EQ(encoded.size() % 4, 0u);
        std::string bytes;
        EXPECT_EQ(EmbeddedConfigBlock::DecodeBase64(encoded, bytes), n > 0);
        EXPECT_EQ(bytes, plain);
        EXPECT_EQ(EmbeddedConfigBlock::DecodeText(encoded), plain);
    }
    // A decoded text is cut to what a slot-sized buffer holds; the raw decoding is not.
    const std::string longText(5000, 'x');
    EXPECT_EQ(EmbeddedConfigBlock::DecodeText(EmbeddedConfigBlock::EncodeText(longText)),
              std::string(4095, 'x'));
    std::string bytes;
    ASSERT_TRUE(EmbeddedConfigBlock::DecodeBase64(EmbeddedConfigBlock::EncodeText(longText), bytes));
    EXPECT_EQ(bytes, longText);
}

TEST(EmbeddedConfigBlockTest, ShippedValues) {
    const EmbeddedConfigBlock& b = EmbeddedConfigBlock::Program();
    EXPECT_EQ(EmbeddedConfigBlock::DecodeText(b.TextSlot(0)),
              "https://res.brisklane.example/downloader/vmrResourceList20201127.xml");
    const char* const urls[] = {
        "http://dl.brisklane.example/orlanta_setup_10.1.1.7/orlanta_setup_10.1.1.7.exe",
        "http://dl.brisklane.example/orlanta_setup_10.1.1.7/Orlanta10.1.1.7.zip",
        "http://dl.brisklane.example/orlanta_setup_10.1.1.7/Orlanta10.1.1.701.cab",
        "http://dl.brisklane.example/Orlanta_Patch_10_1_1_6To10_1_1_7/Orlanta_Patch_10_1_1_6To10_1_1_7.exe",
    };
    const char* const names[] = {"orlanta_setup_10.1.1.7.exe", "Orlanta10.1.1.7.zip", "Orlanta10.1.1.701.cab",
                                 "Orlanta_Patch_10_1_1_6To10_1_1_7.exe"};
    const uint64_t sizes[] = {2984592, 1091775899, 3221225472, 974003864};
    const char* const digests[] = {"4fc4be0e5a4c8af692263ae9d1c8fa46", "1784ecb276cd2548c312097dcf60127e",
                                   "bd4d3a7f06519f3262cc5ec3128a8122", "e85079433e8ee5976962a6f3d7804b27"};
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(EmbeddedConfigBlock::DecodeText(b.TextSlot(1 + i)), urls[i]);
        EXPECT_EQ(EmbeddedConfigBlock::DecodeText(b.TextSlot(5 + i)), names[i]);
        EXPECT_EQ(b.ExpectedSize(i), sizes[i]);
        EXPECT_EQ(b.DigestSlot(i), digests[i]);
    }
    EXPECT_EQ(b.ProductKeySlot(), digests[0]);
    // Little-endian, as a tool writes them: 3221225472 = 0xC0000000.
    const uint8_t third[8] = {0x00, 0x00, 0x00, 0xC0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(b.layout().sizes[2], third, 8), 0);
    EXPECT_EQ(b.TextSlot(-1), "");
    EXPECT_EQ(b.TextSlot(9), "");
    EXPECT_EQ(b.DigestSlot(4), "");
    EXPECT_EQ(b.ExpectedSize(4), 0u);
}

TEST(EmbeddedConfigBlockTest, SlotsWithoutTerminatorStopAtTheSlot) {
    auto layout = std::make_unique<ConfigBlockLayout>();
    std::memset(layout.get(), 'A', sizeof *layout);
    const EmbeddedConfigBlock b(layout.get());
    EXPECT_EQ(b.TextSlot(8).size(), embedded::kSlotSize - 1);
    EXPECT_EQ(b.DigestSlot(3).size(), embedded::kSlotSize - 1);
    EXPECT_EQ(b.ProductKeySlot().size(), embedded::kSlotSize - 1);
}

// The block is one run of bytes in this very program file, found once, and it is what
// the program reads.
TEST(EmbeddedConfigBlockTest, FoundExactlyOnceInTheOwnProgramFile) {
    const std::string image = testsupport::ReadFile(platform::ProgramPath());
    ASSERT_FALSE(image.empty());
    const int64_t at = embedded::FindConfigBlock(image);
    ASSERT_GE(at, 0);
    EXPECT_EQ(
        std::memcmp(image.data() + at, &EmbeddedConfigBlock::Program().layout(), sizeof(ConfigBlockLayout)),
        0);
    EXPECT_EQ(image.find(embedded::Marker(), static_cast<size_t>(at) + 1), std::string::npos);
}

TEST(EmbeddedConfigBlockTest, FindConfigBlockInImages) {
    const std::string marker(embedded::Marker());
    const std::string block(sizeof(ConfigBlockLayout) - marker.size(), '\0');
    EXPECT_EQ(embedded::FindConfigBlock(""), -1);
    EXPECT_EQ(embedded::FindConfigBlock(std::string(100000, 'x')), -1);
    EXPECT_EQ(embedded::FindConfigBlock("abc" + marker + block), 3);
    EXPECT_EQ(embedded::FindConfigBlock("abc" + marker + block + "tail"), 3);
    // Cut short: the marker is there, the block is not whole.
    EXPECT_EQ(embedded::FindConfigBlock("abc" + marker + block.substr(1)), -1);
    // Twice: no telling which one the program reads.
    EXPECT_EQ(embedded::FindConfigBlock(marker + block + marker + block), -1);
}

TEST(ProgramVersionTest, ParseTable) {
    struct Case {
        const char* text;
        bool ok;
        const char* formatted;
    } cases[] = {
        {"1.2.3.4", true, "1.2.3.4"},
        {"0.0.0.0", true, "0.0.0.0"},
        {"65535.65535.65535.65535", true, "65535.65535.65535.65535"},
        {"010.001.0.7", true, "10.1.0.7"},
        {"1.2.3", false, nullptr},
        {"1.2.3.4.5", false, nullptr},
        {"1.2.3.65536", false, nullptr},
        {"1.2.3.4294967297", false, nullptr},
        {"1..3.4", false, nullptr},
        {"1.2.3.4 ", false, nullptr},
        {" 1.2.3.4", false, nullptr},
        {"1.-2.3.4", false, nullptr},
        {"a.b.c.d", false, nullptr},
        {"", false, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        uint16_t parts[4] = {9, 9, 9, 9};
        ASSERT_EQ(ProgramVersion::Parse(c.text, parts), c.ok);
        if (c.ok) {
            EXPECT_EQ(ProgramVersion::Format(parts), c.formatted);
        } else {
            EXPECT_EQ(parts[0], 9);
        }
    }
}

TEST(ProgramVersionTest, FromResources) {
    platform::ResourceArchive archive;
    EXPECT_EQ(ProgramVersion::FromResources(archive), "1.0.3");
    archive.Put({"VERSION", 1, platform::kLanguageChineseSimplified, "2.00.3.4"});
    EXPECT_EQ(ProgramVersion::FromResources(archive), "2.0.3.4");
    archive.Put({"VERSION", 1, platform::kLanguageChineseSimplified, "2.0.3"});
    EXPECT_EQ(ProgramVersion::FromResources(archive), "1.0.3");
    // The test program carries no resources.
    EXPECT_EQ(ProgramVersion::Text(), "1.0.3");
}

} // namespace
