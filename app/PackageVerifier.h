#pragma once
// The check of the package files against the MD5 digests of the configuration, and the
// repair of a file that does not match: its engine task downloads it again and it is
// checked again, at most five times. The work runs on a thread of its own. Its own
// figures (the file being checked, the check and repair progress, the repair speed,
// whether anything was repaired) and the state it moves through are read by the timer
// and window threads; it writes them under the controller mutex, which it never holds
// while it reads a file or waits for a download.
//
// The thread can be told to stop: it then ends at the next piece it reads or the next
// moment it waits, leaving the state where it was. The controller stops it and waits
// for it before it shuts the engine down or goes away itself.
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

class ControllerContext;
class ControllerState;
class JobRecord;
class TaskControl;

class PackageVerifier {
public:
    static constexpr int kMaxRepairPasses = 5;
    static constexpr int kReloadAttempts = 4;
    static constexpr unsigned kRepairPollMs = 1000;
    // MD5 progress counts pieces of this size.
    static constexpr uint64_t kProgressPiece = 4096;

    // How the worker ended.
    enum Result : int {
        kAllMatch = 0,
        kTaskNotRecreated = -1, // the engine refused the repair task four times
        kRepairGaveUp = -2,     // five repairs and the file still differs
        kStopped = -3,          // told to stop
    };

    PackageVerifier(const ControllerContext& context, ControllerState& state, JobRecord& job,
                    TaskControl& tasks);
    // Stops the worker and waits for it.
    ~PackageVerifier();
    PackageVerifier(const PackageVerifier&) = delete;
    PackageVerifier& operator=(const PackageVerifier&) = delete;

    // Starts the worker from the first file; false when it cannot be started (also
    // while an earlier one is still at work). autoInstall: a check that passes asks the
    // front end to press the primary button again. With the controller mutex held.
    bool Start(bool autoInstall);
    // Tells the worker to stop and waits until it has ended; on the worker itself it
    // only tells. Must not be called with the controller mutex held: the worker may
    // be waiting for it.
    void Stop();
    bool Running() const;

    // The worker's body.
    int VerifyAndRepair();
    // Whether file i has its configured digest; keepActual keeps a mismatching digest
    // for the event that reports it.
    bool CheckFileMd5(int i, bool keepActual);
    // The MD5 text of the file at path, empty when it cannot be read (or when told to
    // stop meanwhile); the check progress follows the reading.
    std::string ComputeFileMd5(int i, const std::string& path);

    // The figures, with the controller mutex held.
    int CheckFileIndex() const { return checkFileIndex_; }
    uint32_t FileCheckProgress() const { return checkProgress_; }
    // Over all four files, 1/10000.
    unsigned CheckProgress() const;
    uint32_t RepairProgress() const { return repairProgress_; }
    uint32_t RepairSpeed() const { return repairSpeed_; }
    bool WasRepaired() const { return repairedAny_ != 0; }
    bool AutoInstallAfterCheck() const { return autoInstallAfterCheck_ != 0; }

    // What the user is told when repairs gave up (lines end with CR LF).
    static std::string RepairFailureText();

    // Progress of one file in 1/10000 once `pieces` pieces of 4096 bytes were read of
    // a file of `wholePieces` whole pieces. The trailing partial piece would carry the
    // count beyond 10000; it stops at 10000. A file shorter than one piece has no
    // whole piece: 0 until read, 10000 once read.
    static uint32_t ReadProgress(uint64_t pieces, uint64_t wholePieces);
    // Progress over the four files in 1/10000, each weighted by its expected size in
    // whole MiB: files before `index` count in full, the file at `index` with
    // `progress`, later files not at all.
    static unsigned OverallProgress(const uint64_t (&expectedSizes)[4], int index, uint32_t progress);

private:
    void Run();
    bool StopRequested() const;
    // Waits up to ms; true when told to stop meanwhile.
    bool WaitForStop(unsigned ms);
    // The repair passes of file i, from a first mismatch on; kAllMatch when it matches
    // again.
    int Repair(int i);
    // The four attempts to re-create file i's task; false when all of them failed.
    bool RecreateTask(int i);
    // Waits until file i's task has its download complete; false when told to stop.
    bool AwaitDownload(int i);
    void Notice(const std::string& text);

    const ControllerContext& context_;
    ControllerState& state_;
    JobRecord& job_;
    TaskControl& tasks_;

    // Guarded by the controller mutex.
    int32_t checkFileIndex_ = 0;
    uint32_t checkProgress_ = 0; // of the file at checkFileIndex_
    uint32_t repairProgress_ = 0;
    uint32_t repairSpeed_ = 0; // bytes per second
    int32_t repairedAny_ = 0;  // the last check found a file that did not match
    uint8_t autoInstallAfterCheck_ = 0;
    std::string lastActualMd5_; // of the last file that did not match

    // Guarded by m_.
    std::thread worker_;
    mutable std::mutex m_;
    std::condition_variable wake_;
    bool stop_ = false;
    bool running_ = false;
};
