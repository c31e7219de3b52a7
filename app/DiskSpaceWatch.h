#pragma once
// How much room the package needs and whether the volume it goes to has it: the engine
// either reserves each file's full size up front, or writes sparse files, and then the
// free space must be watched while the download runs (the status poll does that).
// Guarded by the controller mutex.
#include <cstdint>
#include <string>

class ControllerContext;
class ControllerState;

class DiskSpaceWatch {
public:
    static constexpr uint64_t kSpaceMargin = 104857600; // 100 MiB beyond the package

    DiskSpaceWatch(const ControllerContext& context, ControllerState& state);

    // The package's expected sizes plus the margin; false when that adds up to 0.
    bool SetRequiredSpace(const uint64_t (&expectedSizes)[4]);
    uint64_t RequiredSpace() const { return requiredSpace_; }
    // The package's own size, without the margin.
    uint64_t PackageBytes() const;

    // Bytes free to the caller where path lies.
    uint64_t FreeSpace(const std::string& path) const;
    // Whether the engine's files can take their full size at once there.
    bool MayReserveSpace(const std::string& path) const;
    // Decides, for the volume of path, between reserving up front and watching sparse
    // files; nothing when no folder on the way to path exists yet.
    void TestSparseMode(const std::string& path);
    bool SparseMode() const { return sparseMode_; }
    // Whether the whole package fits where path lies; when not, the user is told and the
    // download is held back.
    bool HasSpaceToStart(const std::string& path);

private:
    const ControllerContext& context_;
    ControllerState& state_;
    uint64_t requiredSpace_ = 0;
    bool sparseMode_ = false;
};
