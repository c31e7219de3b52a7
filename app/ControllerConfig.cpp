#include "app/ControllerConfig.h"

#include "app/EmbeddedConfigBlock.h"

ControllerConfig ControllerConfig::FromBlock(const embedded::EmbeddedConfigBlock& block) {
    using embedded::EmbeddedConfigBlock;
    ControllerConfig c;
    c.productKey = block.DigestSlot(0);
    for (int i = 0; i < kPackageFileCount; ++i) {
        c.packageUrls[i] = EmbeddedConfigBlock::DecodeText(block.TextSlot(1 + i));
        c.fileNames[i] = EmbeddedConfigBlock::DecodeText(block.TextSlot(5 + i));
        c.expectedSizes[i] = block.ExpectedSize(i);
        c.expectedMd5[i] = block.DigestSlot(i);
    }
    c.resourceListUrl = EmbeddedConfigBlock::DecodeText(block.TextSlot(0));
    return c;
}
