#include "app/ControllerConfig.h"
#include "app/EmbeddedConfigBlock.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

namespace {

using embedded::ConfigBlockLayout;
using embedded::EmbeddedConfigBlock;

void PutText(char (&slot)[embedded::kSlotSize], const std::string& text) {
    std::memset(slot, 0, sizeof slot);
    std::memcpy(slot, text.data(), text.size());
}

TEST(ControllerConfigTest, BlockSlotsLandInTheirFields) {
    auto layout = std::make_unique<ConfigBlockLayout>();
    std::memset(layout.get(), 0, sizeof *layout);
    PutText(layout->text[0], EmbeddedConfigBlock::EncodeText("https://list.example/l.xml"));
    for (int i = 0; i < 4; ++i) {
        PutText(layout->text[1 + i],
                EmbeddedConfigBlock::EncodeText("http://pkg.example/f" + std::to_string(i)));
        PutText(layout->text[5 + i], EmbeddedConfigBlock::EncodeText("file" + std::to_string(i) + ".bin"));
        PutText(layout->digest[i], std::string(31, 'c') + std::to_string(i));
        const uint64_t size = 0x100000000ull * (i + 1) + 7;
        for (int b = 0; b < 8; ++b)
            layout->sizes[i][b] = static_cast<uint8_t>(size >> (8 * b));
    }
    // A slot whose text is not Base64 of a whole number of quads reads as empty.
    PutText(layout->text[7], "T3JsYW50YTEwL");

    const ControllerConfig c = ControllerConfig::FromBlock(EmbeddedConfigBlock(layout.get()));
    EXPECT_EQ(c.resourceListUrl, "https://list.example/l.xml");
    EXPECT_EQ(c.productKey, std::string(31, 'c') + "0");
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(c.packageUrls[i], "http://pkg.example/f" + std::to_string(i));
        EXPECT_EQ(c.fileNames[i], i == 2 ? "" : "file" + std::to_string(i) + ".bin");
        EXPECT_EQ(c.expectedMd5[i], std::string(31, 'c') + std::to_string(i));
        EXPECT_EQ(c.expectedSizes[i], 0x100000000ull * (i + 1) + 7);
    }
}

} // namespace
