#include "engine/piece/TResumeInfo.h"

#include "engine/bencode/Bencode.h"
#include "engine/bencode/QDictionaryElement.h"
#include "platform/AtomicFile.h"
#include "platform/Paths.h"

#include <fstream>
#include <memory>
#include <sstream>

namespace {
void Put(QElement& dict, const char* key, const std::string& value) {
    if (value.empty())
        return;
    dict.AddString(key, -1, 0, false);
    dict.AddString(value.data(), static_cast<int>(value.size()), 0, false);
}

std::string Get(const QElement& dict, const char* key) {
    const QElement* v = dict.FindValue(key, -1);
    if (!v || v->Kind() != QElement::kStringKind || v->TextLength() <= 2)
        return {};
    return std::string(v->RawText());
}
} // namespace

void TResumeInfo::Clear() {
    torrent.clear();
    part.clear();
    bits.clear();
    seeds.clear();
    MarkSaved();
}

void TResumeInfo::MarkSaved() {
    savedTorrent_ = torrent;
    savedPart_ = part;
    savedBits_ = bits;
    savedSeeds_ = seeds;
}

bool TResumeInfo::Dirty() const {
    return torrent != savedTorrent_ || part != savedPart_ || bits != savedBits_ || seeds != savedSeeds_;
}

std::string TResumeInfo::Encode() const {
    QDictionaryElement root;
    Put(root, "bits", bits);
    Put(root, "part", part);
    Put(root, "seeds", seeds);
    Put(root, "torrent", torrent);
    std::string out;
    ::Encode(&root, out);
    return out;
}

bool TResumeInfo::Decode(const std::string& data) {
    torrent.clear();
    part.clear();
    bits.clear();
    seeds.clear();
    std::unique_ptr<QElement> root = ParseElement(data.data(), data.size());
    if (!root || root->Kind() != QElement::kDictionaryKind)
        return false;
    bits = Get(*root, "bits");
    part = Get(*root, "part");
    seeds = Get(*root, "seeds");
    torrent = Get(*root, "torrent");
    return true;
}

bool TResumeInfo::Load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    bool ok = false;
    if (in) {
        std::ostringstream s;
        s << in.rdbuf();
        ok = Decode(s.str());
    } else {
        Decode({});
    }
    MarkSaved();
    return ok;
}

bool TResumeInfo::Save(const std::string& path) {
    if (path.empty())
        return false;
    if (!Dirty() && platform::PathExists(path))
        return true;
    const std::string folder = platform::FolderOf(path);
    if (!folder.empty() && !platform::IsDirectory(folder))
        platform::CreateFolder(folder);
    if (!platform::ReplaceFile(path, Encode()))
        return false;
    MarkSaved();
    return true;
}
