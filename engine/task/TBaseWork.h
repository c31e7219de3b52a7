#pragma once
#include "engine/core/EngineTypes.h"
#include "engine/core/QThread.h"
#include "engine/task/TTaskSettings.h"
#include "engine/task/TaskInfo.h"

#include <string>
#include <vector>

// One source URL of the task and how far it has been used.
struct SourceEntry {
    enum State : int { Unused = 0, UnusedTorrent = 1, Used = 16, UsedTorrent = 17 };
    std::string url;
    int state = Unused;
};

// The bottom layer of a download task: identity, flags, sources, settings, status
// records, and registration in the engine's task registry.
class TBaseWork : public QThread {
public:
    TBaseWork();
    ~TBaseWork() override;

    EngineTask Handle() const { return handle_; }

    // Takes identity, paths, flags and sources from a descriptor.
    void Configure(const TaskDescriptor& d);
    // True when this task and other perform the same download. The caller holds the
    // registry lock; this takes other's object lock while comparing.
    bool SameDownloadAs(TBaseWork& other);

    // Returns used sources to "not yet used", so the next run feeds them again.
    void ResetSources();

    void SetMirrors(const char* urls, const char* hosts);
    void ClearMirrors();

    virtual void PublishStatus(bool collect, bool force);
    // The published record; the caller holds the object lock.
    const TaskInfo& Published() const { return published_; }
    TTaskSettings& Settings() { return settings_; }

    bool IsP2SP() const { return isP2SP_; }
    bool IsBT() const { return isBT_; }
    bool IsTorrentBased() const { return isP2SP_ || isBT_; }
    const std::string& Identifier() const { return identifier_; }
    const std::string& Label() const { return label_; }
    const std::string& Folder() const { return folder_; }
    const std::string& TargetFile() const { return targetFile_; }
    const std::string& ResumeInfoPath() const { return resumeInfoPath_; }
    const std::string& PartialPiecePath() const { return partialPiecePath_; }
    const std::vector<SourceEntry>& Sources() const { return sources_; }
    const std::vector<std::string>& MirrorUrls() const { return mirrorUrls_; }
    const std::vector<std::string>& MirrorHosts() const { return mirrorHosts_; }
    bool MirrorsInUse() const { return mirrorsInUse_; }

    // Splits text at CR, LF and CR LF; empty lines are dropped.
    static std::vector<std::string> SplitLines(const char* text);

protected:
    // Last word on a record about to be published, under the object lock.
    virtual void AdjustPublished(TaskInfo& /*record*/) {}
    // Both status records back to their initial values.
    void ResetStatusRecords();
    void AddSource(const std::string& url, int state);

    TaskInfo live_;
    TaskInfo published_;
    TTaskSettings settings_;
    std::vector<SourceEntry> sources_;
    // The entries as first fed, kept across runs.
    std::vector<SourceEntry> sourceHistory_;
    std::vector<std::string> mirrorUrls_;
    std::vector<std::string> mirrorHosts_;
    bool mirrorsInUse_ = false;
    bool hasTorrentData_ = false;

private:
    EngineTask handle_ = 0;
    bool isP2SP_ = false;
    bool isBT_ = false;
    bool fullPath_ = false;
    std::string identifier_;
    std::string label_ = "HTTP Task";
    std::string folder_;
    std::string targetFile_;
    std::string resumeInfoPath_;
    std::string partialPiecePath_;
};
