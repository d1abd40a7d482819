#include "process.hpp"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <tuple>
#include <unistd.h>

namespace dyeloom::test {
struct Process::Impl {
    pid_t pid = -1;
    std::filesystem::path outPath;
    std::filesystem::path errPath;
    int timeoutSeconds = 60;
    bool waited = false;
};

Process::Process(const std::vector<std::string>& argv, const std::filesystem::path& workDir,
                 const ProcessOptions& options)
    : impl_(std::make_unique<Impl>()) {
    std::tie(impl_->outPath, impl_->errPath) = outputFiles(workDir, getpid());
    impl_->timeoutSeconds = options.timeoutSeconds;
    std::vector<char*> args;
    for (const auto& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    // A pipe whose reading end is closed before the child exists: every write to it fails.
    int writeEnd = -1;
    if (options.output == ProcessOptions::Output::ClosedPipe) {
        int ends[2];
        if (pipe(ends) != 0)
            throw std::runtime_error("pipe failed");
        close(ends[0]);
        writeEnd = ends[1];
    }
    impl_->pid = fork();
    if (impl_->pid < 0)
        throw std::runtime_error("fork failed");
    if (impl_->pid == 0) {
        for (const auto& [name, value] : options.environment)
            setenv(name.c_str(), value.c_str(), 1);
        for (const auto& [resource, bytes] : {std::pair{RLIMIT_AS, options.addressSpaceLimit},
                                              std::pair{RLIMIT_FSIZE, options.fileSizeLimit},
                                              std::pair{RLIMIT_NOFILE, options.openFilesLimit}}) {
            const rlimit limit{bytes, bytes};
            if (bytes != 0 && setrlimit(resource, &limit) != 0)
                _exit(127);
        }
        const int in = open("/dev/null", O_RDONLY);
        const int out = options.output == ProcessOptions::Output::ClosedPipe
                            ? writeEnd
                            : open(impl_->outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(impl_->errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 ||
            dup2(err, 2) < 0 || chdir(workDir.c_str()) != 0)
            _exit(127);
        if (options.output == ProcessOptions::Output::Closed)
            close(1);
        if (options.user && (setgroups(0, nullptr) != 0 || setgid(*options.user) != 0 ||
                             setuid(*options.user) != 0))
            _exit(127);
        execv(args[0], args.data());
        _exit(127);
    }
    if (writeEnd >= 0)
        close(writeEnd);
}

Process::~Process() {
    if (!impl_->waited) {
        kill(impl_->pid, SIGKILL);
        waitpid(impl_->pid, nullptr, 0);
    }
}

ProcessResult Process::wait() {
    ProcessResult result;
    int status = 0;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(impl_->timeoutSeconds);
    for (;;) {
        const pid_t done = waitpid(impl_->pid, &status, WNOHANG);
        if (done == impl_->pid)
            break;
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(impl_->pid, SIGKILL);
            waitpid(impl_->pid, &status, 0);
            result.timedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    impl_->waited = true;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    collectOutput(result, impl_->outPath, impl_->errPath);
    return result;
}

} // namespace dyeloom::test
