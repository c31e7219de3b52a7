#pragma once
// The check of the package files against the MD5 digests of the configuration, and the
// repair of a file that does not match: its engine task downloads it again and it is
// checked again, at most five times. The work runs on a thread of its own; it shares
// the controller's fields (state, the file being checked, the progress figures) with
// the timer and window threads and reads and writes them under the controller mutex,
// which it never holds while it reads a file or waits for a download.
//
// The thread can be told to stop: it then ends at the next piece it reads or the next
// moment it waits, leaving the state where it was. The controller stops it and waits
// for it before it shuts the engine down or goes away itself.
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

class DownloadController;

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

    explicit PackageVerifier(DownloadController& controller);
    // Stops the worker and waits for it.
    ~PackageVerifier();
    PackageVerifier(const PackageVerifier&) = delete;
    PackageVerifier& operator=(const PackageVerifier&) = delete;

    // Starts the worker; false when it cannot be started (also while an earlier one
    // is still at work). Callable with the controller mutex held.
    bool Start();
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
    // stop meanwhile); sets the controller's check progress as it reads.
    std::string ComputeFileMd5(int i, const std::string& path);

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

    DownloadController& c_;
    std::thread worker_;
    mutable std::mutex m_;
    std::condition_variable wake_;
    bool stop_ = false;
    bool running_ = false;
};
