#include "tools/pack/DeploymentConfig.h"

#include "app/EmbeddedConfigBlock.h"
#include "app/ProgramVersion.h"
#include "engine/piece/TTorrent.h"
#include "platform/Paths.h"

#include <json/json.h>

#include <fstream>
#include <initializer_list>
#include <memory>
#include <sstream>

namespace {

// The longest text whose Base64 form, with its terminator, fits a slot.
constexpr size_t kMaxSlotText = (embedded::kSlotSize - 1) / 4 * 3;

std::string Quoted(const std::string& key) {
    return "\"" + key + "\"";
}

// Every member of object must be one of allowed.
void CheckKeys(const Json::Value& object, const std::string& where,
               std::initializer_list<const char*> allowed) {
    for (const std::string& name : object.getMemberNames()) {
        bool known = false;
        for (const char* a : allowed)
            known = known || name == a;
        if (!known)
            throw PackError(where + ": unknown key " + Quoted(name));
    }
}

const Json::Value& Member(const Json::Value& object, const char* key, const std::string& where,
                          bool required) {
    static const Json::Value kNull;
    if (!object.isMember(key)) {
        if (required)
            throw PackError(where + ": " + Quoted(key) + " is missing");
        return kNull;
    }
    return object[key];
}

std::string Path(const std::string& where, const char* key) {
    return where.empty() ? key : where + "." + key;
}

// A single-line text without control characters; with noBlanks also without spaces
// (URLs).
std::string Text(const Json::Value& v, const std::string& key, size_t maxLength, bool noBlanks) {
    if (!v.isString())
        throw PackError(key + ": must be a string");
    std::string s = v.asString();
    if (s.empty())
        throw PackError(key + ": must not be empty");
    for (unsigned char c : s) {
        if (c < 0x20 || c == 0x7f)
            throw PackError(key + ": must not contain control characters");
        if (noBlanks && c == ' ')
            throw PackError(key + ": must not contain blanks");
    }
    if (s.size() > maxLength)
        throw PackError(key + ": " + std::to_string(s.size()) + " bytes, at most " +
                        std::to_string(maxLength) + " fit");
    return s;
}

std::vector<std::string> TextList(const Json::Value& v, const std::string& key, size_t maxLength,
                                  bool needOne) {
    if (!v.isArray())
        throw PackError(key + ": must be an array of strings");
    if (needOne && v.empty())
        throw PackError(key + ": needs at least one entry");
    std::vector<std::string> out;
    for (Json::ArrayIndex i = 0; i < v.size(); ++i)
        out.push_back(Text(v[i], key + "[" + std::to_string(i) + "]", maxLength, true));
    return out;
}

bool IsWholeNumber(const Json::Value& v) {
    return v.type() == Json::intValue || v.type() == Json::uintValue;
}

std::string LocalPath(const Json::Value& v, const std::string& key, const std::string& base) {
    std::string p = Text(v, key, 4096, false);
    return p.front() == platform::kPathSeparator ? p : platform::JoinPath(base, p);
}

bool IsMd5Text(const std::string& s) {
    if (s.size() != 32)
        return false;
    for (char c : s) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

PackageFileEntry ReadPackageFile(const Json::Value& v, const std::string& where, const std::string& base) {
    if (!v.isObject())
        throw PackError(where + ": must be an object");
    CheckKeys(v, where, {"url", "name", "path", "size", "md5", "torrent"});
    PackageFileEntry f;
    f.url = Text(Member(v, "url", where, true), Path(where, "url"), kMaxSlotText, true);
    f.name = Text(Member(v, "name", where, true), Path(where, "name"), kMaxSlotText, false);
    // The name becomes a file in the save folder and the name inside the torrent.
    if (!TTorrent::IsPlainName(f.name))
        throw PackError(Path(where, "name") +
                        ": must be a plain file name (no folders, not \".\" or \"..\")");

    const bool hasPath = v.isMember("path");
    const int given = int(v.isMember("size")) + int(v.isMember("md5")) + int(v.isMember("torrent"));
    if (hasPath == (given != 0) || (!hasPath && given != 3))
        throw PackError(where + ": give either \"path\" or all of \"size\", \"md5\" and \"torrent\"");
    if (hasPath) {
        f.path = LocalPath(v["path"], Path(where, "path"), base);
        return f;
    }
    const Json::Value& size = v["size"];
    if (!IsWholeNumber(size) || !size.isUInt64() || size.asUInt64() == 0)
        throw PackError(Path(where, "size") + ": must be a whole number of bytes above 0");
    f.size = size.asUInt64();
    if (!v["md5"].isString() || !IsMd5Text(v["md5"].asString()))
        throw PackError(Path(where, "md5") + ": must be 32 lower-case hexadecimal digits");
    f.md5 = v["md5"].asString();
    f.torrentPath = LocalPath(v["torrent"], Path(where, "torrent"), base);
    return f;
}

Json::Value Parse(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw PackError("--deployment: cannot read " + file);
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad())
        throw PackError("--deployment: cannot read " + file);
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    const std::string data = text.str();
    Json::Value root;
    std::string errors;
    if (!reader->parse(data.data(), data.data() + data.size(), &root, &errors))
        throw PackError(file + ": not valid JSON: " + errors);
    return root;
}

} // namespace

DeploymentConfig DeploymentConfig::Load(const std::string& file) {
    const Json::Value root = Parse(file);
    if (!root.isObject())
        throw PackError(file + ": the top level must be an object");
    std::string base = platform::FolderOf(file);
    if (base.empty())
        base = ".";
    CheckKeys(root, "deployment",
              {"resourceList", "files", "trackers", "pieceLength", "statistics", "version"});

    DeploymentConfig d;
    d.resourceList =
        Text(Member(root, "resourceList", "deployment", true), "resourceList", kMaxSlotText, true);

    const Json::Value& files = Member(root, "files", "deployment", true);
    if (!files.isArray() || files.size() != kFiles)
        throw PackError("files: must be an array of exactly " + std::to_string(kFiles) + " package files");
    for (int i = 0; i < kFiles; ++i) {
        const std::string where = "files[" + std::to_string(i) + "]";
        d.files[i] = ReadPackageFile(files[Json::ArrayIndex(i)], where, base);
        for (int j = 0; j < i; ++j) {
            if (d.files[j].name == d.files[i].name)
                throw PackError(where + ".name: the same as files[" + std::to_string(j) + "].name");
            // The torrents are released under the digest's text.
            if (!d.files[i].md5.empty() && d.files[j].md5 == d.files[i].md5)
                throw PackError(where + ".md5: the same as files[" + std::to_string(j) + "].md5");
        }
    }

    if (root.isMember("trackers"))
        d.trackers = TextList(root["trackers"], "trackers", 4096, false);
    if (root.isMember("pieceLength")) {
        const Json::Value& v = root["pieceLength"];
        const bool number = IsWholeNumber(v) && v.isInt();
        const int64_t n = number ? v.asInt64() : 0;
        if (!number || n < 16384 || n > TTorrent::kMaxPieceLength || (n & (n - 1)) != 0)
            throw PackError("pieceLength: must be a power of two from 16384 to " +
                            std::to_string(TTorrent::kMaxPieceLength));
        d.pieceLength = static_cast<int32_t>(n);
    }

    const Json::Value& stats = Member(root, "statistics", "deployment", true);
    if (!stats.isObject())
        throw PackError("statistics: must be an object");
    CheckKeys(stats, "statistics", {"submitUrls", "batchSubmitUrls"});
    d.submitUrls = TextList(Member(stats, "submitUrls", "statistics", true), "statistics.submitUrls",
                            kMaxSubmitUrl, true);
    d.batchSubmitUrls = TextList(Member(stats, "batchSubmitUrls", "statistics", true),
                                 "statistics.batchSubmitUrls", kMaxSubmitUrl, true);

    if (root.isMember("version")) {
        const Json::Value& v = root["version"];
        if (!v.isString() || !ProgramVersion::Parse(v.asString(), d.version))
            throw PackError("version: must be \"a.b.c.d\", four numbers from 0 to 65535");
        d.hasVersion = true;
    }
    return d;
}
