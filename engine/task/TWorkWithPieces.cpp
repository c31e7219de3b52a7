#include "engine/task/TWorkWithPieces.h"

#include "engine/core/EngineClock.h"
#include "engine/core/QScopedLock.h"
#include "platform/Paths.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

TWorkWithPieces::TWorkWithPieces() = default;

TWorkWithPieces::~TWorkWithPieces() {
    Stop();
    if (pieces_)
        pieces_->Files().CloseAll();
}

int TWorkWithPieces::GetFileCount() const {
    return pieces_ ? static_cast<int>(pieces_->Files().Items().size()) : 0;
}

int64_t TWorkWithPieces::GetFileSize(int index) const {
    if (index < 0 || index >= GetFileCount())
        return -1;
    return static_cast<int64_t>(pieces_->Files().Items()[static_cast<size_t>(index)].size);
}

int TWorkWithPieces::GetFileName(int index, int kind, std::string& out) const {
    if (index < 0 || index >= GetFileCount())
        return -1;
    const TFileStore::Item& f = pieces_->Files().Items()[static_cast<size_t>(index)];
    switch (kind) {
    case 1:
        out = f.relativeName;
        break;
    case 2:
        out = platform::FileNameOf(f.relativeName);
        break;
    case 3:
        out = f.path;
        break;
    default:
        return -1;
    }
    return 0;
}

const std::vector<uint8_t>& TWorkWithPieces::Bitfield() const {
    static const std::vector<uint8_t> kNone;
    return pieces_ ? pieces_->Bitfield() : kNone;
}

bool TWorkWithPieces::MatchHandshake(const uint8_t* received, size_t length) const {
    static const char kProtocol[] = "BitTorrent protocol";
    if (!received || length < 48 || received[0] != 19)
        return false;
    // A handshake naming the all-zero hash is no torrent's, least of all a plain
    // download's.
    if (std::all_of(infoHash_.begin(), infoHash_.end(), [](uint8_t b) { return b == 0; }))
        return false;
    return std::memcmp(received + 1, kProtocol, 19) == 0 &&
           std::memcmp(received + 28, infoHash_.data(), 20) == 0;
}

uint64_t TWorkWithPieces::Now() {
    return EngineWallClock();
}

void TWorkWithPieces::OnPieceVerified(int piece) {
    if (work_)
        work_->PieceVerified(piece);
    QScopedLock guard(ObjectLock());
    live_.piecesDone = pieces_ ? pieces_->PiecesDone() : live_.piecesDone + 1;
}

void TWorkWithPieces::OnPieceLost(int /*piece*/) {
    QScopedLock guard(ObjectLock());
    live_.piecesDone = pieces_ ? pieces_->PiecesDone() : live_.piecesDone;
}

void TWorkWithPieces::OnProgress(uint64_t doneBytes, uint64_t totalBytes) {
    QScopedLock guard(ObjectLock());
    live_.doneBytes = doneBytes;
    live_.totalBytes = totalBytes;
}

void TWorkWithPieces::OnPublishRequest() {
    PublishStatus(true, false);
}

void TWorkWithPieces::OnLayoutCommitted(int pieceCount, const std::string& name) {
    QScopedLock guard(ObjectLock());
    live_.pieceCount = pieceCount;
    live_.piecesDone = 0;
    live_.doneBytes = 0;
    if (pieces_) {
        live_.pieceLength = pieces_->PieceLength();
        live_.totalBytes = pieces_->TotalSize();
    }
    if (!name.empty())
        live_.name = name;
}

void TWorkWithPieces::OnRecord(int code, const std::string& record) {
    QScopedLock guard(ObjectLock());
    if (code == 1000)
        resume_.part = record;
    else if (code == 1001)
        resume_.bits = record;
}

void TWorkWithPieces::OnCorruptPiece(int piece, TPieceSource* source) {
    if (source)
        source->ReportCorruptPiece(piece, TargetFile());
}

void TWorkWithPieces::OnFileEvent(int code) {
    {
        QScopedLock guard(ObjectLock());
        switch (code) {
        case 1002:
            live_.stateCode = kTaskStateDiskFull;
            break;
        case 1003:
            if (live_.stateCode == kTaskStateDiskFull)
                live_.stateCode = 0;
            break;
        case 1004:
            live_.stateCode = kTaskStateDiskError;
            break;
        default:
            return;
        }
    }
    PublishStatus(true, true);
    if (code == 1004) {
        uint32_t id;
        RequestStop(id);
    }
}

bool TWorkWithPieces::ReadTorrentFile(const std::string& fileUrl) {
    const std::string prefix = "file://";
    std::string path =
        fileUrl.compare(0, prefix.size(), prefix) == 0 ? fileUrl.substr(prefix.size()) : fileUrl;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream data;
    data << in.rdbuf();
    if (in.bad())
        return false;
    torrentData_ = data.str();
    hasTorrentData_ = !torrentData_.empty();
    return hasTorrentData_;
}

bool TWorkWithPieces::CommitLayout(const TFileLayout& layout, TPieces* previous) {
    // Connections hold ranges of the old map; they start over on the new one.
    if (pieces_)
        ResetPeers(false, false);
    TRef<TPieces> map = TRef<TPieces>::Adopt(new TPieces(this));
    TPieces::Options options;
    const int32_t units = settings_.cacheUnits > 0 ? settings_.EffectiveCacheUnits() : 1;
    options.cacheBudget = static_cast<uint64_t>(units) * 262144;
    options.quickCheck = settings_.quickCheck != 0;
    options.partialPiecePath = settings_.noPartialFile ? std::string() : PartialPiecePath();
    pieces_ = map;
    ranges_.reset();
    work_.reset();
    if (!map->CommitLayout(layout, infoHash_, options)) {
        pieces_.reset();
        return false;
    }
    ranges_ = std::make_unique<TPieceRanges>(*map);
    work_ = std::make_unique<TPieceWork>(*map);
    map->InitialCheck(previous, resume_.bits);
    {
        QScopedLock guard(ObjectLock());
        live_.piecesDone = map->PiecesDone();
        live_.doneBytes = map->DoneBytes();
        live_.totalBytes = map->TotalSize();
    }
    PublishStatus(true, true);
    return true;
}

bool TWorkWithPieces::LoadMetadata() {
    TRef<TTorrent> torrent = TRef<TTorrent>::Adopt(new TTorrent);
    torrent->SetSource(Identifier());
    torrent->SetTorrentData(torrentData_);
    torrent->SetPhaseCallback([this](int phase) {
        QScopedLock guard(ObjectLock());
        live_.phase = phase;
    });
    TTorrentTarget target;
    target.folder = Folder();
    target.targetFile = TargetFile();
    if (!torrent->Load(target))
        return false;
    infoHash_ = torrent->GetInfoHash();
    const TFileLayout layout = torrent->TakeFileSet();
    TRef<TPieces> previous = pieces_;
    if (previous)
        previous->CloseFiles(false, false);
    if (!CommitLayout(layout, previous.get())) {
        pieces_ = previous;
        if (previous) {
            ranges_ = std::make_unique<TPieceRanges>(*previous);
            work_ = std::make_unique<TPieceWork>(*previous);
        }
        return false;
    }
    torrent_ = torrent;
    RegisterActiveTorrent();
    return true;
}

void TWorkWithPieces::ReloadMetadata() {
    if (!LoadMetadata())
        return;
    PublishStatus(true, true);
}

int32_t TWorkWithPieces::PlainPieceLength(uint64_t size) {
    // 256 KiB pieces, longer for big files so the bitfield and records stay small.
    uint64_t length = 262144;
    while (size / length > 8192 && length < (1u << 26))
        length *= 2;
    return static_cast<int32_t>(length);
}

bool TWorkWithPieces::CommitPlainLayout(uint64_t size, const std::string& name) {
    if (HasMetadata() || size == 0 || IsTorrentBased())
        return false;
    TFileLayout layout;
    layout.name = !name.empty() ? name : platform::FileNameOf(TargetFile());
    layout.folder = Folder();
    layout.pieceLength = PlainPieceLength(size);
    layout.pieceCount = static_cast<int32_t>((size + static_cast<uint64_t>(layout.pieceLength) - 1) /
                                             static_cast<uint64_t>(layout.pieceLength));
    layout.totalSize = size;
    TLayoutFile file;
    file.path = !TargetFile().empty() ? TargetFile() : platform::JoinPath(Folder(), layout.name);
    file.relativeName = platform::FileNameOf(file.path);
    file.size = size;
    layout.files.push_back(file);
    return CommitLayout(layout, nullptr);
}

void TWorkWithPieces::ReadResumeInformation() {
    QScopedLock guard(ObjectLock());
    if (ResumeInfoPath().empty())
        return;
    resume_.Load(ResumeInfoPath());
    if (torrentData_.empty() && !resume_.torrent.empty()) {
        torrentData_ = resume_.torrent;
        hasTorrentData_ = true;
    }
}

void TWorkWithPieces::WriteResumeInformation() {
    if (!pieces_ || ResumeInfoPath().empty())
        return;
    pieces_->CloseFiles(true, false);
    pieces_->WritePartialData();
    QScopedLock guard(ObjectLock());
    resume_.torrent = torrentData_;
    resume_.Save(ResumeInfoPath());
}

void TWorkWithPieces::DeleteResumeInformation() {
    if (!ResumeInfoPath().empty())
        platform::RemoveFile(ResumeInfoPath());
    if (!PartialPiecePath().empty())
        platform::RemoveFile(PartialPiecePath());
    QScopedLock guard(ObjectLock());
    resume_.Clear();
}

void TWorkWithPieces::FlushAndCloseFiles() {
    if (pieces_)
        pieces_->CloseFiles(true, true);
}

void TWorkWithPieces::StoreBufferedData() {
    if (pieces_)
        pieces_->StoreBufferedData();
}

void TWorkWithPieces::DeleteDownloadFiles() {
    std::string first;
    if (pieces_ && !pieces_->Files().Items().empty()) {
        const TFileStore::Item& item = pieces_->Files().Items().front();
        first = item.temporaryName ? item.finalPath : item.path;
        pieces_->Files().CloseAll();
    } else if (!TargetFile().empty()) {
        first = TargetFile();
    }
    if (first.empty())
        return;
    for (const char* suffix : {"", ".qvtmp", ".qvinfo", ".qvinfodf"})
        platform::RemoveFile(first + suffix);
}

void TWorkWithPieces::ResetPieces(bool /*release*/, bool full) {
    if (!full)
        return;
    if (pieces_)
        pieces_->Files().CloseAll();
    ranges_.reset();
    work_.reset();
    pieces_.reset();
    torrent_.reset();
    UnregisterActiveTorrent();
    torrentData_.clear();
    hasTorrentData_ = false;
    infoHash_ = InfoHash{};
    QScopedLock guard(ObjectLock());
    resume_.Clear();
}
