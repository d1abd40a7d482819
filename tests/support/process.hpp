// Runs a program to completion and collects what it printed, for the end-to-end tests.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace dyeloom::test {

struct ProcessResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs `argv` (argv[0] is the program's path) in `workDir`, with standard input empty.
ProcessResult runProcess(const std::vector<std::string>& argv,
                         const std::filesystem::path& workDir);

} // namespace dyeloom::test
