#include "process.hpp"

#include <stdexcept>
#include <tuple>
#include <windows.h>

namespace dyeloom::test {
namespace {

std::wstring widen(const std::string& text) {
    if (text.empty())
        return {};
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                        length);
    return wide;
}

// Quotes one argument the way the C runtime's command-line parser takes it apart again.
std::wstring quote(const std::wstring& argument) {
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted.push_back(c);
    }
    quoted.append(backslashes * 2, L'\\');
    quoted.push_back(L'"');
    return quoted;
}

HANDLE inheritable(const std::filesystem::path& path, DWORD access, DWORD disposition) {
    SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE handle = CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &security,
                                disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot open " + path.string());
    return handle;
}

} // namespace

struct Process::Impl {
    PROCESS_INFORMATION info{};
    std::filesystem::path outPath;
    std::filesystem::path errPath;
    int timeoutSeconds = 60;
    bool waited = false;
};

Process::Process(const std::vector<std::string>& argv, const std::filesystem::path& workDir,
                 const ProcessOptions& options)
    : impl_(std::make_unique<Impl>()) {
    std::tie(impl_->outPath, impl_->errPath) = outputFiles(workDir, GetCurrentProcessId());
    impl_->timeoutSeconds = options.timeoutSeconds;

    std::wstring commandLine;
    for (const auto& argument : argv)
        commandLine += (commandLine.empty() ? L"" : L" ") + quote(widen(argument));

    HANDLE in = inheritable(L"NUL", GENERIC_READ, OPEN_EXISTING);
    HANDLE out = inheritable(impl_->outPath, GENERIC_WRITE, CREATE_ALWAYS);
    HANDLE err = inheritable(impl_->errPath, GENERIC_WRITE, CREATE_ALWAYS);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    const BOOL started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, workDir.c_str(), &startup, &impl_->info);
    CloseHandle(in);
    CloseHandle(out);
    CloseHandle(err);
    if (!started)
        throw std::runtime_error("cannot start " + argv.front());
}

Process::~Process() {
    if (!impl_->waited) {
        TerminateProcess(impl_->info.hProcess, 1);
        WaitForSingleObject(impl_->info.hProcess, INFINITE);
    }
    CloseHandle(impl_->info.hThread);
    CloseHandle(impl_->info.hProcess);
}

ProcessResult Process::wait() {
    ProcessResult result;
    const DWORD limit = static_cast<DWORD>(impl_->timeoutSeconds) * 1000;
    if (WaitForSingleObject(impl_->info.hProcess, limit) == WAIT_TIMEOUT) {
        TerminateProcess(impl_->info.hProcess, 1);
        WaitForSingleObject(impl_->info.hProcess, INFINITE);
        result.timedOut = true;
    }
    impl_->waited = true;
    DWORD status = 0;
    GetExitCodeProcess(impl_->info.hProcess, &status);
    result.status = static_cast<int>(status);
    collectOutput(result, impl_->outPath, impl_->errPath);
    return result;
}

} // namespace dyeloom::test
