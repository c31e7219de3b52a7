#pragma once
// The console front end's command line:
//
//   brisklane-cli [--save-dir DIR] [--speed-limit KIB] [--verify yes|no] [--no-install]
//
// Each option stands for what the user would do in the window: pick a folder, set a
// limit in the settings, answer the verification question, and not press install.
#include <string>
#include <vector>

class CliOptions {
public:
    enum class Verify { Ask, Yes, No };
    enum class Outcome { Run, Help, UsageError };

    static constexpr int kMinSpeedLimit = 10;
    static constexpr int kMaxSpeedLimit = 30000;
    // The folder the window makes inside the one the user picks.
    static constexpr const char* kPackageFolderName = "Orlanta10117";

    // args without the program name. cwd makes a relative --save-dir absolute, as a
    // folder dialog would hand it over.
    static CliOptions Parse(const std::vector<std::string>& args, const std::string& cwd);

    Outcome outcome = Outcome::Run;
    // For a usage error: what to print (GBK), and its caption when it is the
    // settings dialog's warning (empty otherwise).
    std::string error;
    std::string errorCaption;

    std::string saveDir; // absolute; empty when not given
    int speedLimit = 0;  // KiB/s; 0 when not given
    Verify verify = Verify::Ask;
    bool verifyGiven = false;
    bool install = true;

    // The save folder the controller gets: DIR, a separator, the package folder.
    std::string SaveFolder() const;
};
