#pragma once
// The configuration block compiled into the program: fixed 4096-byte slots that a
// deployment tool overwrites in a built executable. The tool finds the block by its
// marker; the program reads it through an opaque pointer so that the compiler cannot
// fold the shipped values into the code that reads them.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace embedded {

constexpr size_t kSlotSize = 4096;
constexpr int kTextSlots = 9;   // 0 resource-list URL, 1..4 package URLs, 5..8 file names
constexpr int kDigestSlots = 4; // 9..12 expected MD5 of files 0..3
constexpr int kPackageFiles = 4;
// 32 bytes that start the block and occur nowhere else in the program file.
constexpr size_t kMarkerSize = 32;

// The bytes as they lie in the program file. The four sizes stand directly before the
// first digest slot; the single-instance check has its own copy of the product key.
struct ConfigBlockLayout {
    char marker[kMarkerSize];
    char text[kTextSlots][kSlotSize];     // Base64 texts, NUL-terminated, zero-filled
    uint8_t sizes[kPackageFiles][8];      // little-endian u64, file 0 first
    char digest[kDigestSlots][kSlotSize]; // 32 lower-case hex characters, plain
    char productKey[kSlotSize];           // the same text as digest slot 0
};
static_assert(sizeof(ConfigBlockLayout) == kMarkerSize + 14 * kSlotSize + 32);

// Read access to one block (the program's own, or a copy a tool or test made).
class EmbeddedConfigBlock {
public:
    // The block compiled into this program.
    static const EmbeddedConfigBlock& Program();
    explicit EmbeddedConfigBlock(const ConfigBlockLayout* layout) : layout_(layout) {}

    // The slot's text up to its first NUL (at most 4095 bytes); "" for a bad index.
    std::string TextSlot(int slot) const;   // slots 0..8, still Base64
    std::string DigestSlot(int file) const; // files 0..3
    uint64_t ExpectedSize(int file) const;  // files 0..3; 0 for a bad index
    std::string ProductKeySlot() const;

    // Base64 (standard alphabet, '=' fill) decoded and taken as a NUL-terminated text of
    // at most 4095 bytes; a text whose length is not a multiple of 4, or that holds a
    // character outside the alphabet, decodes to "".
    static std::string DecodeText(const std::string& base64);
    static std::string EncodeText(const std::string& plain);
    // The whole decoded bytes, without the text rules; false (out empty) where
    // DecodeText gives "" for a malformed text.
    static bool DecodeBase64(const std::string& base64, std::string& out);

    const ConfigBlockLayout& layout() const { return *layout_; }

private:
    const ConfigBlockLayout* layout_;
};

// The marker, read from this program's own block: a second copy kept for the search
// would put the marker into the program file twice.
std::string_view Marker();

// Finds the block in a program image; the offset of its first byte, or -1 when the
// marker is missing or occurs more than once.
int64_t FindConfigBlock(const std::string& image);

} // namespace embedded
