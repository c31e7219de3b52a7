#include "app/ProgramVersion.h"

#include "platform/ResourceArchive.h"

#include <cstdio>

bool ProgramVersion::Parse(const std::string& text, uint16_t parts[4]) {
    uint16_t found[4] = {};
    size_t at = 0;
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            if (at >= text.size() || text[at] != '.')
                return false;
            ++at;
        }
        const size_t begin = at;
        uint32_t value = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - begin < 6) {
            value = value * 10 + static_cast<uint32_t>(text[at] - '0');
            ++at;
        }
        if (at == begin || value > 65535 || (at < text.size() && text[at] >= '0' && text[at] <= '9'))
            return false;
        found[i] = static_cast<uint16_t>(value);
    }
    if (at != text.size())
        return false;
    for (int i = 0; i < 4; ++i)
        parts[i] = found[i];
    return true;
}

std::string ProgramVersion::Format(const uint16_t parts[4]) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%d.%d.%d.%d", parts[0], parts[1], parts[2], parts[3]);
    return buf;
}

std::string ProgramVersion::FromResources(const platform::ResourceArchive& archive) {
    const platform::ResourceEntry* entry = archive.Find(kResourceType, kResourceId);
    uint16_t parts[4];
    if (!entry || !Parse(entry->data, parts))
        return kFallback;
    return Format(parts);
}

std::string ProgramVersion::Text() {
    return FromResources(platform::ProgramResources());
}
