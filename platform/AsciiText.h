#pragma once
// Case work on ASCII letters only. Protocol words, host names and header fields compare
// this way; bytes outside A-Z (GBK text among them) are never changed, and the C
// library's locale plays no part.
#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

constexpr char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

inline std::string AsciiLowered(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = AsciiLower(c);
    return out;
}

inline bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (AsciiLower(text[i]) != AsciiLower(prefix[i]))
            return false;
    return true;
}

inline bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && StartsWithNoCase(a, b);
}

// Offset of needle in text compared without case; npos when it is not there.
inline size_t FindNoCase(std::string_view text, std::string_view needle) {
    for (size_t i = 0; i + needle.size() <= text.size(); ++i)
        if (StartsWithNoCase(text.substr(i), needle))
            return i;
    return std::string_view::npos;
}

} // namespace platform
