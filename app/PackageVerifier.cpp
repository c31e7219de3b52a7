#include "app/PackageVerifier.h"

#include "app/ControllerContext.h"
#include "app/ControllerState.h"
#include "app/ControllerTexts.h"
#include "app/IControllerFrontEnd.h"
#include "app/JobRecord.h"
#include "app/StatisticsEvents.h"
#include "app/TaskControl.h"
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

using Scope = ControllerLock::Scope;

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

PackageVerifier::PackageVerifier(const ControllerContext& context, ControllerState& state, JobRecord& job,
                                 TaskControl& tasks)
    : context_(context), state_(state), job_(job), tasks_(tasks) {}

PackageVerifier::~PackageVerifier() {
    Stop();
    // Only on the worker itself can it still be joinable here.
    if (worker_.joinable())
        worker_.detach();
}

bool PackageVerifier::Start(bool autoInstall) {
    std::lock_guard<std::mutex> g(m_);
    if (running_)
        return false;
    checkFileIndex_ = 0;
    checkProgress_ = 0;
    autoInstallAfterCheck_ = autoInstall ? 1 : 0;
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
    Scope scope(context_.lock());
    context_.ShowNotice(text.c_str());
}

unsigned PackageVerifier::CheckProgress() const {
    return OverallProgress(context_.config().expectedSizes, checkFileIndex_, checkProgress_);
}

int PackageVerifier::VerifyAndRepair() {
    {
        Scope scope(context_.lock());
        repairedAny_ = 0;
    }
    for (int i = 0; i < kPackageFileCount; ++i) {
        {
            Scope scope(context_.lock());
            lastActualMd5_.clear();
        }
        const bool ok = CheckFileMd5(i, true);
        if (StopRequested())
            return kStopped;
        if (ok)
            continue;
        {
            Scope scope(context_.lock());
            context_.events().FileEvent(StatisticsEvents::kMd5Mismatch, context_.FileName(i),
                                        "MD5 unmatched (" + lastActualMd5_ + ")");
        }
        const int repaired = Repair(i);
        if (repaired != kAllMatch)
            return repaired;
    }
    IControllerFrontEnd* front = nullptr;
    bool autoInstall = false;
    {
        Scope scope(context_.lock());
        context_.events().Event(StatisticsEvents::kVerifyPassed, "", 0);
        state_.Enter(ControllerState::kCheckFinished);
        front = context_.env().frontEnd;
        autoInstall = autoInstallAfterCheck_ != 0;
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
            Scope scope(context_.lock());
            state_.Enter(ControllerState::kCheckRecover);
            repairProgress_ = 0;
            repairSpeed_ = 0;
            tasks_.ClearReloadFailed();
            tasks_.StopTask(i);
        }
        if (!RecreateTask(i)) {
            if (StopRequested())
                return kStopped;
            Notice(texts::kMsgRepairError);
            return kTaskNotRecreated;
        }
        if (!AwaitDownload(i))
            return kStopped;
        {
            Scope scope(context_.lock());
            job_.RecordFinishedFile(i);
            state_.Enter(ControllerState::kMd5Checking);
        }
        ok = CheckFileMd5(i, false);
        if (StopRequested())
            return kStopped;
        ++passes;
        if (ok) {
            Scope scope(context_.lock());
            context_.events().FileEvent(StatisticsEvents::kFileRepaired, context_.FileName(i),
                                        RepairCountText(passes));
        }
    }
    if (ok)
        return kAllMatch;
    Notice(RepairFailureText());
    Scope scope(context_.lock());
    context_.events().FileEvent(StatisticsEvents::kAbnormalEnd, context_.FileName(i),
                                RepairCountText(passes));
    state_.Enter(ControllerState::kFailed);
    return kRepairGaveUp;
}

bool PackageVerifier::RecreateTask(int i) {
    for (int attempt = 0; attempt < kReloadAttempts && !StopRequested(); ++attempt) {
        Scope scope(context_.lock());
        tasks_.ReloadTask(i, true);
        if (!tasks_.ReloadFailed())
            return true;
    }
    return false;
}

bool PackageVerifier::AwaitDownload(int i) {
    for (;;) {
        if (WaitForStop(kRepairPollMs))
            return false;
        Scope scope(context_.lock());
        TaskStatus st;
        if (EngineGetTaskStatus(tasks_.Task(i), &st) != kEngineOk) {
            repairProgress_ = 0;
            repairSpeed_ = 0;
            continue;
        }
        if (st.progress >= 10000)
            return true;
        repairProgress_ = st.progress;
        repairSpeed_ = st.downloadRate;
    }
}

bool PackageVerifier::CheckFileMd5(int i, bool keepActual) {
    std::string path, name, expected;
    {
        Scope scope(context_.lock());
        path = job_.FilePath(i);
        name = context_.FileName(i);
        expected = context_.config().expectedMd5[i];
    }
    const std::string actual = ComputeFileMd5(i, path);
    if (StopRequested())
        return false;
    Scope scope(context_.lock());
    if (actual != expected) {
        repairedAny_ = 1;
        checkFileIndex_ = i;
        checkProgress_ = 0;
        LogFormat(kLogController, texts::kLogMd5Mismatch, name.c_str(), expected.c_str(), actual.c_str());
        if (keepActual)
            lastActualMd5_ = actual;
        return false;
    }
    LogFormat(kLogController, texts::kLogMd5Match, name.c_str(), expected.c_str(), actual.c_str());
    return true;
}

std::string PackageVerifier::ComputeFileMd5(int i, const std::string& path) {
    {
        Scope scope(context_.lock());
        checkFileIndex_ = i;
        checkProgress_ = 0;
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
        Scope scope(context_.lock());
        checkProgress_ = ReadProgress(pieces, wholePieces);
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
