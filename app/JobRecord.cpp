#include "app/JobRecord.h"

#include "app/ControllerContext.h"
#include "app/ControllerState.h"
#include "app/ControllerTexts.h"
#include "app/FolderChain.h"
#include "engine/api/BrisklaneEngine.h"
#include "platform/Disk.h"
#include "platform/FixedDisks.h"
#include "platform/Paths.h"

namespace {

constexpr const char* kDefaultFolderName = "Orlanta10117";

std::string IndexedKey(const char* prefix, int i) {
    return prefix + std::to_string(i);
}

} // namespace

JobRecord::JobRecord(const ControllerContext& context, const ControllerState& state)
    : context_(context), state_(state) {}

const std::string& JobRecord::FirstFileName() const {
    return context_.FileName(0);
}

void JobRecord::SetUp(const std::string& root) {
    missingCount_ = 0;
    const std::string& key = context_.config().productKey;
    dataFolder_ = platform::JoinPath(platform::JoinPath(root, "Harrowfield/Brisklane"), "Brisklane" + key);
    if (!platform::IsDirectory(dataFolder_))
        CreateFolderChain(dataFolder_);
    logBasePath_ = platform::JoinPath(dataFolder_, key);
    taskFilePath_ = logBasePath_ + ".vedare";
    job_ = TaskPersistence(taskFilePath_);
}

std::string JobRecord::DefaultSavePath() const {
    const ControllerEnvironment& env = context_.env();
    std::string place = env.defaultSavePlace ? env.defaultSavePlace() : platform::LargestFixedDiskPlace();
    // No writable fixed disk at all: the root, where writing will fail visibly later.
    if (place.empty())
        place = "/";
    return platform::JoinPath(place, kDefaultFolderName);
}

void JobRecord::MakeInfoFolder() {
    infoFolder_ = platform::JoinPath(dataFolder_, taskHash_ + "QVInfo");
    CreateFolderChain(infoFolder_);
    infoFolder_ += platform::kPathSeparator;
}

std::string JobRecord::FilePath(int i) const {
    return platform::JoinPath(savePath_, context_.FileName(i));
}

JobRecord::Found JobRecord::Evaluate() {
    bool noCreateTime = false, noHash = false, noSavePath = false, noEntry = false;
    Found found = Found::Resumable;

    if (!job_.Exists()) {
        if (!platform::IsDirectory(dataFolder_))
            CreateFolderChain(dataFolder_);
        taskHash_ = context_.config().productKey;
        savePath_ = DefaultSavePath();
        entryName_ += FirstFileName();
        MakeInfoFolder();
        for (int i = 0; i < kPackageFileCount; ++i)
            resumeInfoPaths_[i] = infoFolder_ + context_.FileName(i) + ".qvinfo";
        noCreateTime = noHash = noSavePath = noEntry = true;
    } else {
        noCreateTime = job_.Read("BrisklaneTaskCreateTime").empty();
        taskHash_ = job_.Read("BrisklaneTaskHash");
        if (taskHash_.empty()) {
            taskHash_ = context_.config().productKey;
            noHash = true;
        }
        savePath_ = job_.Read("BrisklaneTaskSavePath");
        if (savePath_.empty()) {
            savePath_ = DefaultSavePath();
            noSavePath = true;
        }

        bool allPresent = true, anyPresent = false, allLost = true;
        const bool complete = job_.IsJobComplete();
        for (int i = 0; i < kPackageFileCount; ++i) {
            const bool present = platform::PathExists(FilePath(i));
            allPresent = allPresent && present;
            bool lost = !present;
            if (!complete) {
                anyPresent = anyPresent || present;
                lost = lost && !platform::PathExists(FilePath(i) + ".qvtmp");
            }
            allLost = allLost && lost;
        }
        if (allPresent || anyPresent)
            found = AllFilesIntact() ? Found::Complete : Found::NeedsCheck;
        else
            found = allLost ? Found::Lost : Found::Resumable;

        const std::string entry = job_.Read("BrisklaneTaskEntrence");
        if (entry.empty()) {
            noEntry = true;
            entryName_ += FirstFileName();
        } else {
            entryName_ = entry;
        }
        for (int i = 0; i < kPackageFileCount; ++i) {
            const std::string info = job_.Read(IndexedKey("BrisklaneDownloadInfo", i));
            if (!info.empty()) {
                resumeInfoPaths_[i] = info;
            } else {
                MakeInfoFolder();
                resumeInfoPaths_[i] = infoFolder_ + context_.FileName(i) + ".qvinfo";
            }
        }
    }

    if (noCreateTime && noHash && noSavePath && noEntry)
        return Found::Nothing;
    switch (found) {
    case Found::Lost:
        LogLine(kLogController, texts::kLogAllLost);
        job_.Remove();
        context_.ShowNotice(texts::kMsgFilesLost);
        savePath_ = DefaultSavePath();
        break;
    case Found::Complete:
        LogLine(kLogController, texts::kLogCompleteAndCorrect);
        break;
    case Found::NeedsCheck:
        LogLine(kLogController, texts::kLogNeedsCheck);
        break;
    default:
        LogLine(kLogController, texts::kLogResumed);
        break;
    }
    return found;
}

void JobRecord::WriteJobStart() {
    job_.WriteJobStart(taskHash_);
    downloadSeconds_ = 0;
    runSeconds_ = 0;
    WriteJobPaths();
    EngineSetHttpDisguise(1);
}

void JobRecord::WriteJobPaths() {
    const uint32_t s = state_.Get();
    if (s == ControllerState::kBack || s == ControllerState::kReady) {
        for (int i = 0; i < kPackageFileCount; ++i) {
            job_.Write(IndexedKey("BrisklaneHttpTaskUrl", i), context_.config().packageUrls[i]);
            job_.Write(IndexedKey("BrisklaneHttpTaskFile", i), context_.FileName(i));
        }
    }
    if (savePath_.empty())
        savePath_ = DefaultSavePath();
    if (entryName_.empty())
        entryName_ += FirstFileName();
    job_.Write("BrisklaneTaskEntrence", entryName_);
    if (folderName_.empty())
        folderName_ = kDefaultFolderName;
    job_.Write("BrisklaneTaskFloder", folderName_);
}

void JobRecord::WriteSavePath() {
    job_.Write("BrisklaneTaskSavePath", savePath_);
}

void JobRecord::WriteTaskName(int i) {
    job_.Write(IndexedKey("BrisklaneTask", i), context_.FileName(i));
}

bool JobRecord::IsJobComplete() const {
    return job_.IsJobComplete();
}

void JobRecord::MarkJobComplete() {
    job_.MarkJobComplete();
}

void JobRecord::SaveDownloadedSize(uint64_t bytes) {
    job_.SaveDownloadedSize(bytes);
}

int JobRecord::GetCloseSelection() const {
    return job_.GetCloseSelection();
}

int JobRecord::SetCloseSelection(unsigned choice) {
    return job_.SetCloseSelection(choice);
}

void JobRecord::CountDownloadSecond() {
    const uint32_t stored = static_cast<uint32_t>(job_.ReadInt("BrisklaneTaskDownloadTime", 0)) + 1;
    ++runSeconds_;
    if (downloadSeconds_ < stored) {
        downloadSeconds_ = stored;
        job_.Write("BrisklaneTaskDownloadTime", std::to_string(downloadSeconds_));
    }
}

void JobRecord::RecordFinishedFile(int i) {
    if (i < 0 || i >= kPackageFileCount)
        return;
    // The entry file arrives without an execute bit; opening it must start it.
    if (context_.FileName(i) == entryName_)
        platform::MakeExecutable(FilePath(i));
    job_.RecordFinishedFile(i, FilePath(i));
}

bool JobRecord::IsFileIntact(int i, bool record) {
    if (i < 0 || i >= kPackageFileCount)
        return false;
    if (job_.MatchesFinishRecord(i, FilePath(i)))
        return true;
    if (record)
        AddMissingFile(i);
    return false;
}

bool JobRecord::AllFilesIntact() {
    bool all = true;
    for (int i = 0; i < kPackageFileCount; ++i)
        all = IsFileIntact(i, true) && all;
    return all;
}

void JobRecord::AddMissingFile(int i) {
    if (i < 0 || i >= kPackageFileCount || IsMissing(i))
        return;
    // Four distinct indexes fill the list; nothing can be beyond it.
    if (missingCount_ >= kPackageFileCount)
        return;
    missingFiles_[missingCount_++] = i;
}

bool JobRecord::IsMissing(int i) const {
    for (int k = 0; k < missingCount_; ++k) {
        if (missingFiles_[k] == i)
            return true;
    }
    return false;
}

std::vector<int> JobRecord::MissingFiles() const {
    return std::vector<int>(missingFiles_, missingFiles_ + missingCount_);
}
