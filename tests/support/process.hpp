// Runs a program and collects what it printed, for the end-to-end tests.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace dyeloom::test {

struct ProcessResult {
    int status = -1;
    bool timedOut = false;
    std::string out;
    std::string err;
};

struct ProcessOptions {
    std::vector<std::pair<std::string, std::string>> environment; // added to the test's own
    int timeoutSeconds = 60;           // then the child is killed and the result says so
    std::size_t addressSpaceLimit = 0; // bytes of address space for the child (POSIX); 0: none
    std::size_t fileSizeLimit = 0;     // largest file size the child may write (POSIX); 0: none
    std::size_t openFilesLimit = 0;    // most files the child may hold open (POSIX); 0: no limit
    // The user and group the child runs as, with no supplementary groups (POSIX, from root):
    // permission checks are tested for real, not skipped because the tests run as root.
    std::optional<unsigned> user;
    // Where the child's standard output goes (POSIX): a file the result reads back, a pipe
    // nobody reads (closed before the child starts), or nowhere (the stream is closed).
    enum class Output { File, ClosedPipe, Closed } output = Output::File;
};

// A started child; wait() collects it. Output goes to files rather than pipes so that no pipe
// buffer can stall the child while the test waits for another.
class Process {
public:
    Process(const std::vector<std::string>& argv, const std::filesystem::path& workDir,
            const ProcessOptions& options = {});
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    ~Process();

    ProcessResult wait();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Runs `argv` (argv[0] is the program's path) in `workDir`, with standard input empty.
ProcessResult runProcess(const std::vector<std::string>& argv, const std::filesystem::path& workDir,
                         const ProcessOptions& options = {});

// Names for a child's standard output and error files in `workDir`, unique within the run.
std::pair<std::filesystem::path, std::filesystem::path>
outputFiles(const std::filesystem::path& workDir, unsigned long testProcessId);

// Reads the child's output files into `result` and removes them.
void collectOutput(ProcessResult& result, const std::filesystem::path& outPath,
                   const std::filesystem::path& errPath);

} // namespace dyeloom::test
