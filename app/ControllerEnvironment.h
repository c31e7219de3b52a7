#pragma once
// What the controller takes from its surroundings. Every member left empty (or null)
// means the program's own: the platform's folders, the running program's resources,
// the real disks and port probes. Tests fill in their own.
#include <cstdint>
#include <functional>
#include <string>

class EventReporter;
class IControllerFrontEnd;
class IControllerSeams;

struct ControllerEnvironment {
    // The common application data folder under which the data folder is made.
    std::string dataRoot;
    // The folder that may hold the tuning file.
    std::string workingDirectory;
    // The file whose appended archive holds the statistics configuration and torrents.
    std::string resourceFile;
    // The version reported to the statistics; "" means the program's own.
    std::string programVersion;

    // The folder that gets the default save folder: the writable place of a fixed disk
    // with the most free space.
    std::function<std::string()> defaultSavePlace;
    // The listening port for the engine; 0 when none could be offered.
    std::function<int()> choosePort;
    // Bytes free to the caller where path lies.
    std::function<uint64_t(const std::string& path)> freeSpace;
    // Whether the engine's files can take their full size up front there.
    std::function<bool(const std::string& path)> mayReserveSpace;
    // Whether files there may have holes.
    std::function<bool(const std::string& path)> supportsSparseFiles;
    // Opens a file the way the desktop does (platform::ShellOpen): the shell's
    // numbering, above 32 for success.
    std::function<int(const std::string& path, const std::string& workingDirectory)> shellOpen;

    IControllerFrontEnd* frontEnd = nullptr; // modal answers; none: shown through the message sink
    IControllerSeams* seams = nullptr;       // none: the controller's own operations
    EventReporter* events = nullptr;         // none: the engine's statistics upload
};
