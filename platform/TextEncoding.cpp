#include "platform/TextEncoding.h"

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iconv.h>

namespace platform {

namespace {

static_assert(sizeof(wchar_t) == 4, "wide text is UTF-32 on this platform");
static_assert(sizeof(char32_t) == 4 && sizeof(char16_t) == 2);

constexpr bool kLittle = std::endian::native == std::endian::little;
// Host byte order, so that the converted bytes can be viewed as char16_t / char32_t.
const char* const kUtf16 = kLittle ? "UTF-16LE" : "UTF-16BE";
const char* const kUtf32 = kLittle ? "UTF-32LE" : "UTF-32BE";
const char* const kGbk = "GBK";
const char* const kUtf8 = "UTF-8";

const iconv_t kInvalid = reinterpret_cast<iconv_t>(-1);

// One iconv descriptor, closed on destruction.
class Iconv {
public:
    Iconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~Iconv() {
        if (ok())
            iconv_close(cd_);
    }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;

    bool ok() const { return cd_ != kInvalid; }
    iconv_t get() const { return cd_; }
    void reset() const { iconv(cd_, nullptr, nullptr, nullptr, nullptr); }

private:
    iconv_t cd_;
};

enum class Outcome { Ok, Invalid };

// Runs iconv over the whole of in, appending to out, then flushes the shift state.
// onError is called when the sequence at the front of the remaining input cannot be
// converted; it returns how many input bytes to skip (0 stops with
// Outcome::Invalid) and may append a replacement.
template <typename OnError>
Outcome Run(const Iconv& cd, std::string_view in, std::string& out, OnError onError) {
    cd.reset();
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    char buffer[4096];
    for (;;) {
        char* dst = buffer;
        size_t dstLeft = sizeof buffer;
        size_t rc = iconv(cd.get(), &src, &srcLeft, &dst, &dstLeft);
        int err = rc == static_cast<size_t>(-1) ? errno : 0;
        out.append(buffer, static_cast<size_t>(dst - buffer));
        if (rc != static_cast<size_t>(-1))
            break;
        if (err == E2BIG)
            continue;
        // EILSEQ, or EINVAL for a sequence cut off by the end of the input.
        size_t skip = onError(out);
        if (skip == 0)
            return Outcome::Invalid;
        skip = skip < srcLeft ? skip : srcLeft;
        src += skip;
        srcLeft -= skip;
    }
    for (;;) {
        char* dst = buffer;
        size_t dstLeft = sizeof buffer;
        size_t rc = iconv(cd.get(), nullptr, nullptr, &dst, &dstLeft);
        int err = rc == static_cast<size_t>(-1) ? errno : 0;
        out.append(buffer, static_cast<size_t>(dst - buffer));
        if (err != E2BIG)
            break;
    }
    return Outcome::Ok;
}

// Source bytes to UTF-32. When lenient, each unit (1 byte, or 2 for UTF-16) that
// starts an invalid sequence becomes U+003F and decoding goes on after it; a byte
// that merely looked like a lead byte thus costs its follower nothing.
Outcome Decode(const Iconv& cd, std::string_view in, size_t unit, bool lenient, std::u32string& out) {
    std::string bytes;
    Outcome rc = Run(cd, in, bytes, [&](std::string& sofar) -> size_t {
        if (!lenient)
            return 0;
        const char32_t q = U'?';
        sofar.append(reinterpret_cast<const char*>(&q), sizeof q);
        return unit;
    });
    out.resize(bytes.size() / sizeof(char32_t));
    std::memcpy(out.data(), bytes.data(), out.size() * sizeof(char32_t));
    return rc;
}

// UTF-32 to the target. A character the target lacks (or a value that is no
// character at all) is replaced by '?' in the target's own form, sent through the
// same descriptor so that a stateful target keeps its shift state right.
void Encode(const Iconv& cd, std::u32string_view in, std::string& out) {
    std::string_view bytes(reinterpret_cast<const char*>(in.data()), in.size() * sizeof(char32_t));
    Run(cd, bytes, out, [&](std::string& sofar) -> size_t {
        char32_t q = U'?';
        char* src = reinterpret_cast<char*>(&q);
        size_t srcLeft = sizeof q;
        char buffer[16];
        char* dst = buffer;
        size_t dstLeft = sizeof buffer;
        if (iconv(cd.get(), &src, &srcLeft, &dst, &dstLeft) == static_cast<size_t>(-1))
            sofar.push_back('?');
        else
            sofar.append(buffer, static_cast<size_t>(dst - buffer));
        return sizeof(char32_t);
    });
}

// Both halves of one conversion, through UTF-32: the decode half then only fails on
// invalid input and the encode half only on characters the target lacks, so each
// failure gets the replacement that fits it.
struct Pair {
    Iconv decode;
    Iconv encode;
    Pair(const char* from, const char* to) : decode(kUtf32, from), encode(to, kUtf32) {}
    bool ok() const { return decode.ok() && encode.ok(); }
};

// Descriptors are kept per thread for the fixed conversions: an iconv_t must not be
// shared, and opening one costs more than converting a short text.
std::string Convert(std::string_view in, size_t unit, Pair& pair) {
    if (in.empty() || !pair.ok())
        return {};
    std::u32string wide;
    Decode(pair.decode, in, unit, true, wide);
    std::string out;
    Encode(pair.encode, wide, out);
    return out;
}

template <typename Char> std::basic_string<Char> FromBytes(const std::string& bytes) {
    std::basic_string<Char> s(bytes.size() / sizeof(Char), Char{});
    std::memcpy(s.data(), bytes.data(), s.size() * sizeof(Char));
    return s;
}

template <typename Char> std::string_view AsBytes(std::basic_string_view<Char> s) {
    return std::string_view(reinterpret_cast<const char*>(s.data()), s.size() * sizeof(Char));
}

} // namespace

std::string GbkToUtf8(std::string_view gbk) {
    thread_local Pair pair(kGbk, kUtf8);
    return Convert(gbk, 1, pair);
}

std::string Utf8ToGbk(std::string_view utf8) {
    thread_local Pair pair(kUtf8, kGbk);
    return Convert(utf8, 1, pair);
}

std::u16string GbkToUtf16(std::string_view gbk) {
    thread_local Pair pair(kGbk, kUtf16);
    return FromBytes<char16_t>(Convert(gbk, 1, pair));
}

std::string Utf16ToGbk(std::u16string_view utf16) {
    thread_local Pair pair(kUtf16, kGbk);
    return Convert(AsBytes(utf16), sizeof(char16_t), pair);
}

std::wstring GbkToWide(std::string_view gbk) {
    thread_local Pair pair(kGbk, kUtf32);
    return FromBytes<wchar_t>(Convert(gbk, 1, pair));
}

std::string WideToGbk(std::wstring_view wide) {
    thread_local Pair pair(kUtf32, kGbk);
    return Convert(AsBytes(wide), sizeof(wchar_t), pair);
}

bool ConvertEncoding(std::string_view in, const char* from, const char* to, std::string& out) {
    out.clear();
    if (!from || !to)
        return false;
    Pair pair(from, to);
    if (!pair.ok())
        return false;
    std::u32string wide;
    if (Decode(pair.decode, in, 1, false, wide) != Outcome::Ok)
        return false;
    Encode(pair.encode, wide, out);
    return true;
}

} // namespace platform
