#include "tools/pack/ProgramPacker.h"

#include "app/EmbeddedConfigBlock.h"
#include "app/ProgramVersion.h"
#include "app/ResourceIds.h"
#include "engine/core/QMd5.h"
#include "engine/core/TRefObject.h"
#include "engine/piece/TTorrent.h"
#include "engine/piece/TTorrentWriter.h"
#include "platform/AtomicFile.h"
#include "platform/ResourceArchive.h"
#include "tools/pack/StatisticsIni.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sys/stat.h>

namespace {

std::string Where(int index, const char* key) {
    return "files[" + std::to_string(index) + "]." + key;
}

std::string SystemError() {
    return std::strerror(errno);
}

std::string ReadWhole(const std::string& path, const std::string& key) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!f)
        throw PackError(key + ": cannot read " + path + ": " + SystemError());
    std::string data;
    char buffer[1 << 16];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f.get())) > 0)
        data.append(buffer, n);
    if (std::ferror(f.get()))
        throw PackError(key + ": cannot read " + path + ": " + SystemError());
    return data;
}

// Size and MD5 of a file, read in one pass.
void Measure(const std::string& path, const std::string& key, uint64_t& size, std::string& md5) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!f)
        throw PackError(key + ": cannot read " + path + ": " + SystemError());
    Md5Context ctx;
    ctx.Init();
    std::string buffer(1 << 20, '\0');
    size = 0;
    size_t n;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), f.get())) > 0) {
        ctx.Update(buffer.data(), n);
        size += n;
    }
    if (std::ferror(f.get()))
        throw PackError(key + ": cannot read " + path + ": " + SystemError());
    uint8_t digest[kMd5DigestSize];
    ctx.Final(digest);
    md5 = Md5ToHex(digest);
}

void PutText(char* slot, const std::string& text) {
    // The configuration was checked to fit; the slot stays terminated regardless.
    std::memcpy(slot, text.data(), std::min(text.size(), embedded::kSlotSize - 1));
}

} // namespace

ProgramPacker::PackageFile ProgramPacker::Resolve(int index) const {
    const PackageFileEntry& entry = config_.files[index];
    PackageFile out;
    if (entry.FromLocalFile()) {
        struct stat st {};
        if (::stat(entry.path.c_str(), &st) != 0)
            throw PackError(Where(index, "path") + ": cannot read " + entry.path + ": " + SystemError());
        if (!S_ISREG(st.st_mode))
            throw PackError(Where(index, "path") + ": " + entry.path + " is not a file");
        Measure(entry.path, Where(index, "path"), out.size, out.md5);
        if (out.size == 0)
            throw PackError(Where(index, "path") + ": " + entry.path + " is empty");
        TTorrentWriter writer;
        writer.SetName(entry.name);
        writer.SetPieceLength(config_.pieceLength);
        writer.SetTrackers(config_.trackers);
        if (!writer.BuildFromFile(entry.path, out.torrent))
            throw PackError(Where(index, "path") + ": cannot make a torrent of " + entry.path);
        return out;
    }
    out.size = entry.size;
    out.md5 = entry.md5;
    out.torrent = ReadWhole(entry.torrentPath, Where(index, "torrent"));
    // A torrent of another file would leave the download waiting for pieces nobody has.
    TRef<TTorrent> torrent = TRef<TTorrent>::Adopt(new TTorrent);
    TTorrentTarget target;
    target.folder = "/";
    target.createDirectories = false;
    torrent->SetTorrentData(out.torrent);
    if (!torrent->Load(target) || torrent->FileSet().files.size() != 1)
        throw PackError(Where(index, "torrent") + ": " + entry.torrentPath + " is not a torrent of one file");
    if (torrent->FileSet().totalSize != entry.size)
        throw PackError(Where(index, "torrent") + ": " + entry.torrentPath + " describes " +
                        std::to_string(torrent->FileSet().totalSize) + " bytes, but \"size\" is " +
                        std::to_string(entry.size));
    return out;
}

void ProgramPacker::Pack(const std::string& inputProgram, const std::string& outputProgram) const {
    PackageFile files[DeploymentConfig::kFiles];
    for (int i = 0; i < DeploymentConfig::kFiles; ++i)
        files[i] = Resolve(i);
    for (int i = 0; i < DeploymentConfig::kFiles; ++i) {
        for (int j = 0; j < i; ++j) {
            if (files[i].md5 == files[j].md5)
                throw PackError("files[" + std::to_string(i) + "]: has the MD5 of files[" +
                                std::to_string(j) + "]; the four package files must differ");
        }
    }

    struct stat mode {};
    if (::stat(inputProgram.c_str(), &mode) != 0)
        throw PackError("--program: cannot read " + inputProgram + ": " + SystemError());
    platform::ResourceArchive old;
    if (old.Load(inputProgram) != platform::ResourceArchive::Status::Ok)
        throw PackError("--program: " + inputProgram + ": " + old.error());
    std::string program;
    if (!platform::ResourceArchive::StripArchive(ReadWhole(inputProgram, "--program"), program))
        throw PackError("--program: " + inputProgram + ": its resource archive is damaged");
    const int64_t at = embedded::FindConfigBlock(program);
    if (at < 0)
        throw PackError("--program: " + inputProgram + " has no configuration block, or more than one");

    auto block = std::make_unique<embedded::ConfigBlockLayout>();
    std::memset(block.get(), 0, sizeof *block);
    std::memcpy(block->marker, embedded::Marker().data(), embedded::kMarkerSize);
    using embedded::EmbeddedConfigBlock;
    PutText(block->text[0], EmbeddedConfigBlock::EncodeText(config_.resourceList));
    for (int i = 0; i < DeploymentConfig::kFiles; ++i) {
        PutText(block->text[1 + i], EmbeddedConfigBlock::EncodeText(config_.files[i].url));
        PutText(block->text[5 + i], EmbeddedConfigBlock::EncodeText(config_.files[i].name));
        for (int k = 0; k < 8; ++k)
            block->sizes[i][k] = static_cast<uint8_t>(files[i].size >> (8 * k));
        PutText(block->digest[i], files[i].md5);
    }
    PutText(block->productKey, files[0].md5);
    std::memcpy(program.data() + at, block.get(), sizeof *block);

    platform::ResourceArchive resources;
    resources.Put(
        {ResourceIds::kStatisticsType, ResourceIds::kStatistics, platform::kLanguageChineseSimplified,
         EmbeddedConfigBlock::EncodeText(StatisticsIni::Build(config_.submitUrls, config_.batchSubmitUrls))});
    for (int i = 0; i < DeploymentConfig::kFiles; ++i)
        resources.Put({ResourceIds::kTorrentType, static_cast<uint32_t>(ResourceIds::Torrent(i)),
                       platform::kLanguageChineseSimplified, files[i].torrent});
    if (config_.hasVersion)
        resources.Put({ProgramVersion::kResourceType, ProgramVersion::kResourceId,
                       platform::kLanguageChineseSimplified, ProgramVersion::Format(config_.version)});
    program += resources.Serialize();

    if (!platform::ReplaceFile(outputProgram, program, &mode))
        throw PackError("--output: cannot write " + outputProgram + ": " + SystemError());
}
