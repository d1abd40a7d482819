// Windows side of the file layer. Paths arrive as UTF-8 and are opened through the wide API, so
// any name the user can type works whatever the system's code page.
#include "os_file.hpp"
#include "utf8_path.hpp"

#include <chrono>
#include <thread>
#include <utility>
#include <windows.h>

namespace dyeloom::os {
namespace {

std::error_code lastError() {
    return {static_cast<int>(GetLastError()), std::system_category()};
}

// ReadFile and WriteFile take 32-bit counts.
constexpr std::size_t maxTransfer = std::size_t{1} << 30;

OVERLAPPED at(std::uint64_t offset) {
    OVERLAPPED overlapped{};
    overlapped.Offset = static_cast<DWORD>(offset);
    overlapped.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return overlapped;
}

} // namespace

File File::open(const std::string& path, Access access, std::error_code& error) {
    std::wstring wide;
    if (!utf8ToWide(path, wide)) {
        error = std::make_error_code(std::errc::illegal_byte_sequence);
        return File();
    }
    const DWORD rights = access == Access::Read ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
    // Others may keep reading and writing: the game's tools often hold archives open.
    HANDLE handle =
        CreateFileW(wide.c_str(), rights, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = lastError();
        return File();
    }
    error.clear();
    return File(handle);
}

std::error_code File::status(FileStatus& status) const {
    if (GetFileType(handle_) != FILE_TYPE_DISK) {
        status = {FileKind::Other, 0};
        return {};
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle_, &info))
        return lastError();
    status.size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    status.kind = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? FileKind::Directory
                                                                     : FileKind::Regular;
    return {};
}

IoResult File::readAt(std::uint64_t offset, std::span<std::uint8_t> into) const {
    IoResult result;
    while (result.bytes < into.size()) {
        const auto want = static_cast<DWORD>(std::min(into.size() - result.bytes, maxTransfer));
        OVERLAPPED overlapped = at(offset + result.bytes);
        DWORD got = 0;
        if (!ReadFile(handle_, into.data() + result.bytes, want, &got, &overlapped)) {
            if (GetLastError() != ERROR_HANDLE_EOF)
                result.error = lastError();
            break;
        }
        if (got == 0)
            break; // end of file
        result.bytes += got;
    }
    return result;
}

IoResult File::writeAt(std::uint64_t offset, std::span<const std::uint8_t> from) const {
    IoResult result;
    while (result.bytes < from.size()) {
        const auto want = static_cast<DWORD>(std::min(from.size() - result.bytes, maxTransfer));
        OVERLAPPED overlapped = at(offset + result.bytes);
        DWORD put = 0;
        if (!WriteFile(handle_, from.data() + result.bytes, want, &put, &overlapped)) {
            result.error = lastError();
            break;
        }
        if (put == 0) {
            result.error = std::make_error_code(std::errc::io_error);
            break;
        }
        result.bytes += put;
    }
    return result;
}

std::error_code File::lockExclusive(int seconds) const {
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        OVERLAPPED whole{};
        if (LockFileEx(handle_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                       MAXDWORD, &whole))
            return {};
        if (GetLastError() != ERROR_LOCK_VIOLATION || steady_clock::now() >= deadline)
            return lastError();
        std::this_thread::sleep_for(milliseconds(20));
    }
}

std::error_code File::syncData() const {
    return FlushFileBuffers(handle_) ? std::error_code{} : lastError();
}

std::error_code File::close() {
    if (handle_ == nullptr)
        return {};
    return CloseHandle(std::exchange(handle_, nullptr)) ? std::error_code{} : lastError();
}

void MappedRegion::release() noexcept {
    if (address_ != nullptr)
        UnmapViewOfFile(address_);
    address_ = nullptr;
    size_ = 0;
}

void* MappedRegion::mapPages(const File& file, std::size_t size, bool populate,
                             std::error_code& error) {
    HANDLE mapping = CreateFileMappingW(file.handle(), nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping == nullptr) {
        error = lastError();
        return nullptr;
    }
    // The view keeps the mapping alive on its own.
    void* address = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, size);
    if (address == nullptr)
        error = lastError();
    CloseHandle(mapping);
    if (address != nullptr && populate) {
        WIN32_MEMORY_RANGE_ENTRY range{address, size};
        PrefetchVirtualMemory(GetCurrentProcess(), 1, &range, 0); // a hint; failure is harmless
    }
    return address;
}

} // namespace dyeloom::os
