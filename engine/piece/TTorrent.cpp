#include "engine/piece/TTorrent.h"

#include "engine/bencode/Bencode.h"
#include "engine/bencode/QElement.h"
#include "engine/bencode/QMultiElement.h"
#include "engine/core/QSha1.h"
#include "platform/AsciiText.h"
#include "platform/Paths.h"

#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <system_error>

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// Values of a dictionary entry. An integer-valued entry is its key element carrying the
// integer, so a string value is only one that carries none.
const QElement* StringValue(const QElement& dict, const char* key) {
    const QElement* e = dict.FindValue(key, -1);
    if (e == nullptr || e->Kind() != QElement::kStringKind || !e->IsValid() || e->HasInteger()) {
        return nullptr;
    }
    return e;
}

bool IntegerValue(const QElement& dict, const char* key, int64_t& out) {
    const QElement* e = dict.FindValue(key, -1);
    if (e == nullptr || e->Kind() != QElement::kStringKind || !e->HasInteger()) {
        return false;
    }
    out = e->Integer();
    return true;
}

const QElement* ContainerValue(const QElement& dict, const char* key, int kind) {
    const QElement* e = dict.FindValue(key, -1);
    if (e == nullptr || e->Kind() != kind || !e->IsValid()) {
        return nullptr;
    }
    return e;
}

using platform::EqualsNoCase;

int32_t CodePageOfEncoding(std::string_view encoding) {
    if (EqualsNoCase(encoding, "GBK")) {
        return 936;
    }
    if (EqualsNoCase(encoding, "BIG5")) {
        return 950;
    }
    if (EqualsNoCase(encoding, "KOR")) {
        return 949;
    }
    if (EqualsNoCase(encoding, "Shift-JIS")) {
        return 932;
    }
    return 0;
}

bool IsGbkLead(unsigned char c) {
    return c >= 0x81 && c <= 0xFE;
}

bool IsGbkTrail(unsigned char c) {
    return (c >= 0x40 && c <= 0x7E) || (c >= 0x80 && c <= 0xFE);
}

// The characters the file layer will not put in a path. None of them can be the second
// byte of a GBK character, so bytes are replaced one by one.
std::string Sanitised(std::string name) {
    for (char& c : name) {
        if (c == '?' || c == '\r' || c == '\n') {
            c = '_';
        }
    }
    return name;
}

std::string WithSeparator(std::string folder) {
    if (!folder.empty() && !platform::EndsWithSeparator(folder)) {
        folder.push_back(platform::kPathSeparator);
    }
    return folder;
}

// The folder a multi-file download goes into: when the task's folder already is the
// download's own folder, its files are placed beside it under the name again.
std::string MultiFileBase(const std::string& folder, const std::string& name) {
    std::string base = folder;
    while (base.size() > 1 && platform::EndsWithSeparator(base)) {
        base.pop_back();
    }
    if (!base.empty() && platform::FileNameOf(base) == name) {
        return platform::FolderOf(base);
    }
    return WithSeparator(folder);
}

bool PieceCountMatches(uint64_t total, int32_t pieceLength, int32_t pieceCount) {
    const uint64_t length = static_cast<uint64_t>(pieceLength);
    const uint64_t needed = total / length + (total % length != 0 ? 1 : 0);
    return needed == static_cast<uint64_t>(pieceCount);
}

// Adds length to total unless the sum leaves the range every 64-bit offset of the
// download must fit in.
bool AddSize(uint64_t& total, int64_t length) {
    const auto limit = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    const auto add = static_cast<uint64_t>(length);
    if (add > limit - total) {
        return false;
    }
    total += add;
    return true;
}

// A decimal number made of digits only, positive and within 64 bits.
bool ParsePositive(std::string_view digits, int64_t& out) {
    if (digits.empty()) {
        return false;
    }
    int64_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') {
            return false;
        }
        const int d = c - '0';
        if (value > (std::numeric_limits<int64_t>::max() - d) / 10) {
            return false;
        }
        value = value * 10 + d;
    }
    if (value <= 0) {
        return false;
    }
    out = value;
    return true;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// The text between marker and the next marker, each searched after the previous one.
bool TemplateField(std::string_view text, size_t& pos, std::string_view marker, std::string_view next,
                   std::string_view& field) {
    const size_t start = text.find(marker, pos);
    if (start == std::string_view::npos) {
        return false;
    }
    const size_t begin = start + marker.size();
    const size_t end = text.find(next, begin);
    if (end == std::string_view::npos) {
        return false;
    }
    field = text.substr(begin, end - begin);
    pos = end;
    return true;
}

} // namespace

// Texts are GBK by now, where a backslash can be the second byte of a character; only a
// backslash that stands alone would be a separator to a reader that splits at either.
bool TTorrent::IsPlainName(std::string_view name) {
    if (name.empty() || name == "." || name == "..") {
        return false;
    }
    for (size_t i = 0; i < name.size(); ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (IsGbkLead(c) && i + 1 < name.size() && IsGbkTrail(static_cast<unsigned char>(name[i + 1]))) {
            ++i;
            continue;
        }
        if (c == 0 || c == '/' || c == '\\') {
            return false;
        }
    }
    return true;
}

bool TTorrent::Load(const TTorrentTarget& target) {
    const size_t end = source_.find("$End$");
    if (end != std::string::npos && end > 0) {
        SetPhase(kPhaseLoading);
        Clear();
        const bool ok = LoadTemplate(target);
        if (!ok) {
            Clear();
        }
        SetPhase(kPhaseRunning);
        return ok;
    }
    return ParseTorrentData(target);
}

bool TTorrent::ParseTorrentData(const TTorrentTarget& target) {
    if (torrentData_.empty()) {
        return false;
    }
    SetPhase(kPhaseLoading);
    Clear();
    bool ok = false;
    if (torrentData_[0] == 'd' || torrentData_[0] == 'D') {
        // The tree points into torrentData_, which the info hash is taken from; nothing
        // may change the data while the tree lives.
        std::unique_ptr<QElement> root = ParseElement(torrentData_.data(), torrentData_.size());
        if (root) {
            ok = Parse(*root, target);
        }
    }
    SetPhase(kPhaseRunning);
    return ok;
}

bool TTorrent::Parse(QElement& root, const TTorrentTarget& target) {
    Clear();
    if (root.Kind() != QElement::kDictionaryKind || !root.IsValid()) {
        return false;
    }

    codePage_ = preferredCodePage_;
    if (codePage_ == 0) {
        int64_t number = 0;
        if (IntegerValue(root, "codepage", number)) {
            // Code pages are 16-bit numbers; anything else reads as "the program's own".
            codePage_ = number > 0 && number <= 0xFFFF ? static_cast<int32_t>(number) : 0;
        } else if (const QElement* encoding = StringValue(root, "encoding")) {
            codePage_ = CodePageOfEncoding(encoding->RawText());
        }
    }
    if (codePage_ != 0 && codePage_ != QElement::DefaultCodePage()) {
        // From here on Text() hands every string over in the program's code page.
        root.SetCodePage(codePage_);
    }

    if (const QElement* announce = StringValue(root, "announce")) {
        announce_ = TrimTracker(announce->Text());
        AddTracker(announce_);
    }
    if (const QElement* list = ContainerValue(root, "announce-list", QElement::kListKind)) {
        WalkAnnounceList(*list, 0);
    }
    if (const QElement* e = StringValue(root, "comment")) {
        comment_ = e->Text();
    }
    if (const QElement* e = StringValue(root, "publisher")) {
        publisher_ = e->Text();
    }
    if (const QElement* e = StringValue(root, "publisher-url")) {
        publisherUrl_ = e->Text();
    }
    IntegerValue(root, "creation date", creationDate_);

    const QElement* info = ContainerValue(root, "info", QElement::kDictionaryKind);
    if (info == nullptr) {
        Clear();
        return false;
    }
    // The swarm is named by the bytes as the torrent's author wrote them; a tree built in
    // memory has no such bytes and is hashed in its encoded form.
    std::string encoded;
    std::string_view bytes = info->SourceBytes();
    if (bytes.empty()) {
        if (!Encode(info, encoded)) {
            Clear();
            return false;
        }
        bytes = encoded;
    }
    uint8_t digest[kSha1DigestSize];
    Sha1Digest(bytes.data(), bytes.size(), digest);
    SetInfoHash(digest);

    if (publisher_.empty()) {
        if (const QElement* e = StringValue(*info, "publisher")) {
            publisher_ = e->Text();
        }
    }
    if (publisherUrl_.empty()) {
        if (const QElement* e = StringValue(*info, "publisher-url")) {
            publisherUrl_ = e->Text();
        }
    }

    TFileLayout layout;
    if (!BuildFileSet(*info, target, layout)) {
        Clear();
        return false;
    }
    fileSet_ = std::move(layout);
    return true;
}

bool TTorrent::BuildFileSet(const QElement& info, const TTorrentTarget& target, TFileLayout& out) const {
    if (info.Kind() != QElement::kDictionaryKind || !info.IsValid()) {
        return false;
    }
    TFileLayout layout;
    std::string name;
    if (const QElement* e = StringValue(info, "name")) {
        name = e->Text();
    }
    if (name.empty()) {
        name = kUnnamedFile;
    }
    // The name is the download's own file or folder: one plain element, never a path.
    if (!IsPlainName(name)) {
        return false;
    }
    name = Sanitised(std::move(name));
    layout.name = name;

    int64_t pieceLength = 0;
    if (!IntegerValue(info, "piece length", pieceLength) || pieceLength <= 0 ||
        pieceLength > kMaxPieceLength) {
        return false;
    }
    layout.pieceLength = static_cast<int32_t>(pieceLength);
    const QElement* pieces = StringValue(info, "pieces");
    if (pieces == nullptr) {
        return false;
    }
    const std::string_view hashes = pieces->RawText();
    if (hashes.size() < kSha1DigestSize || hashes.size() % kSha1DigestSize != 0) {
        return false;
    }
    layout.pieceHashes.assign(hashes.data(), hashes.size());
    layout.pieceCount = static_cast<int32_t>(hashes.size() / kSha1DigestSize);

    std::vector<std::string> directories;
    int64_t singleLength = 0;
    if (info.FindValue("length", -1) != nullptr) {
        if (!IntegerValue(info, "length", singleLength) || singleLength <= 0) {
            return false;
        }
        layout.folder = WithSeparator(target.folder);
        TLayoutFile file;
        file.relativeName = name;
        file.path = target.targetFile.empty() ? layout.folder + name : target.targetFile;
        file.size = static_cast<uint64_t>(singleLength);
        file.startOffset = 0;
        file.index = 0;
        layout.files.push_back(std::move(file));
        layout.totalSize = static_cast<uint64_t>(singleLength);
    } else {
        const QElement* files = ContainerValue(info, "files", QElement::kListKind);
        if (files == nullptr || files->Count() == 0) {
            return false;
        }
        layout.folder = MultiFileBase(target.folder, name);
        std::unordered_set<std::string> seen;
        uint64_t offset = 0;
        for (const QElement* entry = files->ChildAt(0); entry != nullptr; entry = files->NextSibling(entry)) {
            int64_t length = 0;
            const QElement* path = entry->Kind() == QElement::kDictionaryKind
                                       ? ContainerValue(*entry, "path", QElement::kListKind)
                                       : nullptr;
            if (path == nullptr || !IntegerValue(*entry, "length", length) || length < 0 ||
                path->Count() == 0) {
                break;
            }
            // The relative name joins the elements with '/', the one separator here; it
            // keys the resume records, so the same torrent always gives the same names.
            std::string relative = name;
            bool directory = false;
            const int count = path->Count();
            for (int i = 0; i < count; ++i) {
                const QElement* part = path->ChildAt(i);
                if (part == nullptr || part->Kind() != QElement::kStringKind || part->HasInteger()) {
                    return false;
                }
                const std::string text = part->Text();
                if (text.empty() && i == count - 1) {
                    // A trailing empty element marks a folder of its own.
                    directory = true;
                    break;
                }
                if (!IsPlainName(text)) {
                    return false;
                }
                relative.push_back(platform::kPathSeparator);
                relative += Sanitised(text);
            }
            if (directory) {
                if (length != 0) {
                    break;
                }
                directories.push_back(layout.folder + relative);
                continue;
            }
            // Two entries for one file would write two contents into it.
            if (!seen.insert(relative).second) {
                return false;
            }
            TLayoutFile file;
            file.path = layout.folder + relative;
            file.relativeName = std::move(relative);
            file.size = static_cast<uint64_t>(length);
            file.startOffset = offset;
            file.index = static_cast<int32_t>(layout.files.size());
            if (!AddSize(offset, length)) {
                return false;
            }
            layout.files.push_back(std::move(file));
        }
        if (layout.files.empty()) {
            return false;
        }
        layout.totalSize = offset;
    }

    // Every piece but the last is whole: a hash list that disagrees with the size would
    // leave pieces that can never be verified, or data that no piece covers.
    if (!PieceCountMatches(layout.totalSize, layout.pieceLength, layout.pieceCount)) {
        return false;
    }

    if (target.createDirectories) {
        for (const std::string& dir : directories) {
            std::error_code ec;
            // A folder that cannot be made now is made when its first file is written.
            std::filesystem::create_directories(dir, ec);
        }
    }
    out = std::move(layout);
    return true;
}

bool TTorrent::LoadTemplate(const TTorrentTarget& target) {
    const std::string_view text = source_;
    size_t pos = 0;
    std::string_view hash;
    std::string_view size;
    std::string_view length;
    std::string_view tracker;
    if (!TemplateField(text, pos, "$Hash$", "$Size$", hash) ||
        !TemplateField(text, pos, "$Size$", "$Length$", size) ||
        !TemplateField(text, pos, "$Length$", "$Tracker$", length) ||
        !TemplateField(text, pos, "$Tracker$", "$End$", tracker)) {
        return false;
    }
    if (hash.size() != 2 * kSha1DigestSize) {
        return false;
    }
    uint8_t digest[kSha1DigestSize];
    for (size_t i = 0; i < kSha1DigestSize; ++i) {
        const int high = HexValue(hash[2 * i]);
        const int low = HexValue(hash[2 * i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        digest[i] = static_cast<uint8_t>(high << 4 | low);
    }
    int64_t totalSize = 0;
    int64_t pieceLength = 0;
    if (!ParsePositive(size, totalSize) || !ParsePositive(length, pieceLength) ||
        pieceLength > kMaxPieceLength) {
        return false;
    }
    const int64_t pieceCount = totalSize / pieceLength + (totalSize % pieceLength != 0 ? 1 : 0);
    if (pieceCount > std::numeric_limits<int32_t>::max()) {
        return false;
    }

    SetInfoHash(digest);
    std::string url(tracker);
    const size_t scheme = url.find("$$$");
    if (scheme != std::string::npos) {
        url.replace(scheme, 3, "://");
    }
    announce_ = url;
    AddTracker(url);

    TFileLayout layout;
    layout.pieceLength = static_cast<int32_t>(pieceLength);
    layout.pieceCount = static_cast<int32_t>(pieceCount);
    layout.totalSize = static_cast<uint64_t>(totalSize);
    layout.folder = WithSeparator(target.folder);
    TLayoutFile file;
    if (target.targetFile.empty()) {
        file.relativeName = kTemplateFile;
        file.path = layout.folder + kTemplateFile;
    } else {
        file.relativeName = platform::FileNameOf(target.targetFile);
        file.path = target.targetFile;
    }
    layout.name = file.relativeName;
    file.size = layout.totalSize;
    layout.files.push_back(std::move(file));
    fileSet_ = std::move(layout);
    return true;
}

void TTorrent::Clear() {
    codePage_ = 0;
    announce_.clear();
    publisher_.clear();
    publisherUrl_.clear();
    comment_.clear();
    creationDate_ = 0;
    infoHash_.fill(0);
    infoHashEscaped_.clear();
    infoHashHex_.clear();
    trackers_.clear();
    knownTrackers_.clear();
    fileSet_ = TFileLayout();
}

std::string TTorrent::TrimTracker(std::string_view url) {
    // A 0 byte would cut the URL short wherever it is handed on as a C string.
    url = url.substr(0, url.find('\0'));
    const size_t start = url.find_first_of("hHuU");
    if (start == std::string_view::npos) {
        return {};
    }
    url.remove_prefix(start);
    while (!url.empty() &&
           (url.back() == '|' || url.back() == ' ' || url.back() == '\t' || url.back() == '\r' ||
            url.back() == '\n' || url.back() == '\v' || url.back() == '\f')) {
        url.remove_suffix(1);
    }
    if (url.size() < 2) {
        return {};
    }
    return std::string(url);
}

void TTorrent::SetPhase(int phase) const {
    if (phaseCallback_) {
        phaseCallback_(phase);
    }
}

void TTorrent::AddTracker(const std::string& url) {
    if (url.empty() || !knownTrackers_.insert(url).second) {
        return;
    }
    trackers_.push_back(url);
}

void TTorrent::WalkAnnounceList(const QElement& list, int depth) {
    if (depth > QMultiElement::kMaxDepth) {
        return;
    }
    for (const QElement* e = list.ChildAt(0); e != nullptr; e = list.NextSibling(e)) {
        if (e->Kind() == QElement::kListKind) {
            WalkAnnounceList(*e, depth + 1);
            continue;
        }
        if (e->Kind() != QElement::kStringKind) {
            continue;
        }
        const std::string text = e->Text();
        if (text == "tracker") {
            continue;
        }
        if (text == "name") {
            return;
        }
        AddTracker(TrimTracker(text));
    }
}

void TTorrent::SetInfoHash(const uint8_t* digest) {
    infoHashHex_.clear();
    infoHashEscaped_.clear();
    for (size_t i = 0; i < kSha1DigestSize; ++i) {
        const uint8_t b = digest[i];
        infoHash_[i] = b;
        const char high = kHexDigits[b >> 4];
        const char low = kHexDigits[b & 0x0F];
        infoHashHex_.push_back(high);
        infoHashHex_.push_back(low);
        const bool plain = (b >= '0' && b <= '9') || (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z');
        if (plain) {
            infoHashEscaped_.push_back(static_cast<char>(b));
        } else {
            infoHashEscaped_.push_back('%');
            infoHashEscaped_.push_back(high);
            infoHashEscaped_.push_back(low);
        }
    }
}
