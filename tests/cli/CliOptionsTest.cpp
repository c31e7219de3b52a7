#include "ui/console/CliOptions.h"
#include "ui/console/ConsoleTexts.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Outcome = CliOptions::Outcome;
using Verify = CliOptions::Verify;

struct Case {
    std::vector<std::string> args;
    Outcome outcome;
    std::string saveDir = "";
    int speedLimit = 0;
    Verify verify = Verify::Ask;
    bool install = true;
};

TEST(CliOptionsTest, AcceptedCommandLines) {
    const std::vector<Case> cases = {
        {{}, Outcome::Run},
        {{"--save-dir", "/data/games"}, Outcome::Run, "/data/games"},
        {{"--save-dir=/data/games"}, Outcome::Run, "/data/games"},
        {{"--save-dir", "games"}, Outcome::Run, "/home/u/games"},
        {{"--speed-limit", "10"}, Outcome::Run, "", 10},
        {{"--speed-limit=30000"}, Outcome::Run, "", 30000},
        {{"--verify", "yes"}, Outcome::Run, "", 0, Verify::Yes},
        {{"--verify=no"}, Outcome::Run, "", 0, Verify::No},
        {{"--no-install"}, Outcome::Run, "", 0, Verify::Ask, false},
        {{"--no-install", "--verify", "no", "--speed-limit", "200", "--save-dir", "/s"},
         Outcome::Run,
         "/s",
         200,
         Verify::No,
         false},
        // A value may look like an option: it is the value.
        {{"--save-dir", "--no-install"}, Outcome::Run, "/home/u/--no-install"},
        {{"--help"}, Outcome::Help},
        {{"--verify", "yes", "-h"}, Outcome::Help, "", 0, Verify::Yes},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const std::string& a : c.args)
            line += a + " ";
        const CliOptions o = CliOptions::Parse(c.args, "/home/u");
        EXPECT_EQ(o.outcome, c.outcome) << line << o.error;
        EXPECT_EQ(o.saveDir, c.saveDir) << line;
        EXPECT_EQ(o.speedLimit, c.speedLimit) << line;
        EXPECT_EQ(o.verify, c.verify) << line;
        EXPECT_EQ(o.verifyGiven, c.verify != Verify::Ask) << line;
        EXPECT_EQ(o.install, c.install) << line;
    }
}

TEST(CliOptionsTest, UsageErrorsNameTheFault) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--bogus"}, "unknown option: --bogus"},
        {{"install"}, "unknown option: install"},
        {{"--save-dir"}, "missing value for --save-dir"},
        {{"--verify"}, "missing value for --verify"},
        {{"--save-dir="}, "empty value for --save-dir"},
        {{"--save-dir", "/a", "--save-dir", "/b"}, "--save-dir given twice"},
        {{"--verify", "yes", "--verify=yes"}, "--verify given twice"},
        {{"--no-install", "--no-install"}, "--no-install given twice"},
        {{"--no-install=yes"}, "unexpected value for --no-install"},
        {{"--verify", "maybe"}, "--verify takes yes or no, not: maybe"},
        {{"--verify", "YES"}, "--verify takes yes or no, not: YES"},
    };
    for (const auto& [args, error] : cases) {
        const CliOptions o = CliOptions::Parse(args, "/");
        EXPECT_EQ(o.outcome, Outcome::UsageError) << error;
        EXPECT_EQ(o.error, error);
        EXPECT_TRUE(o.errorCaption.empty()) << error;
    }
}

// Every limit the settings dialog refuses gets its warning, with its caption.
TEST(CliOptionsTest, SpeedLimitOutsideTheDialogsRangeGetsItsWarning) {
    for (const std::string value :
         {"9", "0", "30001", "-10", "abc", "", "12k", "1e3", " 100", "99999999999"}) {
        const CliOptions o = CliOptions::Parse({"--speed-limit=" + value}, "/");
        EXPECT_EQ(o.outcome, Outcome::UsageError) << value;
        EXPECT_EQ(o.error, texts::kCliSpeedWarning) << value;
        EXPECT_EQ(o.errorCaption, texts::kCliWarningCaption) << value;
    }
    EXPECT_EQ(CliOptions::Parse({"--speed-limit", "9"}, "/").error, texts::kCliSpeedWarning);
    // Twice is a plain usage error, even with a bad second value.
    EXPECT_EQ(CliOptions::Parse({"--speed-limit", "20", "--speed-limit", "5"}, "/").error,
              "--speed-limit given twice");
}

TEST(CliOptionsTest, SaveFolderIsThePickedFolderWithThePackageFolder) {
    CliOptions o = CliOptions::Parse({"--save-dir", "/data/games/"}, "/");
    EXPECT_EQ(o.SaveFolder(), "/data/games/Orlanta10117");
    o = CliOptions::Parse({"--save-dir", "/"}, "/");
    EXPECT_EQ(o.SaveFolder(), "/Orlanta10117");
    EXPECT_EQ(CliOptions::Parse({}, "/").SaveFolder(), "");
}

} // namespace
