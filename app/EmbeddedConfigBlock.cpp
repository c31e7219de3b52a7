#include "app/EmbeddedConfigBlock.h"

#include <cstring>

namespace embedded {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Standard Base64 with '=' fill; usable while the shipped block is being compiled.
// Returns the length written, or 0 when cap cannot hold it and its terminator.
constexpr size_t EncodeInto(std::string_view in, char* out, size_t cap) {
    const size_t length = (in.size() + 2) / 3 * 4;
    if (length + 1 > cap)
        return 0;
    size_t o = 0;
    for (size_t i = 0; i < in.size(); i += 3) {
        const size_t left = in.size() - i;
        const uint32_t b0 = static_cast<uint8_t>(in[i]);
        const uint32_t b1 = left > 1 ? static_cast<uint8_t>(in[i + 1]) : 0;
        const uint32_t b2 = left > 2 ? static_cast<uint8_t>(in[i + 2]) : 0;
        const uint32_t v = (b0 << 16) | (b1 << 8) | b2;
        out[o++] = kAlphabet[(v >> 18) & 63];
        out[o++] = kAlphabet[(v >> 12) & 63];
        out[o++] = left > 1 ? kAlphabet[(v >> 6) & 63] : '=';
        out[o++] = left > 2 ? kAlphabet[v & 63] : '=';
    }
    out[o] = 0;
    return o;
}

constexpr void CopyText(char* slot, std::string_view text) {
    for (size_t i = 0; i < text.size() && i + 1 < kSlotSize; ++i)
        slot[i] = text[i];
}

// The values of the shipped configuration. The texts live only in this constant
// evaluation; what reaches the program file is the block itself.
constexpr ConfigBlockLayout MakeShippedBlock() {
    ConfigBlockLayout b{};
    // Bytes outside the Base64 alphabet and a NUL, so that no configured text can
    // ever look like the marker.
    constexpr std::string_view marker("\x8b\x1e"
                                      "BrisklaneConfigurationBlock"
                                      "\x00\xc7\x5a",
                                      kMarkerSize);
    for (size_t i = 0; i < kMarkerSize; ++i)
        b.marker[i] = marker[i];

    constexpr std::string_view texts[kTextSlots] = {
        "https://res.brisklane.example/downloader/vmrResourceList20201127.xml",
        "http://dl.brisklane.example/orlanta_setup_10.1.1.7/orlanta_setup_10.1.1.7.exe",
        "http://dl.brisklane.example/orlanta_setup_10.1.1.7/Orlanta10.1.1.7.zip",
        "http://dl.brisklane.example/orlanta_setup_10.1.1.7/Orlanta10.1.1.701.cab",
        "http://dl.brisklane.example/Orlanta_Patch_10_1_1_6To10_1_1_7/Orlanta_Patch_10_1_1_6To10_1_1_7.exe",
        "orlanta_setup_10.1.1.7.exe",
        "Orlanta10.1.1.7.zip",
        "Orlanta10.1.1.701.cab",
        "Orlanta_Patch_10_1_1_6To10_1_1_7.exe",
    };
    for (int i = 0; i < kTextSlots; ++i)
        EncodeInto(texts[i], b.text[i], kSlotSize);

    constexpr uint64_t sizes[kPackageFiles] = {2984592ull, 1091775899ull, 3221225472ull, 974003864ull};
    for (int f = 0; f < kPackageFiles; ++f) {
        for (int k = 0; k < 8; ++k)
            b.sizes[f][k] = static_cast<uint8_t>(sizes[f] >> (8 * k));
    }

    constexpr std::string_view digests[kDigestSlots] = {
        "4fc4be0e5a4c8af692263ae9d1c8fa46",
        "1784ecb276cd2548c312097dcf60127e",
        "bd4d3a7f06519f3262cc5ec3128a8122",
        "e85079433e8ee5976962a6f3d7804b27",
    };
    for (int d = 0; d < kDigestSlots; ++d)
        CopyText(b.digest[d], digests[d]);
    CopyText(b.productKey, digests[0]);
    return b;
}

} // namespace

// One object, so the whole block is one run of bytes in the file; kept even though
// nothing names it directly. External linkage on purpose: for a constant of internal
// linkage the compiler writes the whole initialiser into the debug information as
// well, which would put a second copy of the marker into the program file.
extern const ConfigBlockLayout kProgramBlock;
__attribute__((used)) constinit const ConfigBlockLayout kProgramBlock = MakeShippedBlock();

namespace {

// The address passes through an empty asm statement: the compiler must assume any
// pointer comes out of it, so it reads the bytes a deployment tool wrote instead of
// the initialiser it knows.
const ConfigBlockLayout* ProgramLayout() {
    const ConfigBlockLayout* p = &kProgramBlock;
    asm volatile("" : "+r"(p));
    return p;
}

std::string SlotText(const char* slot) {
    return std::string(slot, strnlen(slot, kSlotSize - 1));
}

int DecodeChar(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

} // namespace

const EmbeddedConfigBlock& EmbeddedConfigBlock::Program() {
    static const EmbeddedConfigBlock block(ProgramLayout());
    return block;
}

std::string EmbeddedConfigBlock::TextSlot(int slot) const {
    if (slot < 0 || slot >= kTextSlots)
        return {};
    return SlotText(layout_->text[slot]);
}

std::string EmbeddedConfigBlock::DigestSlot(int file) const {
    if (file < 0 || file >= kDigestSlots)
        return {};
    return SlotText(layout_->digest[file]);
}

uint64_t EmbeddedConfigBlock::ExpectedSize(int file) const {
    if (file < 0 || file >= kPackageFiles)
        return 0;
    uint64_t v = 0;
    for (int k = 7; k >= 0; --k)
        v = (v << 8) | layout_->sizes[file][k];
    return v;
}

std::string EmbeddedConfigBlock::ProductKeySlot() const {
    return SlotText(layout_->productKey);
}

std::string EmbeddedConfigBlock::DecodeText(const std::string& base64) {
    std::string out;
    if (!DecodeBase64(base64, out))
        return {};
    // Taken as a NUL-terminated text, as a fixed buffer of the old layout would hold it.
    out.resize(strnlen(out.c_str(), kSlotSize - 1));
    return out;
}

bool EmbeddedConfigBlock::DecodeBase64(const std::string& base64, std::string& out) {
    out.clear();
    if (base64.empty() || base64.size() % 4 != 0)
        return false;
    out.reserve(base64.size() / 4 * 3);
    for (size_t i = 0; i < base64.size(); i += 4) {
        const bool last = i + 4 == base64.size();
        int v[4];
        int fill = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = base64[i + static_cast<size_t>(k)];
            // '=' only fills the end of the last group: "xx==" or "xxx=".
            if (c == '=' && last && k >= 2) {
                v[k] = 0;
                ++fill;
                continue;
            }
            v[k] = DecodeChar(c);
            if (fill > 0 || v[k] < 0) {
                out.clear();
                return false;
            }
        }
        const uint32_t bits =
            (uint32_t(v[0]) << 18) | (uint32_t(v[1]) << 12) | (uint32_t(v[2]) << 6) | uint32_t(v[3]);
        out.push_back(static_cast<char>(bits >> 16));
        if (fill < 2)
            out.push_back(static_cast<char>((bits >> 8) & 0xff));
        if (fill < 1)
            out.push_back(static_cast<char>(bits & 0xff));
    }
    return true;
}

std::string EmbeddedConfigBlock::EncodeText(const std::string& plain) {
    std::string out((plain.size() + 2) / 3 * 4 + 1, '\0');
    out.resize(EncodeInto(plain, out.data(), out.size()));
    return out;
}

std::string_view Marker() {
    return std::string_view(ProgramLayout()->marker, kMarkerSize);
}

int64_t FindConfigBlock(const std::string& image) {
    const std::string_view marker = Marker();
    const size_t at = image.find(marker);
    if (at == std::string::npos || image.find(marker, at + 1) != std::string::npos)
        return -1;
    if (image.size() - at < sizeof(ConfigBlockLayout))
        return -1;
    return static_cast<int64_t>(at);
}

} // namespace embedded
