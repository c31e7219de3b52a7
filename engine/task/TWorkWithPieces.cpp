#include "engine/task/TWorkWithPieces.h"

#include "engine/core/QScopedLock.h"
#include "platform/Paths.h"

#include <cstring>
#include <fstream>
#include <sstream>

TWorkWithPieces::TWorkWithPieces() = default;

TWorkWithPieces::~TWorkWithPieces() {
    Stop();
}

int TWorkWithPieces::GetFileCount() const {
    return static_cast<int>(files_.size());
}

int64_t TWorkWithPieces::GetFileSize(int index) const {
    if (index < 0 || index >= GetFileCount())
        return -1;
    return files_[index].size;
}

int TWorkWithPieces::GetFileName(int index, int kind, std::string& out) const {
    if (index < 0 || index >= GetFileCount())
        return -1;
    const FileItem& f = files_[index];
    switch (kind) {
    case 1:
        out = f.relativeName;
        break;
    case 2:
        out = platform::FileNameOf(f.relativeName);
        break;
    case 3:
        out = f.fullPath;
        break;
    default:
        return -1;
    }
    return 0;
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
    if (!in.good() && !in.eof())
        return false;
    torrentData_ = data.str();
    hasTorrentData_ = !torrentData_.empty();
    return hasTorrentData_;
}

bool TWorkWithPieces::MatchHandshake(const uint8_t* received, size_t length) const {
    static const char kProtocol[] = "BitTorrent protocol";
    if (!received || length < 48 || received[0] != 19)
        return false;
    return std::memcmp(received + 1, kProtocol, 19) == 0 && std::memcmp(received + 28, infoHash_.data(), 20) == 0;
}

void TWorkWithPieces::DeleteResumeInformation() {
    if (!ResumeInfoPath().empty())
        platform::RemoveFile(ResumeInfoPath());
    if (!PartialPiecePath().empty())
        platform::RemoveFile(PartialPiecePath());
}

void TWorkWithPieces::DeleteDownloadFiles() {
    std::string first;
    if (!files_.empty())
        first = files_.front().fullPath;
    else if (!TargetFile().empty())
        first = TargetFile();
    if (first.empty())
        return;
    for (const char* suffix : {"", ".qvtmp", ".qvinfo", ".qvinfodf"})
        platform::RemoveFile(first + suffix);
}

void TWorkWithPieces::ResetPieces(bool release, bool full) {
    if (full) {
        hasFileSet_ = false;
        bitfield_.clear();
        files_.clear();
    }
    (void)release;
}
