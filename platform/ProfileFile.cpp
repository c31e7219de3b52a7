#include "platform/ProfileFile.h"

#include "platform/AtomicFile.h"

#include "platform/Paths.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";
// New files are written with the platform's own line ending; files that exist keep
// the ending they already use.
constexpr std::string_view kDefaultNewline = "\n";

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

// Names are GBK: the second byte of a double-byte character may look like an ASCII
// letter or ']', and must be neither folded nor taken for one.
bool IsLeadByte(unsigned char c) {
    return c >= 0x81 && c <= 0xFE;
}

char FoldAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size();) {
        if (IsLeadByte(static_cast<unsigned char>(a[i])) && i + 1 < a.size()) {
            if (a[i] != b[i] || a[i + 1] != b[i + 1])
                return false;
            i += 2;
        } else {
            if (FoldAscii(a[i]) != FoldAscii(b[i]))
                return false;
            ++i;
        }
    }
    return true;
}

// Position of the ASCII byte c in s at or after from, skipping double-byte characters.
size_t FindAscii(std::string_view s, char c, size_t from) {
    for (size_t i = from; i < s.size();) {
        if (IsLeadByte(static_cast<unsigned char>(s[i])) && i + 1 < s.size()) {
            i += 2;
            continue;
        }
        if (s[i] == c)
            return i;
        ++i;
    }
    return std::string_view::npos;
}

enum class LineKind { Other, Section, Key };

struct Parsed {
    LineKind kind = LineKind::Other;
    std::string_view name;  // section or key name, trimmed
    std::string_view value; // key value, trimmed
};

// A line whose first non-blank byte is '[' opens a section, named by what follows up
// to ']' (or the end of the line); ';' and '#' start comments; "name = value" is a
// key. Anything else is kept as it is and never matches.
Parsed Parse(std::string_view text) {
    Parsed p;
    std::string_view t = Trim(text);
    if (t.empty() || t.front() == ';' || t.front() == '#')
        return p;
    if (t.front() == '[') {
        size_t close = FindAscii(t, ']', 1);
        p.kind = LineKind::Section;
        p.name = Trim(t.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
        return p;
    }
    size_t eq = t.find('=');
    if (eq == std::string_view::npos)
        return p;
    p.kind = LineKind::Key;
    p.name = Trim(t.substr(0, eq));
    p.value = Trim(t.substr(eq + 1));
    return p;
}

struct Line {
    std::string text;
    std::string eol; // "\r\n", "\n", or "" for a last line without one
};

struct Document {
    bool bom = false;
    std::vector<Line> lines;
    std::string newline = std::string(kDefaultNewline);

    std::string Serialize() const {
        std::string out;
        if (bom)
            out.append(kBom);
        for (const Line& l : lines) {
            out += l.text;
            out += l.eol;
        }
        return out;
    }
};

Document Split(std::string_view data) {
    Document doc;
    if (data.substr(0, kBom.size()) == kBom) {
        doc.bom = true;
        data.remove_prefix(kBom.size());
    }
    bool styleKnown = false;
    while (!data.empty()) {
        size_t nl = data.find('\n');
        Line line;
        if (nl == std::string_view::npos) {
            line.text = std::string(data);
            data = {};
        } else {
            bool crlf = nl > 0 && data[nl - 1] == '\r';
            line.text = std::string(data.substr(0, crlf ? nl - 1 : nl));
            line.eol = crlf ? "\r\n" : "\n";
            data.remove_prefix(nl + 1);
            if (!styleKnown) {
                doc.newline = line.eol;
                styleKnown = true;
            }
        }
        doc.lines.push_back(std::move(line));
    }
    return doc;
}

enum class ReadResult { Ok, Missing, Failed };

ReadResult ReadWhole(const std::string& path, std::string& data, struct stat* st) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? ReadResult::Missing : ReadResult::Failed;
    struct stat local {};
    if (::fstat(fd, st ? st : &local) != 0 || !S_ISREG((st ? st : &local)->st_mode)) {
        ::close(fd);
        return ReadResult::Failed;
    }
    data.clear();
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ::close(fd);
            return ReadResult::Failed;
        }
        if (n == 0)
            break;
        data.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return ReadResult::Ok;
}

// Lines [begin, end) of one section: the header and everything up to the next one.
struct Range {
    size_t begin;
    size_t end;
};

std::vector<Range> SectionsNamed(const Document& doc, std::string_view section) {
    constexpr size_t kNone = static_cast<size_t>(-1);
    std::vector<Range> found;
    size_t open = kNone;
    for (size_t i = 0; i < doc.lines.size(); ++i) {
        Parsed p = Parse(doc.lines[i].text);
        if (p.kind != LineKind::Section)
            continue;
        if (open != kNone)
            found.push_back({open, i});
        open = SameName(p.name, section) ? i : kNone;
    }
    if (open != kNone)
        found.push_back({open, doc.lines.size()});
    return found;
}

std::optional<std::string> FindValue(const Document& doc, std::string_view section, std::string_view key) {
    for (const Range& r : SectionsNamed(doc, section)) {
        for (size_t i = r.begin + 1; i < r.end; ++i) {
            Parsed p = Parse(doc.lines[i].text);
            if (p.kind == LineKind::Key && SameName(p.name, key))
                return std::string(p.value);
        }
    }
    return std::nullopt;
}

void AddUnique(std::vector<std::string>& names, std::string_view name) {
    for (const std::string& n : names)
        if (SameName(n, name))
            return;
    names.emplace_back(name);
}

// Without a section, the names of all sections; without a key, the names of the
// section's keys. Each appears once, spelt as it first appears.
std::vector<std::string> ListNames(const Document& doc, const char* section) {
    std::vector<std::string> names;
    if (!section) {
        for (const Line& l : doc.lines) {
            Parsed p = Parse(l.text);
            if (p.kind == LineKind::Section)
                AddUnique(names, p.name);
        }
        return names;
    }
    for (const Range& r : SectionsNamed(doc, Trim(section)))
        for (size_t i = r.begin + 1; i < r.end; ++i) {
            Parsed p = Parse(doc.lines[i].text);
            if (p.kind == LineKind::Key)
                AddUnique(names, p.name);
        }
    return names;
}

uint32_t CopyCut(std::string_view value, char* out, uint32_t size) {
    size_t n = value.size() < size - 1 ? value.size() : size - 1;
    std::memcpy(out, value.data(), n);
    out[n] = '\0';
    return static_cast<uint32_t>(n);
}

// Names each followed by '\0', the list by one more. A list too long for the
// buffer is cut and ends in two terminators, and size - 2 is returned.
uint32_t CopyList(const std::vector<std::string>& names, char* out, uint32_t size) {
    std::string list;
    for (const std::string& n : names) {
        list += n;
        list.push_back('\0');
    }
    if (list.size() + 1 <= size) {
        std::memcpy(out, list.data(), list.size());
        out[list.size()] = '\0';
        return static_cast<uint32_t>(list.size());
    }
    if (size < 2) {
        out[0] = '\0';
        return 0;
    }
    std::memcpy(out, list.data(), size - 2);
    out[size - 2] = '\0';
    out[size - 1] = '\0';
    return size - 2;
}

std::string_view Unquote(std::string_view v) {
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"')
        return v.substr(1, v.size() - 2);
    return v;
}

bool LoadForRead(const char* path, Document& doc) {
    if (!path)
        return false;
    std::string data;
    if (ReadWhole(path, data, nullptr) != ReadResult::Ok)
        return false;
    doc = Split(data);
    return true;
}

bool HasLineBreak(std::string_view s) {
    return s.find('\r') != s.npos || s.find('\n') != s.npos;
}

// Names and values that would not read back as written are refused rather than
// written: a line break would inject lines, '=' in a key or ']' in a section name
// would move the split, and a key that starts like a header or comment would vanish.
bool ValidInput(std::string_view section, const char* key, const char* value) {
    if (HasLineBreak(section) || FindAscii(section, ']', 0) != std::string_view::npos)
        return false;
    if (key) {
        std::string_view k = Trim(key);
        if (HasLineBreak(key) || k.find('=') != k.npos)
            return false;
        if (!k.empty() && (k.front() == '[' || k.front() == ';' || k.front() == '#'))
            return false;
    }
    return !(value && HasLineBreak(value));
}

// Gives a line with no terminator one, because another line now follows it.
void Terminate(Document& doc, size_t index) {
    if (index < doc.lines.size() && doc.lines[index].eol.empty())
        doc.lines[index].eol = doc.newline;
}

void Apply(Document& doc, std::string_view section, const char* key, const char* value) {
    std::vector<Range> sections = SectionsNamed(doc, section);
    if (!key) {
        for (auto r = sections.rbegin(); r != sections.rend(); ++r)
            doc.lines.erase(doc.lines.begin() + static_cast<ptrdiff_t>(r->begin),
                            doc.lines.begin() + static_cast<ptrdiff_t>(r->end));
        return;
    }
    std::string_view k = Trim(key);
    if (!value) {
        for (auto r = sections.rbegin(); r != sections.rend(); ++r)
            for (size_t i = r->end; i-- > r->begin + 1;) {
                Parsed p = Parse(doc.lines[i].text);
                if (p.kind == LineKind::Key && SameName(p.name, k))
                    doc.lines.erase(doc.lines.begin() + static_cast<ptrdiff_t>(i));
            }
        return;
    }
    for (const Range& r : sections)
        for (size_t i = r.begin + 1; i < r.end; ++i) {
            Parsed p = Parse(doc.lines[i].text);
            if (p.kind == LineKind::Key && SameName(p.name, k)) {
                // The key keeps the spelling it has in the file.
                doc.lines[i].text = std::string(p.name) + "=" + value;
                return;
            }
        }
    std::string keyLine = std::string(k) + "=" + value;
    if (!sections.empty()) {
        // After the last key of the section, so that comments and blank lines that
        // precede the next section stay with it.
        const Range& r = sections.front();
        size_t after = r.begin;
        for (size_t i = r.begin + 1; i < r.end; ++i)
            if (Parse(doc.lines[i].text).kind == LineKind::Key)
                after = i;
        Terminate(doc, after);
        doc.lines.insert(doc.lines.begin() + static_cast<ptrdiff_t>(after + 1), Line{keyLine, doc.newline});
        return;
    }
    if (!doc.lines.empty())
        Terminate(doc, doc.lines.size() - 1);
    doc.lines.push_back(Line{"[" + std::string(section) + "]", doc.newline});
    doc.lines.push_back(Line{keyLine, doc.newline});
}

// The file a write must replace: a symbolic link is followed, so that the link stays
// and its target receives the content.
std::string WriteTarget(const char* path) {
    struct stat st {};
    if (::lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
        if (char* real = ::realpath(path, nullptr)) {
            std::string target = real;
            std::free(real);
            return target;
        }
    }
    return path;
}

// One writer at a time in this process: each write reads, changes and replaces the
// whole file, so two concurrent writers would each drop the other's change.
std::mutex& WriteMutex() {
    static std::mutex m;
    return m;
}

} // namespace

uint32_t GetProfileString(const char* section, const char* key, const char* def, char* out, uint32_t size,
                          const char* path) {
    if (!out || size == 0)
        return 0;
    Document doc;
    bool loaded = LoadForRead(path, doc);
    if (!section || !key)
        return CopyList(loaded ? ListNames(doc, section) : std::vector<std::string>{}, out, size);
    std::optional<std::string> value;
    if (loaded)
        value = FindValue(doc, Trim(section), Trim(key));
    if (value)
        return CopyCut(Unquote(*value), out, size);
    std::string_view d = def ? def : "";
    while (!d.empty() && (d.back() == ' ' || d.back() == '\t'))
        d.remove_suffix(1);
    return CopyCut(d, out, size);
}

int GetProfileInt(const char* section, const char* key, int def, const char* path) {
    if (!section || !key)
        return def;
    Document doc;
    if (!LoadForRead(path, doc))
        return def;
    std::optional<std::string> found = FindValue(doc, Trim(section), Trim(key));
    if (!found)
        return def;
    std::string_view v = Unquote(*found);
    while (!v.empty() && IsBlank(v.front()))
        v.remove_prefix(1);
    if (v.empty())
        return def;
    bool negative = !v.empty() && v.front() == '-';
    if (negative)
        v.remove_prefix(1);
    // Out-of-range values saturate rather than wrap into an unrelated number.
    long long magnitude = 0;
    const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
    for (char c : v) {
        if (c < '0' || c > '9')
            break;
        magnitude = magnitude * 10 + (c - '0');
        if (magnitude > limit) {
            magnitude = limit;
            break;
        }
    }
    return static_cast<int>(negative ? -magnitude : magnitude);
}

bool WriteProfileString(const char* section, const char* key, const char* value, const char* path) {
    if (!section || !path || !*path)
        return false;
    if (!ValidInput(section, key, value))
        return false;
    std::string_view s = Trim(section);

    std::lock_guard<std::mutex> lock(WriteMutex());
    std::string target = WriteTarget(path);
    std::string data;
    struct stat st {};
    ReadResult read = ReadWhole(target, data, &st);
    if (read == ReadResult::Failed)
        return false;
    Document doc = Split(data);
    Apply(doc, s, key, value);
    std::string updated = doc.Serialize();
    // Nothing to change (also: removing from a file that does not exist) needs no
    // write, and must not create the file.
    if (updated == data)
        return true;
    return ReplaceFile(target, updated, read == ReadResult::Ok ? &st : nullptr);
}

bool WriteProfileStrings(const char* section, const std::vector<std::pair<std::string, std::string>>& values,
                         const char* path) {
    if (!section || !path || !*path)
        return false;
    for (const auto& [key, value] : values)
        if (!ValidInput(section, key.c_str(), value.c_str()))
            return false;
    std::string_view s = Trim(section);

    std::lock_guard<std::mutex> lock(WriteMutex());
    std::string target = WriteTarget(path);
    std::string data;
    struct stat st {};
    ReadResult read = ReadWhole(target, data, &st);
    if (read == ReadResult::Failed)
        return false;
    Document doc = Split(data);
    for (const auto& [key, value] : values)
        Apply(doc, s, key.c_str(), value.c_str());
    std::string updated = doc.Serialize();
    if (updated == data)
        return true;
    return ReplaceFile(target, updated, read == ReadResult::Ok ? &st : nullptr);
}

} // namespace platform
