#include "app/DisplayFormat.h"

#include "app/ControllerTexts.h"

#include <cstdio>
#include <cstring>

namespace {

std::string Printf(const char* format, double value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, value);
    return buf;
}

} // namespace

std::string DisplayFormat::Size(uint64_t bytes) {
    constexpr uint64_t kKiB = 1024, kMiB = kKiB << 10, kGiB = kMiB << 10, kTiB = kGiB << 10;
    if (bytes == 0)
        return {};
    if (bytes < kKiB)
        return std::to_string(bytes) + " B";
    if (bytes < kMiB)
        return Printf("%0.1f KB", static_cast<double>(bytes) / kKiB);
    if (bytes < kGiB)
        return Printf("%0.1f MB", static_cast<double>(bytes) / kMiB);
    if (bytes < kTiB)
        return Printf("%0.1f GB", static_cast<double>(bytes) / kGiB);
    return Printf("%0.1f TB", static_cast<double>(bytes) / kTiB);
}

std::string DisplayFormat::Speed(uint32_t bytesPerSecond) {
    constexpr uint32_t kUnknown = 0xCCCCCCCCu;
    constexpr uint32_t kKiB = 1024, kMiB = kKiB << 10, kGiB = kMiB << 10;
    if (bytesPerSecond >= kUnknown)
        return texts::kSpeedUnknown;
    if (bytesPerSecond >= kGiB)
        return Printf("%0.1f GB/s", static_cast<double>(bytesPerSecond) / kGiB);
    if (bytesPerSecond >= kMiB)
        return Printf("%0.1f MB/s", static_cast<double>(bytesPerSecond) / kMiB);
    if (bytesPerSecond >= kKiB)
        return Printf("%0.1f KB/s", static_cast<double>(bytesPerSecond) / kKiB);
    return std::to_string(bytesPerSecond) + " B/s";
}

std::string DisplayFormat::Percent(uint32_t p) {
    char buf[32];
    if (p == 0)
        return "0%";
    if (p % 100 != 0)
        std::snprintf(buf, sizeof buf, "%u.%02u%%", p / 100, p % 100);
    else
        std::snprintf(buf, sizeof buf, "%u%%", p / 100);
    return buf;
}

int DisplayFormat::CopyText(std::string_view text, char* buffer, const int* capacity) {
    const int length = static_cast<int>(text.size());
    if (!buffer)
        return length;
    const int room = capacity ? *capacity : 0;
    if (room <= length)
        return 0;
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    return length;
}
