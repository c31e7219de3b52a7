#include "ui/console/CliOptions.h"

#include "platform/Paths.h"
#include "platform/TextEncoding.h"
#include "ui/console/ConsoleTexts.h"

#include <cerrno>
#include <cstdlib>

namespace {

CliOptions UsageError(std::string text, std::string caption = {}) {
    CliOptions o;
    o.outcome = CliOptions::Outcome::UsageError;
    o.error = std::move(text);
    o.errorCaption = std::move(caption);
    return o;
}

// The settings dialog takes the spin control's answer as a whole: anything that is not
// a plain number in range gets the same warning.
bool ParseSpeedLimit(const std::string& text, int& value) {
    if (text.empty() || text.size() > 9)
        return false;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    const long v = std::strtol(text.c_str(), nullptr, 10);
    if (v < CliOptions::kMinSpeedLimit || v > CliOptions::kMaxSpeedLimit)
        return false;
    value = static_cast<int>(v);
    return true;
}

} // namespace

CliOptions CliOptions::Parse(const std::vector<std::string>& args, const std::string& cwd) {
    CliOptions o;
    bool saveGiven = false, speedGiven = false, noInstallGiven = false;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool hasValue = false;
        if (name.rfind("--", 0) == 0) {
            const size_t eq = name.find('=');
            if (eq != std::string::npos) {
                value = name.substr(eq + 1);
                name = name.substr(0, eq);
                hasValue = true;
            }
        }
        const bool takesValue = name == "--save-dir" || name == "--speed-limit" || name == "--verify";
        if (name == "--help" || name == "-h") {
            if (hasValue)
                return UsageError("unexpected value for " + name);
            o.outcome = Outcome::Help;
            return o;
        }
        if (!takesValue && name != "--no-install")
            return UsageError("unknown option: " + platform::Utf8ToGbk(args[i]));
        if (takesValue && !hasValue) {
            if (i + 1 >= args.size())
                return UsageError("missing value for " + name);
            value = args[++i];
        }
        if (name == "--no-install") {
            if (hasValue)
                return UsageError("unexpected value for --no-install");
            if (noInstallGiven)
                return UsageError("--no-install given twice");
            noInstallGiven = true;
            o.install = false;
        } else if (name == "--save-dir") {
            if (saveGiven)
                return UsageError("--save-dir given twice");
            saveGiven = true;
            if (value.empty())
                return UsageError("empty value for --save-dir");
            o.saveDir = platform::IsSeparator(value[0]) ? value : platform::JoinPath(cwd, value);
        } else if (name == "--speed-limit") {
            if (speedGiven)
                return UsageError("--speed-limit given twice");
            speedGiven = true;
            if (!ParseSpeedLimit(value, o.speedLimit))
                return UsageError(texts::kCliSpeedWarning, texts::kCliWarningCaption);
        } else {
            if (o.verifyGiven)
                return UsageError("--verify given twice");
            o.verifyGiven = true;
            if (value == "yes")
                o.verify = Verify::Yes;
            else if (value == "no")
                o.verify = Verify::No;
            else
                return UsageError("--verify takes yes or no, not: " + platform::Utf8ToGbk(value));
        }
    }
    return o;
}

std::string CliOptions::SaveFolder() const {
    if (saveDir.empty())
        return {};
    return platform::JoinPath(saveDir, kPackageFolderName);
}
