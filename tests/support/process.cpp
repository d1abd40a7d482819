#include "process.hpp"

#include "temp_dir.hpp"

#include <atomic>

namespace dyeloom::test {
namespace {

// What the child wrote to `path`; nothing if it had no file there (its output went elsewhere).
std::string slurp(const std::filesystem::path& path) {
    if (!std::filesystem::exists(path))
        return {};
    const auto bytes = readBytes(path);
    return {bytes.begin(), bytes.end()};
}

} // namespace

std::pair<std::filesystem::path, std::filesystem::path>
outputFiles(const std::filesystem::path& workDir, unsigned long testProcessId) {
    static std::atomic<int> serial{0};
    const std::string tag = std::to_string(testProcessId) + "." + std::to_string(serial++);
    return {workDir / (".stdout." + tag), workDir / (".stderr." + tag)};
}

void collectOutput(ProcessResult& result, const std::filesystem::path& outPath,
                   const std::filesystem::path& errPath) {
    result.out = slurp(outPath);
    result.err = slurp(errPath);
    std::filesystem::remove(outPath);
    std::filesystem::remove(errPath);
}

ProcessResult runProcess(const std::vector<std::string>& argv, const std::filesystem::path& workDir,
                         const ProcessOptions& options) {
    return Process(argv, workDir, options).wait();
}

} // namespace dyeloom::test
