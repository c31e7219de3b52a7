#pragma once
// The program's version as the statistics report it: the "VERSION" resource 1, text
// "a.b.c.d" (four numbers 0..65535, most significant first), which a deployment puts
// into the program's resources.
#include <cstdint>
#include <string>

namespace platform {
class ResourceArchive;
}

class ProgramVersion {
public:
    static constexpr const char* kResourceType = "VERSION";
    static constexpr uint32_t kResourceId = 1;
    // Reported when the program carries no (usable) version.
    static constexpr const char* kFallback = "1.0.3";

    // Four decimal numbers 0..65535 separated by '.', nothing else. False leaves parts
    // untouched.
    static bool Parse(const std::string& text, uint16_t parts[4]);
    // "%d.%d.%d.%d" of the parts.
    static std::string Format(const uint16_t parts[4]);
    // The version the archive carries, formatted; kFallback when it has none.
    static std::string FromResources(const platform::ResourceArchive& archive);
    // The same for this program's own resources.
    static std::string Text();
};
