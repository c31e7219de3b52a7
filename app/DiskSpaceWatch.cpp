#include "app/DiskSpaceWatch.h"

#include "app/ControllerContext.h"
#include "app/ControllerState.h"
#include "app/ControllerTexts.h"
#include "engine/api/BrisklaneEngine.h"
#include "platform/Disk.h"
#include "platform/Paths.h"

namespace {

// Whether any folder on the way from path up to its root exists; when none does, the
// volume cannot be asked anything.
bool SomethingExistsAlong(std::string path) {
    while (!path.empty()) {
        if (platform::PathExists(path))
            return true;
        while (path.size() > 1 && platform::EndsWithSeparator(path))
            path.pop_back();
        const size_t at = path.find_last_of(platform::kPathSeparator);
        if (at == std::string::npos)
            return false;
        path.resize(at == 0 ? 1 : at);
        if (path == "/")
            return platform::PathExists(path);
    }
    return false;
}

} // namespace

DiskSpaceWatch::DiskSpaceWatch(const ControllerContext& context, ControllerState& state)
    : context_(context), state_(state) {}

bool DiskSpaceWatch::SetRequiredSpace(const uint64_t (&expectedSizes)[4]) {
    requiredSpace_ = kSpaceMargin;
    for (uint64_t size : expectedSizes)
        requiredSpace_ += size;
    return requiredSpace_ != 0;
}

uint64_t DiskSpaceWatch::PackageBytes() const {
    return requiredSpace_ >= kSpaceMargin ? requiredSpace_ - kSpaceMargin : 0;
}

uint64_t DiskSpaceWatch::FreeSpace(const std::string& path) const {
    if (context_.env().freeSpace)
        return context_.env().freeSpace(path);
    return EngineGetFreeDiskSpace(path.c_str());
}

bool DiskSpaceWatch::MayReserveSpace(const std::string& path) const {
    if (context_.env().mayReserveSpace)
        return context_.env().mayReserveSpace(path);
    return platform::VolumeSupportsReservation(path);
}

void DiskSpaceWatch::TestSparseMode(const std::string& path) {
    if (!SomethingExistsAlong(path))
        return;
    if (MayReserveSpace(path)) {
        sparseMode_ = false;
        LogLine(kLogController, texts::kLogReserveUpFront);
        return;
    }
    const ControllerEnvironment& env = context_.env();
    const bool sparse =
        env.supportsSparseFiles ? env.supportsSparseFiles(path) : platform::VolumeSupportsSparseFiles(path);
    sparseMode_ = sparse;
    LogLine(kLogController, sparse ? texts::kLogSparseSupported : texts::kLogSparseNotSupported);
}

bool DiskSpaceWatch::HasSpaceToStart(const std::string& path) {
    if (FreeSpace(path) >= requiredSpace_)
        return true;
    context_.ShowNotice(texts::kMsgNoSpaceToStart);
    state_.SetDiskSpaceLow(true);
    return false;
}
