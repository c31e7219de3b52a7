#include "engine/piece/TPieces.h"

#include "engine/bencode/Bencode.h"
#include "engine/bencode/QDictionaryElement.h"
#include "engine/bencode/QIntegerElement.h"
#include "engine/bencode/QListElement.h"
#include "engine/core/QAdler32.h"
#include "engine/core/QSha1.h"
#include "platform/AtomicFile.h"
#include "platform/Disk.h"
#include "platform/Paths.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

TPieces::TPieces(TPiecesHost* host) : host_(host), files_(host) {}

TPieces::~TPieces() {
    files_.CloseAll();
}

bool TPieces::CommitLayout(const TFileLayout& layout, const InfoHash& infoHash, const Options& options) {
    pieces_.clear();
    bitfield_.clear();
    buffered_.clear();
    pieceCount_ = 0;
    doneBytes_ = 0;
    piecesDone_ = 0;
    // Blocks are numbered over the whole download, so a piece must hold whole blocks
    // (but its last one): with any other length some bytes could never be requested.
    if (layout.pieceLength <= 0 || layout.pieceLength % kBlockSize != 0 || layout.totalSize == 0 ||
        layout.files.empty())
        return false;
    const uint64_t length = static_cast<uint64_t>(layout.pieceLength);
    const uint64_t count = (layout.totalSize + length - 1) / length;
    // Exactly enough pieces for the size, and one hash for each when there are hashes.
    if (count == 0 || count > 0x7fffffffu || static_cast<uint64_t>(layout.pieceCount) != count ||
        count * length - layout.totalSize >= length)
        return false;
    if (!layout.pieceHashes.empty() && layout.pieceHashes.size() != count * kSha1DigestSize)
        return false;
    uint64_t sum = 0;
    for (const TLayoutFile& f : layout.files) {
        if (f.startOffset != sum || f.size > layout.totalSize - sum)
            return false;
        sum += f.size;
    }
    if (sum != layout.totalSize)
        return false;

    options_ = options;
    name_ = layout.name;
    pieceLength_ = layout.pieceLength;
    pieceCount_ = static_cast<int32_t>(count);
    total_ = layout.totalSize;
    hashes_ = layout.pieceHashes;
    infoHash_ = infoHash;
    pieces_.resize(count);
    for (int32_t i = 0; i < pieceCount_; ++i) {
        TPiece& p = pieces_[static_cast<size_t>(i)];
        p.index = i;
        p.length = PieceSize(i);
        p.expectedHash =
            hashes_.empty() ? nullptr : reinterpret_cast<const uint8_t*>(hashes_.data()) + 20 * i;
    }
    bitfield_.assign((static_cast<size_t>(pieceCount_) + 7) / 8, 0);
    files_.Build(layout, options.temporaryNaming);
    // A piece lying only in excluded files is never needed.
    for (TPiece& p : pieces_) {
        const uint64_t start = PieceOffset(p.index), end = start + static_cast<uint64_t>(p.length);
        bool anyIncluded = false;
        for (const auto& item : files_.Items())
            if (!item.Excluded() && item.startOffset < end && item.startOffset + item.size > start)
                anyIncluded = true;
        p.skipped = !anyIncluded;
    }
    if (host_) {
        host_->OnLayoutCommitted(pieceCount_, name_);
        host_->OnRecord(1000, BuildFileSelectionRecord());
    }
    return true;
}

int32_t TPieces::PieceSize(int i) const {
    if (!ValidPiece(i))
        return 0;
    if (i == pieceCount_ - 1)
        return static_cast<int32_t>(total_ - PieceOffset(i));
    return pieceLength_;
}

bool TPieces::HasPiece(int i) const {
    return ValidPiece(i) && (bitfield_[static_cast<size_t>(i) / 8] & (0x80 >> (i % 8)));
}

bool TPieces::PieceNeeded(int i) const {
    return ValidPiece(i) && !pieces_[static_cast<size_t>(i)].skipped && !HasPiece(i);
}

void TPieces::DiscardBuffered(int i) {
    if (!ValidPiece(i) || HasPiece(i))
        return;
    TPiece& p = pieces_[static_cast<size_t>(i)];
    p.buffer.clear();
    p.inMemoryComplete = false;
    p.creditSource.reset();
    p.creditBytes = 0;
}

bool TPieces::PieceInfo(int i, int32_t& size, int32_t& firstMissing) const {
    if (!ValidPiece(i))
        return false;
    const TPiece& p = pieces_[static_cast<size_t>(i)];
    size = p.length;
    firstMissing = HasPiece(i) ? p.length : p.ContiguousEnd();
    return true;
}

bool TPieces::HasBlock(uint32_t block) const {
    if (!Usable())
        return false;
    const uint64_t at = static_cast<uint64_t>(block) * kBlockSize;
    const int i = static_cast<int>(at / static_cast<uint64_t>(pieceLength_));
    if (!ValidPiece(i))
        return false;
    if (HasPiece(i))
        return true;
    const TPiece& p = pieces_[static_cast<size_t>(i)];
    const int32_t offset = static_cast<int32_t>(at - PieceOffset(i));
    return offset < p.storedBytes || p.HasBufferedBlockAt(offset);
}

int32_t TPieces::BlockLength(uint32_t block) const {
    if (!Usable())
        return 0;
    const uint64_t at = static_cast<uint64_t>(block) * kBlockSize;
    const int i = static_cast<int>(at / static_cast<uint64_t>(pieceLength_));
    if (!ValidPiece(i))
        return 0;
    const int32_t offset = static_cast<int32_t>(at - PieceOffset(i));
    return std::min(kBlockSize, PieceSize(i) - offset);
}

void TPieces::SetBit(int i, bool on) {
    uint8_t& b = bitfield_[static_cast<size_t>(i) / 8];
    const uint8_t mask = static_cast<uint8_t>(0x80 >> (i % 8));
    b = on ? static_cast<uint8_t>(b | mask) : static_cast<uint8_t>(b & ~mask);
}

bool TPieces::Verify(TPiece& p) {
    if (!p.expectedHash)
        return true;
    Sha1Context ctx = p.hashState;
    int32_t at = p.storedBytes;
    for (auto it = p.buffer.lower_bound(at); it != p.buffer.end() && it->first == at;
         it = p.buffer.lower_bound(at)) {
        ctx.Input(it->second.data(), it->second.size());
        at += static_cast<int32_t>(it->second.size());
    }
    if (at != p.length)
        return false;
    uint8_t digest[kSha1DigestSize];
    ctx.Result(digest);
    return std::memcmp(digest, p.expectedHash, kSha1DigestSize) == 0;
}

void TPieces::ApplyPieceDone(TPiece& p) {
    if (HasPiece(p.index))
        return;
    SetBit(p.index, true);
    ++piecesDone_;
    doneBytes_ += static_cast<uint64_t>(p.length);
    if (host_) {
        host_->OnPieceVerified(p.index);
        host_->OnProgress(doneBytes_, total_);
    }
}

void TPieces::MarkVerified(TPiece& p) {
    p.verified = true;
    p.inMemoryComplete = p.storedBytes < p.length;
    if (!p.inMemoryComplete)
        p.buffer.clear();
    ApplyPieceDone(p);
}

void TPieces::ResetPiece(TPiece& p) {
    const bool had = HasPiece(p.index);
    p.Clear();
    if (had) {
        SetBit(p.index, false);
        --piecesDone_;
        doneBytes_ -= static_cast<uint64_t>(p.length);
        if (host_) {
            host_->OnPieceLost(p.index);
            host_->OnProgress(doneBytes_, total_);
        }
    }
}

int TPieces::WriteBlock(uint32_t block, const uint8_t* data, int32_t length, TPieceSource* source,
                        bool& completed) {
    completed = false;
    if (!Usable() || !data || length <= 0)
        return 0;
    const uint64_t at = static_cast<uint64_t>(block) * kBlockSize;
    const int i = static_cast<int>(at / static_cast<uint64_t>(pieceLength_));
    if (!PieceNeeded(i))
        return 0;
    TPiece& p = pieces_[static_cast<size_t>(i)];
    const int32_t offset = static_cast<int32_t>(at - PieceOffset(i));
    const int32_t expected = std::min(kBlockSize, p.length - offset);
    if (length != expected || offset < p.storedBytes || p.HasBufferedBlockAt(offset))
        return 0;
    p.buffer.emplace(offset, std::vector<uint8_t>(data, data + length));
    buffered_.insert(i);
    p.lastActivity = host_ ? host_->Now() - 1800 : 0;

    if (p.creditSource.get() != source) {
        p.creditSource = TRef<TPieceSource>::Share(source);
        p.creditBytes = 0;
    }
    p.creditBytes += length;

    if (p.ContiguousEnd() < p.length)
        return length;
    completed = true;
    const bool fromOne = p.creditSource && p.creditBytes >= p.length - p.storedBytes;
    TRef<TPieceSource> credited = p.creditSource;
    if (Verify(p)) {
        MarkVerified(p);
        p.creditSource.reset();
        if (fromOne)
            credited->CreditPiece(true);
        return length;
    }
    ResetPiece(p);
    if (credited) {
        if (fromOne)
            credited->CreditPiece(false);
        if (host_)
            host_->OnCorruptPiece(i, credited.get());
    }
    return kCorruptPiece;
}

int TPieces::ReadBlock(int i, int32_t offset, int32_t length, uint8_t* out) {
    if (!HasPiece(i) || !out || offset < 0 || length <= 0)
        return -1;
    TPiece& p = pieces_[static_cast<size_t>(i)];
    if (offset + length > p.length)
        return -1;
    if (p.inMemoryComplete) {
        int32_t copied = 0;
        if (offset < p.storedBytes) {
            const int32_t n = std::min(length, p.storedBytes - offset);
            if (!files_.Read(PieceOffset(i) + static_cast<uint64_t>(offset), out, static_cast<size_t>(n)))
                return -1;
            copied = n;
        }
        while (copied < length) {
            const int32_t pos = offset + copied;
            auto it = p.buffer.upper_bound(pos);
            if (it == p.buffer.begin())
                return -1;
            --it;
            const int32_t inBlock = pos - it->first;
            if (inBlock >= static_cast<int32_t>(it->second.size()))
                return -1;
            const int32_t n = std::min(length - copied, static_cast<int32_t>(it->second.size()) - inBlock);
            std::memcpy(out + copied, it->second.data() + inBlock, static_cast<size_t>(n));
            copied += n;
        }
        p.lastActivity = host_ ? host_->Now() - 1800 : 0;
        return copied;
    }
    if (!files_.Read(PieceOffset(i) + static_cast<uint64_t>(offset), out, static_cast<size_t>(length)))
        return -1;
    return length;
}

size_t TPieces::MemoryHeld() const {
    size_t n = 0;
    for (int32_t i : buffered_)
        n += pieces_[static_cast<size_t>(i)].BufferedBytes();
    return n;
}

// Writes the buffered run [storedBytes, end) and hashes it into the piece's context.
bool TPieces::StoreRun(TPiece& p, int32_t end) {
    std::vector<uint8_t> run;
    run.reserve(static_cast<size_t>(end - p.storedBytes));
    for (auto it = p.buffer.begin(); it != p.buffer.end() && it->first < end;) {
        run.insert(run.end(), it->second.begin(), it->second.end());
        it = p.buffer.erase(it);
    }
    if (!files_.Write(PieceOffset(p.index) + static_cast<uint64_t>(p.storedBytes), run.data(), run.size())) {
        ResetPiece(p);
        return false;
    }
    p.hashState.Input(run.data(), run.size());
    p.storedBytes += static_cast<int32_t>(run.size());
    return true;
}

bool TPieces::StoreVerified(TPiece& p) {
    if (!p.inMemoryComplete)
        return true;
    std::vector<uint8_t> run;
    run.reserve(static_cast<size_t>(p.length - p.storedBytes));
    for (const auto& [offset, data] : p.buffer)
        if (offset >= p.storedBytes)
            run.insert(run.end(), data.begin(), data.end());
    if (static_cast<int32_t>(run.size()) != p.length - p.storedBytes ||
        !files_.Write(PieceOffset(p.index) + static_cast<uint64_t>(p.storedBytes), run.data(), run.size())) {
        // The data never reached the disk: the piece must be fetched again.
        ResetPiece(p);
        return false;
    }
    p.buffer.clear();
    p.inMemoryComplete = false;
    p.storedBytes = p.length;
    return true;
}

void TPieces::StoreBufferedData(bool rebuilding) {
    if (!Usable())
        return;
    const uint64_t now = host_ ? host_->Now() : 0;
    for (auto it = buffered_.begin(); it != buffered_.end();) {
        TPiece& p = pieces_[static_cast<size_t>(*it)];
        if (p.buffer.empty()) {
            it = buffered_.erase(it);
            continue;
        }
        ++it;
        if (p.verified || HasPiece(p.index))
            continue;
        const int32_t end = p.ContiguousEnd();
        if (end - p.storedBytes < kStoreRun || now - p.lastActivity <= 600)
            continue;
        if (end >= p.length) {
            if (Verify(p))
                MarkVerified(p);
            else
                ResetPiece(p);
            continue;
        }
        // Whole blocks only, so the hash context stays block-aligned.
        StoreRun(p, end);
    }
    const uint64_t budget = rebuilding ? options_.cacheBudget / 2 : options_.cacheBudget;
    size_t held = MemoryHeld();
    if (held <= budget)
        return;
    std::vector<TPiece*> complete;
    for (int32_t i : buffered_)
        if (pieces_[static_cast<size_t>(i)].inMemoryComplete)
            complete.push_back(&pieces_[static_cast<size_t>(i)]);
    std::sort(complete.begin(), complete.end(),
              [](const TPiece* a, const TPiece* b) { return a->lastActivity < b->lastActivity; });
    for (TPiece* p : complete) {
        if (held <= budget)
            break;
        const size_t bytes = p->BufferedBytes();
        StoreVerified(*p);
        held -= std::min(held, bytes);
    }
}

uint32_t TPieces::PartialSeed(int piece) const {
    return Adler32(static_cast<uint32_t>(piece), infoHash_.data(), infoHash_.size());
}

void TPieces::CloseFiles(bool persist, bool finishing) {
    if (!Usable())
        return;
    // A present piece is present on disk: verified data never stays behind in memory
    // when the files close, or the piece-state record would claim what is not stored.
    for (int32_t i : std::vector<int32_t>(buffered_.begin(), buffered_.end()))
        StoreVerified(pieces_[static_cast<size_t>(i)]);
    bool written = files_.CloseAll();
    if (finishing) {
        const bool all = piecesDone_ >= pieceCount_;
        files_.RenameFinished([&](const TFileStore::Item& item) {
            if (all)
                return true;
            for (int32_t k = 0; k < item.pieceSpan; ++k)
                if (!HasPiece(item.firstPiece + k))
                    return false;
            return true;
        });
        if (all) {
            for (TPiece& p : pieces_)
                p.buffer.clear();
            if (!options_.partialPiecePath.empty())
                platform::RemoveFile(options_.partialPiecePath);
        }
    }
    if ((persist || written) && host_)
        host_->OnRecord(1001, BuildPieceStateRecord());
}

// ---- records ----

namespace {
void AddInt(QElement& dict, const char* key, int64_t value) {
    dict.AddString(key, -1, value, true);
}
void AddBytes(QElement& dict, const char* key, const void* data, size_t length) {
    dict.AddString(key, -1, 0, false);
    dict.AddString(static_cast<const char*>(data), static_cast<int>(length), 0, false);
}
} // namespace

std::string TPieces::BuildFileSelectionRecord() const {
    QListElement list;
    for (const auto& item : files_.Items()) {
        list.AddString(item.relativeName.data(), static_cast<int>(item.relativeName.size()), 1,
                       item.Excluded());
        list.Append(new QDictionaryElement);
    }
    std::string out;
    Encode(&list, out);
    return out;
}

std::string TPieces::BuildPieceStateRecord() {
    QDictionaryElement root;
    AddBytes(root, "infohash", infoHash_.data(), infoHash_.size());
    for (const auto& item : files_.Items()) {
        uint64_t fileTime = 0;
        struct stat st {};
        const bool exists = ::stat(item.path.c_str(), &st) == 0;
        if (!exists || platform::ModificationFileTime(item.path, fileTime) != platform::FileQuery::Ok)
            fileTime = 0;
        root.AddString(item.relativeName.data(), static_cast<int>(item.relativeName.size()), 0, false);
        auto* entry = new QDictionaryElement;
        AddInt(*entry, "Low", static_cast<int64_t>(fileTime & 0xffffffffu));
        AddInt(*entry, "High", static_cast<int64_t>(fileTime >> 32));
        AddInt(*entry, "Size", exists ? static_cast<int64_t>(st.st_size) : 0);
        AddInt(*entry, "Priority", item.priority);
        root.Append(entry);
    }
    root.AddString("PieceStatus", -1, 0, false);
    auto* status = new QListElement;
    for (const TPiece& p : pieces_) {
        if (p.storedBytes <= 0 || p.storedBytes >= p.length || HasPiece(p.index))
            continue;
        uint8_t ctx[kSha1ContextSize];
        Sha1SaveContext(p.hashState, ctx);
        auto* d = new QDictionaryElement;
        AddInt(*d, "Index", p.index);
        AddInt(*d, "Part", p.storedBytes);
        AddBytes(*d, "Status", ctx, sizeof ctx);
        AddInt(*d, "CRC32", Adler32(static_cast<uint32_t>(p.index), ctx, sizeof ctx));
        status->Append(d);
    }
    root.Append(status);
    AddBytes(root, "BitField", bitfield_.data(), bitfield_.size());
    std::string out;
    Encode(&root, out);
    return out;
}

bool TPieces::LoadPieceStateRecord(const std::string& record) {
    if (!Usable() || record.size() <= 2)
        return false;
    std::unique_ptr<QElement> root = ParseElement(record.data(), record.size());
    if (!root || root->Kind() != QElement::kDictionaryKind)
        return false;
    if (QElement* hash = root->FindValue("infohash", -1)) {
        if (hash->TextLength() == 20 && std::memcmp(hash->Data(), infoHash_.data(), 20) != 0)
            return false;
    }
    // Every file must be exactly as the record saw it; otherwise the files changed
    // behind our back (a crash, an edit) and only a full check can tell what is there.
    std::vector<int32_t> priorities;
    for (auto& item : files_.Items()) {
        if (item.relativeName.empty())
            break;
        QElement* entry =
            root->FindValue(item.relativeName.data(), static_cast<int>(item.relativeName.size()));
        if (!entry && !item.finalPath.empty())
            entry = root->FindValue(item.finalPath.data(), static_cast<int>(item.finalPath.size()));
        if (!entry || entry->Kind() != QElement::kDictionaryKind)
            return false;
        QElement* low = entry->ChildAt(0);
        QElement* high = entry->ChildAt(1);
        QElement* size = entry->ChildAt(2);
        if (!low || !high || !size || low->RawText() != "Low" || high->RawText() != "High" ||
            size->RawText() != "Size")
            return false;
        if (QElement* prio = entry->ChildAt(3); prio && prio->RawText() == "Priority") {
            const int64_t v = prio->Integer();
            if (v >= -2 && v <= 2 && !item.Excluded())
                item.priority = static_cast<int32_t>(v);
        }
        const bool zeroTime = low->Integer() == 0 && high->Integer() == 0;
        struct stat st {};
        const bool opens = ::stat(item.path.c_str(), &st) == 0;
        if (opens && zeroTime)
            return false;
        if (opens) {
            uint64_t fileTime = 0;
            platform::ModificationFileTime(item.path, fileTime);
            if ((fileTime & 0xffffffffu) != static_cast<uint64_t>(low->Integer()) ||
                (fileTime >> 32) != static_cast<uint64_t>(high->Integer()))
                return false;
        }
        if (opens || zeroTime) {
            const int64_t current = opens ? static_cast<int64_t>(st.st_size) : 0;
            if (current != size->Integer())
                return false;
        } else {
            return false;
        }
    }
    QElement* bits = root->FindValue("BitField", -1);
    if (!bits || bits->TextLength() != static_cast<int>(bitfield_.size()))
        return false;
    const auto* raw = reinterpret_cast<const uint8_t*>(bits->Data());
    for (int32_t i = 0; i < pieceCount_; ++i)
        if (raw[i / 8] & (0x80 >> (i % 8))) {
            TPiece& p = pieces_[static_cast<size_t>(i)];
            p.storedBytes = p.length;
            p.verified = true;
            ApplyPieceDone(p);
        }
    if (QElement* status = root->FindValue("PieceStatus", -1);
        status && status->Kind() == QElement::kListKind) {
        for (int k = 0; k < status->Count(); ++k) {
            QElement* d = status->ChildAt(k);
            if (!d || d->Kind() != QElement::kDictionaryKind)
                continue;
            QElement* index = d->FindValue("Index", -1);
            QElement* part = d->FindValue("Part", -1);
            QElement* ctx = d->FindValue("Status", -1);
            QElement* crc = d->FindValue("CRC32", -1);
            if (!index || !part || !ctx || !crc)
                continue;
            const int64_t i = index->Integer();
            if (i < 0 || i >= pieceCount_ || HasPiece(static_cast<int>(i)) || part->Integer() <= 0 ||
                ctx->TextLength() < static_cast<int>(kSha1ContextSize))
                continue;
            TPiece& p = pieces_[static_cast<size_t>(i)];
            if (part->Integer() >= p.length ||
                static_cast<uint32_t>(crc->Integer()) !=
                    Adler32(static_cast<uint32_t>(i), ctx->Data(), kSha1ContextSize))
                continue;
            Sha1Context loaded;
            loaded.Reset();
            // The context must have hashed exactly the stored prefix, or the rest of the
            // piece would be hashed from the wrong place.
            if (!Sha1LoadContext(loaded, reinterpret_cast<const uint8_t*>(ctx->Data()), kSha1ContextSize) ||
                loaded.BytesHashed() != static_cast<uint64_t>(part->Integer()))
                continue;
            p.hashState = loaded;
            p.storedBytes = static_cast<int32_t>(part->Integer());
        }
    }
    if (doneBytes_ <= total_) {
        ReadPartialData();
        if (host_)
            host_->OnPublishRequest();
    }
    return true;
}

bool TPieces::WritePartialData() {
    const std::string& path = options_.partialPiecePath;
    if (path.empty() || !Usable())
        return false;
    if (piecesDone_ >= pieceCount_) {
        platform::RemoveFile(path);
        return true;
    }
    std::string data;
    for (const TPiece& p : pieces_) {
        if (HasPiece(p.index) || p.buffer.empty())
            continue;
        std::vector<uint8_t> run;
        int32_t at = p.storedBytes;
        for (auto it = p.buffer.lower_bound(at); it != p.buffer.end() && it->first == at;
             it = p.buffer.lower_bound(at)) {
            run.insert(run.end(), it->second.begin(), it->second.end());
            at += static_cast<int32_t>(it->second.size());
        }
        if (run.empty())
            continue;
        const uint32_t header[4] = {static_cast<uint32_t>(run.size()),
                                    Adler32(PartialSeed(p.index), run.data(), run.size()),
                                    static_cast<uint32_t>(p.index), 0};
        for (uint32_t v : header)
            for (int b = 0; b < 4; ++b)
                data.push_back(static_cast<char>((v >> (8 * b)) & 0xff));
        data.append(reinterpret_cast<const char*>(run.data()), run.size());
    }
    if (data.empty()) {
        platform::RemoveFile(path);
        return true;
    }
    const std::string folder = platform::FolderOf(path);
    if (!folder.empty() && !platform::IsDirectory(folder))
        platform::CreateFolder(folder);
    return platform::ReplaceFile(path, data);
}

bool TPieces::ReadPartialData() {
    const std::string& path = options_.partialPiecePath;
    if (path.empty() || !Usable())
        return false;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    const uint64_t maxLength = static_cast<uint64_t>(pieceLength_) + 1048575;
    std::vector<uint8_t> data;
    for (;;) {
        uint8_t raw[16];
        if (std::fread(raw, 1, sizeof raw, f) != sizeof raw)
            break;
        uint32_t h[4];
        for (int k = 0; k < 4; ++k)
            h[k] = static_cast<uint32_t>(raw[4 * k]) | static_cast<uint32_t>(raw[4 * k + 1]) << 8 |
                   static_cast<uint32_t>(raw[4 * k + 2]) << 16 | static_cast<uint32_t>(raw[4 * k + 3]) << 24;
        const uint32_t n = h[0];
        const int piece = static_cast<int>(h[2]);
        if (n < 1 || n > maxLength || h[2] > 0x7fffffffu || !ValidPiece(piece))
            break;
        data.resize(n);
        if (std::fread(data.data(), 1, n, f) != n)
            break;
        if (Adler32(PartialSeed(piece), data.data(), n) != h[1])
            break;
        TPiece& p = pieces_[static_cast<size_t>(piece)];
        if (HasPiece(piece) || p.skipped)
            continue;
        if (p.inMemoryComplete || p.hashState.BytesHashed() != static_cast<uint64_t>(p.storedBytes)) {
            ResetPiece(p);
            continue;
        }
        // The record holds the run that followed the stored prefix, in whole blocks.
        if (p.storedBytes + static_cast<int64_t>(n) > p.length || p.storedBytes % kBlockSize != 0) {
            ResetPiece(p);
            break;
        }
        p.buffer.clear();
        buffered_.insert(piece);
        for (uint32_t off = 0; off < n; off += kBlockSize) {
            const uint32_t len = std::min<uint32_t>(kBlockSize, n - off);
            p.buffer.emplace(p.storedBytes + static_cast<int32_t>(off),
                             std::vector<uint8_t>(data.begin() + off, data.begin() + off + len));
        }
        p.lastActivity = host_ ? host_->Now() - 1800 : 0;
        if (p.ContiguousEnd() >= p.length) {
            if (Verify(p))
                MarkVerified(p);
            else
                ResetPiece(p);
        }
    }
    std::fclose(f);
    return true;
}

bool TPieces::VerifyFromDisk(int i, const uint8_t* data) {
    TPiece& p = pieces_[static_cast<size_t>(i)];
    if (!p.expectedHash)
        return false;
    uint8_t digest[kSha1DigestSize];
    Sha1Digest(data, static_cast<size_t>(p.length), digest);
    if (std::memcmp(digest, p.expectedHash, kSha1DigestSize) != 0)
        return false;
    p.Clear();
    p.storedBytes = p.length;
    p.verified = true;
    ApplyPieceDone(p);
    return true;
}

void TPieces::QuickCheck(bool& done) {
    done = false;
    if (!HasHashes() || !files_.AllFilesPresentWithFullSize())
        return;
    std::vector<uint8_t> buf(static_cast<size_t>(pieceLength_));
    for (int i : {0, pieceCount_ - 1, pieceCount_ / 2}) {
        const TPiece& p = pieces_[static_cast<size_t>(i)];
        if (!files_.Read(PieceOffset(i), buf.data(), static_cast<size_t>(p.length)))
            return;
        uint8_t digest[kSha1DigestSize];
        Sha1Digest(buf.data(), static_cast<size_t>(p.length), digest);
        if (std::memcmp(digest, p.expectedHash, kSha1DigestSize) != 0)
            return;
    }
    for (TPiece& p : pieces_) {
        p.Clear();
        p.storedBytes = p.length;
        p.verified = true;
        ApplyPieceDone(p);
    }
    done = true;
}

bool TPieces::FullCheck() {
    if (!HasHashes())
        return false;
    const uint64_t eight = 8ull * static_cast<uint64_t>(pieceLength_);
    const int32_t chunk = eight > 4u * 1024 * 1024 ? 1 : 8;
    std::vector<uint8_t> buf(static_cast<size_t>(chunk) * static_cast<size_t>(pieceLength_));
    for (int32_t first = 0; first < pieceCount_; first += chunk) {
        const int32_t last = std::min(pieceCount_, first + chunk) - 1;
        const uint64_t begin = PieceOffset(first);
        const uint64_t end = PieceOffset(last) + static_cast<uint64_t>(PieceSize(last));
        // A chunk that reaches into a missing file is read piece by piece, so the pieces
        // before the gap still count.
        const bool whole = files_.Read(begin, buf.data(), static_cast<size_t>(end - begin));
        for (int32_t i = first; i <= last; ++i) {
            if (HasPiece(i) || pieces_[static_cast<size_t>(i)].skipped)
                continue;
            const uint8_t* at = buf.data() + (PieceOffset(i) - begin);
            if (!whole && !files_.Read(PieceOffset(i), buf.data() + (PieceOffset(i) - begin),
                                       static_cast<size_t>(PieceSize(i))))
                continue;
            VerifyFromDisk(i, at);
            if (i % 10 == 0 && host_ && host_->StopRequested())
                return false;
        }
    }
    return true;
}

void TPieces::InitialCheck(TPieces* previous, const std::string& pieceStateRecord) {
    if (!Usable())
        return;
    if (host_)
        host_->OnPublishRequest();
    files_.SetUnfinished(true);
    bool done = false;
    if (previous && previous->Usable() && previous->files_.Items().size() == files_.Items().size() &&
        previous->total_ == total_ && pieceLength_ % kBlockSize == 0) {
        std::vector<uint8_t> buf(static_cast<size_t>(pieceLength_));
        for (int32_t i = 0; i < pieceCount_; ++i) {
            const int32_t n = PieceSize(i);
            if (previous->ReadRange(PieceOffset(i), buf.data(), static_cast<size_t>(n)))
                VerifyFromDisk(i, buf.data());
        }
        done = true;
    } else if (options_.quickCheck) {
        QuickCheck(done);
    }
    if (!done && !LoadPieceStateRecord(pieceStateRecord) && HasHashes()) {
        // Nothing trustworthy says what is on disk: look.
        for (TPiece& p : pieces_)
            ResetPiece(p);
        FullCheck();
    }
    files_.CloseAll();
    if (host_)
        host_->OnPublishRequest();
}

bool TPieces::ReadRange(uint64_t offset, uint8_t* out, size_t length) {
    if (!Usable() || offset + length > total_)
        return false;
    // Bytes still in memory win over the files.
    if (!files_.Read(offset, out, length))
        return false;
    for (const TPiece& p : pieces_) {
        const uint64_t base = PieceOffset(p.index);
        for (const auto& [off, data] : p.buffer) {
            const uint64_t b = base + static_cast<uint64_t>(off), e = b + data.size();
            const uint64_t lo = std::max(b, offset), hi = std::min(e, offset + length);
            if (lo < hi)
                std::memcpy(out + (lo - offset), data.data() + (lo - b), hi - lo);
        }
    }
    return true;
}
