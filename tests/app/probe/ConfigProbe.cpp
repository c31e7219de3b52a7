// A test program that reports what it finds in itself, one "key=value" per line: its
// configuration block (decoded), its resources and its version. The tests pack it and
// compare. With "--release FOLDER" it also writes its statistics configuration and
// torrents there, as the controller does at start.
#include "app/EmbeddedConfigBlock.h"
#include "app/ProgramVersion.h"
#include "app/ResourceExtractor.h"
#include "app/ResourceIds.h"
#include "engine/api/BrisklaneEngine.h"
#include "platform/ResourceArchive.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

void Line(const std::string& key, const std::string& value) {
    std::printf("%s=%s\n", key.c_str(), value.c_str());
}

const char* StatusText(platform::ResourceArchive::Status s) {
    switch (s) {
    case platform::ResourceArchive::Status::Ok:
        return "ok";
    case platform::ResourceArchive::Status::NoFile:
        return "nofile";
    case platform::ResourceArchive::Status::Damaged:
        return "damaged";
    }
    return "?";
}

} // namespace

int main(int argc, char** argv) {
    using embedded::EmbeddedConfigBlock;
    const EmbeddedConfigBlock& block = EmbeddedConfigBlock::Program();
    Line("resourceList", EmbeddedConfigBlock::DecodeText(block.TextSlot(0)));
    for (int i = 0; i < embedded::kPackageFiles; ++i) {
        const std::string n = std::to_string(i);
        Line("url" + n, EmbeddedConfigBlock::DecodeText(block.TextSlot(1 + i)));
        Line("name" + n, EmbeddedConfigBlock::DecodeText(block.TextSlot(5 + i)));
        Line("size" + n, std::to_string(block.ExpectedSize(i)));
        Line("md5_" + n, block.DigestSlot(i));
    }
    Line("productKey", block.ProductKeySlot());

    const platform::ResourceArchive& resources = platform::ProgramResources();
    Line("archive", StatusText(resources.status()));
    if (!resources.error().empty())
        Line("archiveError", resources.error());
    for (const platform::ResourceEntry& e : resources.entries()) {
        Line("resource", e.type + " " + std::to_string(e.id) + " " + std::to_string(e.language) + " " +
                             std::to_string(e.data.size()) + " " + Md5Hex(e.data.data(), e.data.size()));
    }
    Line("version", ProgramVersion::Text());

    if (argc == 3 && std::strcmp(argv[1], "--release") == 0) {
        ResourceExtractor extractor;
        Line(std::string("release ") + ResourceIds::kStatisticsType,
             std::to_string(extractor.ReleaseResource(ResourceIds::kStatistics, argv[2], "dataupload.vedare",
                                                      ResourceIds::kStatisticsType, true)));
        for (int i = 0; i < embedded::kPackageFiles; ++i) {
            Line(std::string("release ") + ResourceIds::kTorrentType + " " +
                     std::to_string(ResourceIds::Torrent(i)),
                 std::to_string(extractor.ReleaseResource(ResourceIds::Torrent(i), argv[2],
                                                          block.DigestSlot(i), ResourceIds::kTorrentType,
                                                          false)));
        }
    }
    return 0;
}
