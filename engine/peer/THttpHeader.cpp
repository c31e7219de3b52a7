#include "engine/peer/THttpHeader.h"
#include "platform/AsciiText.h"

namespace {

// Control characters and the blank: what may stand around a field's name and value.
bool IsPadding(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return u >= 1 && u <= 32;
}

bool StartsWith(const std::string& line, std::string_view prefix, bool caseSensitive) {
    if (line.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        const char a = line[i];
        const char b = prefix[i];
        if (caseSensitive ? a != b : platform::AsciiLower(a) != platform::AsciiLower(b))
            return false;
    }
    return true;
}

// A status code has three digits; more are read only so that a long run of them is not
// taken for a smaller number, and they stop before the value could overflow.
constexpr size_t kStatusDigits = 9;

} // namespace

void THttpHeader::Clear() {
    lines_.clear();
    reason_.clear();
    status_ = 0;
    version_ = "1.0";
}

size_t THttpHeader::Parse(const char* data, size_t length) {
    if (!data)
        return 0;
    size_t end = 0;
    for (size_t i = 0; i < length && end == 0; ++i) {
        if (data[i] != '\n')
            continue;
        if (i + 1 < length && data[i + 1] == '\n')
            end = i + 2;
        else if (i + 2 < length && data[i + 1] == '\r' && data[i + 2] == '\n')
            end = i + 3;
    }
    if (end == 0)
        return 0;

    Clear();
    std::string_view block(data, end);
    while (!block.empty() && (block.back() == '\r' || block.back() == '\n'))
        block.remove_suffix(1);
    while (!block.empty()) {
        const size_t lf = block.find('\n');
        std::string_view line = block.substr(0, lf);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        lines_.emplace_back(line);
        if (lf == std::string_view::npos)
            break;
        block.remove_prefix(lf + 1);
    }

    if (!lines_.empty()) {
        const std::string first = lines_.front();
        if (first.compare(0, 4, "HTTP") == 0) {
            TakeStatusLine(first);
            lines_.erase(lines_.begin());
        } else if (first.find(separator_) == std::string::npos) {
            lines_.erase(lines_.begin());
        }
    }
    return end;
}

void THttpHeader::TakeStatusLine(const std::string& line) {
    size_t at = 4;
    if (line.size() > at && line[at] == '/') {
        const size_t blank = line.find(' ', at + 1);
        version_ = line.substr(at + 1, blank == std::string::npos ? std::string::npos : blank - at - 1);
        at = blank == std::string::npos ? line.size() : blank;
    }
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t'))
        ++at;
    int code = 0;
    size_t digits = 0;
    while (at < line.size() && line[at] >= '0' && line[at] <= '9') {
        if (digits < kStatusDigits)
            code = code * 10 + (line[at] - '0');
        ++digits;
        ++at;
    }
    status_ = digits <= kStatusDigits ? code : 0;
    if (at < line.size() && (line[at] == ' ' || line[at] == '\t'))
        reason_ = line.substr(at + 1);
}

const std::string* THttpHeader::FindField(std::string_view name, size_t& valueStart) const {
    for (const std::string& line : lines_) {
        if (!StartsWith(line, name, caseSensitive_))
            continue;
        size_t at = name.size();
        while (at < line.size() && IsPadding(line[at]))
            ++at;
        if (at >= line.size() || line[at] != separator_)
            continue;
        ++at;
        while (at < line.size() && IsPadding(line[at]))
            ++at;
        valueStart = at;
        return &line;
    }
    return nullptr;
}

bool THttpHeader::HasField(std::string_view name) const {
    size_t start = 0;
    return FindField(name, start) != nullptr;
}

std::string THttpHeader::GetField(std::string_view name) const {
    size_t start = 0;
    const std::string* line = FindField(name, start);
    if (!line)
        return std::string();
    size_t end = line->size();
    while (end > start && IsPadding((*line)[end - 1]))
        --end;
    return line->substr(start, end - start);
}
