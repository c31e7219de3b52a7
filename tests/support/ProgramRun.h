#pragma once
// Running a program to its end, as a test's step: its exit and what it wrote.
#include <string>
#include <vector>

namespace testsupport {

struct ProgramResult {
    int exit = -1; // the exit code; minus the signal when the program was killed
    std::string out;
    std::string err;
};

// Runs argv (argv[0] a full path) and waits for it; its standard output and error go
// to files in logFolder and are returned. exit stays -1 when it could not be started.
ProgramResult RunProgram(const std::vector<std::string>& argv, const std::string& logFolder);

} // namespace testsupport
