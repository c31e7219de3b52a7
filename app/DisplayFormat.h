#pragma once
// The number formats of the window's texts, and the way texts are handed to it.
#include <cstdint>
#include <string>
#include <string_view>

class DisplayFormat {
public:
    // One decimal, binary units: "" for 0, "%u B" below 1 KiB, then KB, MB, GB, TB.
    static std::string Size(uint64_t bytes);
    // Bytes per second; 0xCCCCCCCC and above read as unknown (an unset value).
    static std::string Speed(uint32_t bytesPerSecond);
    // p in 1/10000: "0%", "12.34%", "12%".
    static std::string Percent(uint32_t p);

    // The text-query convention: with a null buffer the text's length; with a capacity
    // that cannot hold text and terminator 0 and nothing copied; else the text copied
    // with its terminator and its length returned. A null capacity pointer counts as
    // capacity 0.
    static int CopyText(std::string_view text, char* buffer, const int* capacity);
};
