#include "platform/ResourceArchive.h"

#include "platform/Crc32.h"
#include "platform/Paths.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

// Layout, version 1 (integers little-endian):
//   entries, each: u16 type length, u16 language, u32 id, u64 data length, type, data
//   trailer (32 bytes, the very end of the file): magic (8), u32 version,
//     u32 entry count, u64 archive length (entries and trailer), u32 reserved (0),
//     u32 CRC-32 of every archive byte before it
// The trailer sits at the end so that a reader finds it without knowing where the
// program ends, and so that appending a new archive to a stripped program is all a
// tool has to do.
namespace {

constexpr char kMagic[8] = {'\x7f', 'B', 'L', 'R', 'S', 'R', 'C', '\x1a'};
constexpr uint32_t kVersion = 1;
constexpr size_t kTrailerSize = 32;
constexpr size_t kEntryHeaderSize = 16;
constexpr size_t kMaxTypeLength = 255;
// Far above anything a program carries (a few torrents and texts); a length beyond it
// is damage, and nothing that large is ever allocated.
constexpr uint64_t kMaxArchiveLength = 256ull * 1024 * 1024;

uint64_t ReadLe(std::string_view bytes, size_t at, int width) {
    uint64_t v = 0;
    for (int i = width - 1; i >= 0; --i)
        v = (v << 8) | static_cast<uint8_t>(bytes[at + static_cast<size_t>(i)]);
    return v;
}

void AppendLe(std::string& out, uint64_t v, int width) {
    for (int i = 0; i < width; ++i) {
        out.push_back(static_cast<char>(v & 0xff));
        v >>= 8;
    }
}

struct Trailer {
    uint32_t count = 0;
    uint64_t length = 0;
    uint32_t crc = 0;
};

bool HasMagic(std::string_view tail) {
    return tail.size() == kTrailerSize && std::memcmp(tail.data(), kMagic, sizeof kMagic) == 0;
}

// The trailer's own fields checked against the size of what holds the archive.
bool CheckTrailer(std::string_view tail, uint64_t fileSize, Trailer& t, std::string& error) {
    const uint64_t version = ReadLe(tail, 8, 4);
    if (version != kVersion) {
        error = "resource archive: unsupported version " + std::to_string(version);
        return false;
    }
    t.count = static_cast<uint32_t>(ReadLe(tail, 12, 4));
    t.length = ReadLe(tail, 16, 8);
    t.crc = static_cast<uint32_t>(ReadLe(tail, 28, 4));
    if (ReadLe(tail, 24, 4) != 0) {
        error = "resource archive: reserved trailer field is not zero";
        return false;
    }
    if (t.length < kTrailerSize || t.length > fileSize) {
        error = "resource archive: length " + std::to_string(t.length) + " does not fit the file of " +
                std::to_string(fileSize) + " bytes";
        return false;
    }
    if (t.length > kMaxArchiveLength) {
        error = "resource archive: length " + std::to_string(t.length) + " is implausibly large";
        return false;
    }
    if (t.count > (t.length - kTrailerSize) / kEntryHeaderSize) {
        error = "resource archive: " + std::to_string(t.count) + " entries cannot fit in " +
                std::to_string(t.length) + " bytes";
        return false;
    }
    return true;
}

// The whole archive (t.length bytes, trailer last) into entries.
bool ParseArchive(std::string_view archive, const Trailer& t, std::vector<ResourceEntry>& out,
                  std::string& error) {
    out.clear();
    const size_t checked = archive.size() - 4;
    if (Crc32(0, archive.data(), checked) != t.crc) {
        error = "resource archive: checksum mismatch";
        return false;
    }
    const size_t end = archive.size() - kTrailerSize;
    size_t at = 0;
    for (uint32_t i = 0; i < t.count; ++i) {
        const std::string where = "resource archive: entry " + std::to_string(i);
        if (end - at < kEntryHeaderSize) {
            error = where + " is cut off";
            return false;
        }
        const size_t typeLength = static_cast<size_t>(ReadLe(archive, at, 2));
        ResourceEntry e;
        e.language = static_cast<uint16_t>(ReadLe(archive, at + 2, 2));
        e.id = static_cast<uint32_t>(ReadLe(archive, at + 4, 4));
        const uint64_t dataLength = ReadLe(archive, at + 8, 8);
        at += kEntryHeaderSize;
        if (typeLength == 0 || typeLength > kMaxTypeLength) {
            error = where + " has a type name of " + std::to_string(typeLength) + " bytes";
            return false;
        }
        if (typeLength > end - at || dataLength > end - at - typeLength) {
            error = where + " runs past the end of the archive";
            return false;
        }
        e.type.assign(archive.substr(at, typeLength));
        at += typeLength;
        e.data.assign(archive.substr(at, static_cast<size_t>(dataLength)));
        at += static_cast<size_t>(dataLength);
        for (const ResourceEntry& seen : out) {
            if (seen.type == e.type && seen.id == e.id && seen.language == e.language) {
                error = where + " (" + e.type + " " + std::to_string(e.id) + ") appears twice";
                return false;
            }
        }
        out.push_back(std::move(e));
    }
    if (at != end) {
        error = "resource archive: " + std::to_string(end - at) + " stray bytes after the last entry";
        return false;
    }
    return true;
}

bool ReadAt(int fd, char* buffer, size_t length, uint64_t offset) {
    size_t done = 0;
    while (done < length) {
        const ssize_t n = ::pread(fd, buffer + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

} // namespace

ResourceArchive::Status ResourceArchive::Load(const std::string& file) {
    entries_.clear();
    error_.clear();
    auto fail = [this](Status s, std::string message) {
        entries_.clear();
        status_ = s;
        error_ = std::move(message);
        return s;
    };
    Fd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) {
        const int err = errno;
        return fail(Status::NoFile, file + ": " + std::strerror(err));
    }
    if (!S_ISREG(st.st_mode))
        return fail(Status::NoFile, file + ": not a regular file");
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    status_ = Status::Ok;
    if (size < kTrailerSize)
        return status_;
    std::string tail(kTrailerSize, '\0');
    if (!ReadAt(fd.get(), tail.data(), kTrailerSize, size - kTrailerSize))
        return fail(Status::NoFile, file + ": cannot read its end");
    if (!HasMagic(tail))
        return status_;
    Trailer t;
    std::string error;
    if (!CheckTrailer(tail, size, t, error))
        return fail(Status::Damaged, error);
    std::string archive(static_cast<size_t>(t.length), '\0');
    if (!ReadAt(fd.get(), archive.data(), archive.size(), size - t.length))
        return fail(Status::NoFile, file + ": cannot read its resource archive");
    if (!ParseArchive(archive, t, entries_, error))
        return fail(Status::Damaged, error);
    return status_;
}

const ResourceEntry* ResourceArchive::Find(const std::string& type, uint32_t id, uint16_t language) const {
    for (const ResourceEntry& e : entries_) {
        if (e.type == type && e.id == id && e.language == language)
            return &e;
    }
    return nullptr;
}

void ResourceArchive::Put(ResourceEntry entry) {
    for (ResourceEntry& e : entries_) {
        if (e.type == entry.type && e.id == entry.id && e.language == entry.language) {
            e = std::move(entry);
            return;
        }
    }
    entries_.push_back(std::move(entry));
}

std::string ResourceArchive::Serialize() const {
    std::string out;
    for (const ResourceEntry& e : entries_) {
        // Put cannot refuse, so a type name too long to be stored is cut here rather
        // than written as an archive that no reader accepts.
        const std::string_view type = std::string_view(e.type).substr(0, kMaxTypeLength);
        AppendLe(out, type.size(), 2);
        AppendLe(out, e.language, 2);
        AppendLe(out, e.id, 4);
        AppendLe(out, e.data.size(), 8);
        out.append(type);
        out.append(e.data);
    }
    const uint64_t length = out.size() + kTrailerSize;
    out.append(kMagic, sizeof kMagic);
    AppendLe(out, kVersion, 4);
    AppendLe(out, entries_.size(), 4);
    AppendLe(out, length, 8);
    AppendLe(out, 0, 4);
    AppendLe(out, Crc32(0, out.data(), out.size()), 4);
    return out;
}

bool ResourceArchive::StripArchive(const std::string& image, std::string& program) {
    if (image.size() < kTrailerSize ||
        !HasMagic(std::string_view(image).substr(image.size() - kTrailerSize))) {
        program = image;
        return true;
    }
    const std::string_view tail = std::string_view(image).substr(image.size() - kTrailerSize);
    Trailer t;
    std::string error;
    std::vector<ResourceEntry> entries;
    if (!CheckTrailer(tail, image.size(), t, error) ||
        !ParseArchive(std::string_view(image).substr(image.size() - t.length), t, entries, error))
        return false;
    program = image.substr(0, image.size() - t.length);
    return true;
}

const ResourceArchive& ProgramResources() {
    static const ResourceArchive archive = [] {
        ResourceArchive a;
        a.Load(ProgramPath());
        return a;
    }();
    return archive;
}

} // namespace platform
