#include "app/PackageVerifier.h"

#include "app/ControllerTexts.h"
#include "app/DownloadController.h"
#include "app/IControllerFrontEnd.h"
#include "app/StatisticsEvents.h"
#include "engine/api/BrisklaneEngine.h"
#include "platform/Paths.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// The log category of the controller's progress and state lines.
// Files are read in larger blocks than the pieces progress counts; whole pieces, so
// that the count after a block is exact.
constexpr size_t kReadBlock = 64 * PackageVerifier::kProgressPiece;

std::string RepairCountText(int passes) {
    char text[64];
    std::snprintf(text, sizeof text, texts::kMsgRepairCount, passes);
    return text;
}

} // namespace

std::string PackageVerifier::RepairFailureText() {
    return std::string(texts::kMsgRepairFailedHead) + "\r\n\r\n" + texts::kMsgRepairFailedLine1 + "\r\n" +
           texts::kMsgRepairFailedLine2;
}

PackageVerifier::PackageVerifier(DownloadController& controller) : c_(controller) {}

PackageVerifier::~PackageVerifier() {
    Stop();
    // Only on the worker itself can it still be joinable here.
    if (worker_.joinable())
        worker_.detach();
}

bool PackageVerifier::Start() {
    std::lock_guard<std::mutex> g(m_);
    if (running_)
        return false;
    // The earlier worker has cleared running_ as its last act; joining it is immediate.
    if (worker_.joinable())
        worker_.join();
    stop_ = false;
    running_ = true;
    try {
        worker_ = std::thread([this] { Run(); });
    } catch (...) {
        running_ = false;
        return false;
    }
    return true;
}

void PackageVerifier::Run() {
    VerifyAndRepair();
    std::lock_guard<std::mutex> g(m_);
    running_ = false;
}

void PackageVerifier::Stop() {
    std::thread worker;
    {
        std::lock_guard<std::mutex> g(m_);
        stop_ = true;
        wake_.notify_all();
        if (!worker_.joinable() || worker_.get_id() == std::this_thread::get_id())
            return;
        worker.swap(worker_);
    }
    worker.join();
}

bool PackageVerifier::Running() const {
    std::lock_guard<std::mutex> g(m_);
    return running_;
}

bool PackageVerifier::StopRequested() const {
    std::lock_guard<std::mutex> g(m_);
    return stop_;
}

bool PackageVerifier::WaitForStop(unsigned ms) {
    std::unique_lock<std::mutex> g(m_);
    return wake_.wait_for(g, std::chrono::milliseconds(ms), [this] { return stop_; });
}

void PackageVerifier::Notice(const std::string& text) {
    DownloadController::Scope scope(c_);
    c_.ShowNotice(text.c_str());
}

int PackageVerifier::VerifyAndRepair() {
    {
        DownloadController::Scope scope(c_);
        c_.repairedAny_ = 0;
    }
    for (int i = 0; i < DownloadController::kFileCount; ++i) {
        {
            DownloadController::Scope scope(c_);
            c_.lastActualMd5_.clear();
        }
        const bool ok = CheckFileMd5(i, true);
        if (StopRequested())
            return kStopped;
        if (ok)
            continue;
        {
            DownloadController::Scope scope(c_);
            c_.events_.FileEvent(StatisticsEvents::kMd5Mismatch, c_.fileNames_[i],
                                 "MD5 unmatched (" + c_.lastActualMd5_ + ")");
        }
        const int repaired = Repair(i);
        if (repaired != kAllMatch)
            return repaired;
    }
    IControllerFrontEnd* front = nullptr;
    bool autoInstall = false;
    {
        DownloadController::Scope scope(c_);
        c_.events_.Event(StatisticsEvents::kVerifyPassed, "", 0);
        c_.state_ = DownloadController::kCheckFinished;
        front = c_.env_.frontEnd;
        autoInstall = c_.autoInstallAfterCheck_ != 0;
    }
    // The front end runs the primary button on its own thread: in checkfinished that
    // starts the installer.
    if (autoInstall && front)
        front->PostPrimaryAction();
    return kAllMatch;
}

int PackageVerifier::Repair(int i) {
    int passes = 0;
    bool ok = false;
    while (!ok && passes < kMaxRepairPasses) {
        {
            DownloadController::Scope scope(c_);
            c_.state_ = DownloadController::kCheckRecover;
            c_.repairProgress_ = 0;
            c_.repairSpeed_ = 0;
            c_.reloadFailed_ = 0;
        }
        c_.StopTask(i);
        if (!RecreateTask(i)) {
            if (StopRequested())
                return kStopped;
            Notice(texts::kMsgRepairError);
            return kTaskNotRecreated;
        }
        if (!AwaitDownload(i))
            return kStopped;
        {
            DownloadController::Scope scope(c_);
            c_.RecordFinishedFile(i);
            c_.state_ = DownloadController::kMd5Checking;
        }
        ok = CheckFileMd5(i, false);
        if (StopRequested())
            return kStopped;
        ++passes;
        if (ok) {
            DownloadController::Scope scope(c_);
            c_.events_.FileEvent(StatisticsEvents::kFileRepaired, c_.fileNames_[i], RepairCountText(passes));
        }
    }
    if (ok)
        return kAllMatch;
    Notice(RepairFailureText());
    DownloadController::Scope scope(c_);
    c_.events_.FileEvent(StatisticsEvents::kAbnormalEnd, c_.fileNames_[i], RepairCountText(passes));
    c_.state_ = DownloadController::kFailed;
    return kRepairGaveUp;
}

bool PackageVerifier::RecreateTask(int i) {
    for (int attempt = 0; attempt < kReloadAttempts && !StopRequested(); ++attempt) {
        DownloadController::Scope scope(c_);
        c_.ReloadTask(i, true);
        if (c_.reloadFailed_ == 0)
            return true;
    }
    return false;
}

bool PackageVerifier::AwaitDownload(int i) {
    for (;;) {
        if (WaitForStop(kRepairPollMs))
            return false;
        DownloadController::Scope scope(c_);
        TaskStatus st;
        if (EngineGetTaskStatus(c_.tasks_[i], &st) != kEngineOk) {
            c_.repairProgress_ = 0;
            c_.repairSpeed_ = 0;
            continue;
        }
        if (st.progress >= 10000)
            return true;
        c_.repairProgress_ = st.progress;
        c_.repairSpeed_ = st.downloadRate;
    }
}

bool PackageVerifier::CheckFileMd5(int i, bool keepActual) {
    std::string path, name, expected;
    {
        DownloadController::Scope scope(c_);
        path = c_.FilePath(i);
        name = c_.fileNames_[i];
        expected = c_.config_.expectedMd5[i];
    }
    const std::string actual = ComputeFileMd5(i, path);
    if (StopRequested())
        return false;
    DownloadController::Scope scope(c_);
    if (actual != expected) {
        c_.repairedAny_ = 1;
        c_.checkFileIndex_ = i;
        c_.checkProgress_ = 0;
        LogFormat(kLogController, texts::kLogMd5Mismatch, name.c_str(), expected.c_str(), actual.c_str());
        if (keepActual)
            c_.lastActualMd5_ = actual;
        return false;
    }
    LogFormat(kLogController, texts::kLogMd5Match, name.c_str(), expected.c_str(), actual.c_str());
    return true;
}

std::string PackageVerifier::ComputeFileMd5(int i, const std::string& path) {
    {
        DownloadController::Scope scope(c_);
        c_.checkFileIndex_ = i;
        c_.checkProgress_ = 0;
    }
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0)
        return "";
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "";
    const uint64_t wholePieces = static_cast<uint64_t>(st.st_size) / kProgressPiece;
    std::vector<uint8_t> block(kReadBlock);
    Md5Context md5;
    md5.Init();
    uint64_t total = 0;
    bool readable = true;
    for (;;) {
        if (StopRequested()) {
            readable = false;
            break;
        }
        // Fill the block whole, so that a short read in between does not count a
        // piece that is not one.
        size_t filled = 0;
        while (filled < block.size()) {
            const ssize_t n = ::read(fd, block.data() + filled, block.size() - filled);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                readable = false;
            if (n <= 0)
                break;
            filled += static_cast<size_t>(n);
        }
        if (!readable || filled == 0)
            break;
        md5.Update(block.data(), filled);
        total += filled;
        const uint64_t pieces = (total + kProgressPiece - 1) / kProgressPiece;
        DownloadController::Scope scope(c_);
        c_.checkProgress_ = ReadProgress(pieces, wholePieces);
        if (filled < block.size())
            break;
    }
    ::close(fd);
    if (!readable)
        return "";
    uint8_t digest[kMd5DigestSize];
    md5.Final(digest);
    return Md5ToHex(digest);
}

uint32_t PackageVerifier::ReadProgress(uint64_t pieces, uint64_t wholePieces) {
    if (wholePieces == 0)
        return pieces == 0 ? 0 : 10000;
    const double p = static_cast<double>(pieces) * 10000.0 / static_cast<double>(wholePieces);
    return p >= 10000.0 ? 10000 : static_cast<uint32_t>(p);
}

unsigned PackageVerifier::OverallProgress(const uint64_t (&expectedSizes)[4], int index, uint32_t progress) {
    uint64_t numerator = 0, weights = 0;
    for (int i = 0; i < 4; ++i) {
        const uint64_t w = expectedSizes[i] / 1048576;
        weights += w;
        if (i < index)
            numerator += w * 10000;
        else if (i == index)
            numerator += w * (progress > 9999 ? 10000 : progress);
    }
    return static_cast<unsigned>(weights != 0 ? numerator / weights : numerator);
}
