#pragma once
// The download job as it lasts across runs: where the controller keeps its own files,
// the job file and what a start finds in it, where the package goes, which files are
// intact and which must be downloaded again, and how long the job has been running.
// Guarded by the controller mutex.
#include "app/ControllerConfig.h"
#include "app/TaskPersistence.h"

#include <cstdint>
#include <string>
#include <vector>

class ControllerContext;
class ControllerState;

class JobRecord {
public:
    // What a start finds.
    enum class Found {
        Nothing,    // no job was started: the front end offers start
        Lost,       // the job's files are gone; its file was deleted
        Complete,   // finished, every file as the job file recorded it
        NeedsCheck, // some files are there but not as recorded
        Resumable,  // an interrupted download
    };

    JobRecord(const ControllerContext& context, const ControllerState& state);

    // The data folder below root (made when missing), the job file in it and the log's
    // base name; the list of missing files starts empty.
    void SetUp(const std::string& root);
    // Reads the job file and looks at the package files: the job's hash, save folder,
    // entry file and resume files, and what this start finds. A lost job is told to the
    // user and its file deleted.
    Found Evaluate();

    // A job begins (or verification does): its hash, times and paths; the time counters
    // start at zero.
    void WriteJobStart();
    // The entry and folder names, and in states back and ready the sources too.
    void WriteJobPaths();
    void WriteSavePath();
    // The file name of a task that was re-created.
    void WriteTaskName(int i);
    bool IsJobComplete() const;
    void MarkJobComplete();
    void SaveDownloadedSize(uint64_t bytes);
    int GetCloseSelection() const;
    int SetCloseSelection(unsigned choice);
    // One second of an active job: the stored download time goes on from where the job
    // file has it.
    void CountDownloadSecond();

    // Records how finished file i looks now; the entry file is made executable.
    void RecordFinishedFile(int i);
    // File i is there as its finish record says; when not and record is set, it joins
    // the missing files.
    bool IsFileIntact(int i, bool record);
    bool AllFilesIntact();
    void AddMissingFile(int i);
    bool IsMissing(int i) const;
    std::vector<int> MissingFiles() const;

    const std::string& DataFolder() const { return dataFolder_; }
    const std::string& LogBasePath() const { return logBasePath_; }
    const std::string& TaskFilePath() const { return taskFilePath_; }
    const std::string& TaskHash() const { return taskHash_; }
    const std::string& EntryName() const { return entryName_; }
    const std::string& SavePath() const { return savePath_; }
    void SetSavePath(const std::string& path) { savePath_ = path; }
    // Where package file i goes.
    std::string FilePath(int i) const;
    const std::string& ResumeInfoPath(int i) const { return resumeInfoPaths_[i]; }
    uint32_t RunSeconds() const { return runSeconds_; }
    uint32_t DownloadSeconds() const { return downloadSeconds_; }

private:
    std::string DefaultSavePath() const;
    void MakeInfoFolder();
    const std::string& FirstFileName() const;

    const ControllerContext& context_;
    const ControllerState& state_;
    TaskPersistence job_;
    std::string dataFolder_;
    std::string logBasePath_;
    std::string taskFilePath_;
    std::string infoFolder_; // ends with a separator
    std::string savePath_;
    std::string folderName_;
    std::string entryName_;
    std::string taskHash_;
    std::string resumeInfoPaths_[kPackageFileCount];
    int32_t missingFiles_[kPackageFileCount] = {};
    int32_t missingCount_ = 0;
    uint32_t downloadSeconds_ = 0; // over all runs
    uint32_t runSeconds_ = 0;      // in this run
};
