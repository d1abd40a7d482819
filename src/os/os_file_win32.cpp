// Windows side of the platform layer's files and mappings. Paths arrive as UTF-8 and are opened
// through the wide API, so any name the user can type works whatever the system's code page.
#include "os_file.hpp"
#include "os_utf8.hpp"

#include <string_view>
#include <utility>
#include <vector>
#include <windows.h>

namespace dyeloom::os {
namespace {

std::error_code lastError() {
    return {static_cast<int>(GetLastError()), std::system_category()};
}

OVERLAPPED at(std::uint64_t offset) {
    OVERLAPPED overlapped{};
    overlapped.Offset = static_cast<DWORD>(offset);
    overlapped.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return overlapped;
}

constexpr DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A reparse point that names another file: a symbolic link, a junction. Others (cloud files
// not yet downloaded, deduplicated files) are the file itself, read through a filter.
bool isLinkTag(DWORD attributes, DWORD tag) {
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && IsReparseTagNameSurrogate(tag);
}

bool isLinkHandle(HANDLE handle) {
    FILE_ATTRIBUTE_TAG_INFO info{};
    return GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof info) &&
           isLinkTag(info.FileAttributes, info.ReparseTag);
}

// The path the system knows an open handle by, in its short form (C:\... or \\server\...).
std::error_code finalPathOf(HANDLE handle, std::string& resolved) {
    std::wstring name(MAX_PATH, L'\0');
    DWORD length = 0;
    for (;;) {
        length = GetFinalPathNameByHandleW(handle, name.data(), static_cast<DWORD>(name.size()),
                                           FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length < name.size())
            break;
        name.resize(length + 1);
    }
    if (length == 0)
        return lastError();
    name.resize(length);
    // "\\?\C:\..." and "\\?\UNC\server\..." are the long forms of "C:\..." and "\\server\...".
    if (name.rfind(L"\\\\?\\UNC\\", 0) == 0)
        name = L"\\" + name.substr(7);
    else if (name.rfind(L"\\\\?\\", 0) == 0)
        name = name.substr(4);
    resolved = wideToUtf8(name);
    return {};
}

void fillFromHandle(const BY_HANDLE_FILE_INFORMATION& info, FileStatus& status) {
    status.size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    status.identity = {info.dwVolumeSerialNumber,
                       (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
    status.kind = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? FileKind::Directory
                                                                     : FileKind::Regular;
}

} // namespace

std::optional<std::uint32_t> currentUser() {
    return std::nullopt;
}

std::error_code File::open(const std::string& path, Access access, File& file, LastLink lastLink) {
    std::wstring wide;
    if (!utf8ToWide(path, wide))
        return std::make_error_code(std::errc::illegal_byte_sequence);
    const DWORD rights = access == Access::Read ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
    const DWORD disposition = access == Access::CreateNew ? CREATE_NEW : OPEN_EXISTING;
    const DWORD flags =
        FILE_ATTRIBUTE_NORMAL | (lastLink == LastLink::Refuse ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    // Others may keep reading and writing: the game's tools often hold archives open.
    HANDLE handle =
        CreateFileW(wide.c_str(), rights, shareAll, nullptr, disposition, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return lastError();
    if (lastLink == LastLink::Refuse && isLinkHandle(handle)) {
        CloseHandle(handle);
        return std::make_error_code(std::errc::too_many_symbolic_link_levels);
    }
    file = File(handle);
    return {};
}

std::error_code File::status(FileStatus& status) const {
    if (GetFileType(handle_) != FILE_TYPE_DISK) {
        status = FileStatus{};
        return {};
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle_, &info))
        return lastError();
    fillFromHandle(info, status);
    return {};
}

std::error_code File::realPath(std::string& resolved) const {
    return finalPathOf(handle_, resolved);
}

std::error_code File::readOnce(std::uint64_t offset, MutableBytes into, std::size_t& done) const {
    OVERLAPPED overlapped = at(offset);
    DWORD got = 0;
    if (!ReadFile(handle_, into.data(), static_cast<DWORD>(into.size()), &got, &overlapped) &&
        GetLastError() != ERROR_HANDLE_EOF)
        return lastError();
    done = got;
    return {};
}

std::error_code File::writeOnce(std::uint64_t offset, Bytes from, std::size_t& done) const {
    OVERLAPPED overlapped = at(offset);
    DWORD put = 0;
    if (!WriteFile(handle_, from.data(), static_cast<DWORD>(from.size()), &put, &overlapped))
        return lastError();
    done = put;
    return {};
}

std::error_code File::tryLockExclusive() const {
    OVERLAPPED data{};
    if (LockFileEx(handle_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                   static_cast<DWORD>(lockOnlyBytes), static_cast<DWORD>(lockOnlyBytes >> 32),
                   &data))
        return {};
    if (GetLastError() == ERROR_LOCK_VIOLATION)
        return std::make_error_code(std::errc::resource_unavailable_try_again);
    return lastError();
}

std::error_code File::tryLockByte(std::uint64_t offset, LockMode mode) const {
    OVERLAPPED overlapped = at(offset);
    const DWORD flags =
        LOCKFILE_FAIL_IMMEDIATELY | (mode == LockMode::Exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
    if (LockFileEx(handle_, flags, 0, 1, 0, &overlapped))
        return {};
    if (GetLastError() == ERROR_LOCK_VIOLATION)
        return std::make_error_code(std::errc::resource_unavailable_try_again);
    return lastError();
}

std::error_code File::unlockByte(std::uint64_t offset) const {
    OVERLAPPED overlapped = at(offset);
    return UnlockFileEx(handle_, 0, 1, 0, &overlapped) ? std::error_code{} : lastError();
}

void File::expectInOrder(bool) const noexcept {}

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

std::error_code MappedRegion::mapPages(const File& file, std::size_t size, Use use,
                                       void*& address) {
    HANDLE mapping = CreateFileMappingW(file.handle(), nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping == nullptr)
        return lastError();
    // The view keeps the mapping alive on its own.
    void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, size);
    const std::error_code error = view == nullptr ? lastError() : std::error_code{};
    CloseHandle(mapping);
    if (error)
        return error;
    if (use == Use::Whole) {
        WIN32_MEMORY_RANGE_ENTRY range{view, size};
        PrefetchVirtualMemory(GetCurrentProcess(), 1, &range, 0); // a hint; failure is harmless
    }
    address = view;
    return {};
}

void MappedRegion::prefetch(std::span<const Bytes> parts) const noexcept {
    // All the parts in one call: the memory manager issues their reads together.
    std::vector<WIN32_MEMORY_RANGE_ENTRY> ranges;
    const auto* begin = static_cast<const std::uint8_t*>(address_);
    for (const Bytes part : parts)
        if (part.data() >= begin && part.data() + part.size() <= begin + size_ && !part.empty())
            ranges.push_back({const_cast<std::uint8_t*>(part.data()), part.size()});
    if (!ranges.empty())
        PrefetchVirtualMemory(GetCurrentProcess(), ranges.size(), ranges.data(), 0);
}

bool MappedRegion::damaged() const noexcept {
    return false;
}

std::optional<std::size_t> MappedRegion::countResident(std::span<const Bytes>) const {
    return std::nullopt;
}

std::error_code linkStatus(const std::string& path, FileStatus& status) {
    std::wstring wide;
    if (!utf8ToWide(path, wide))
        return std::make_error_code(std::errc::illegal_byte_sequence);
    WIN32_FILE_ATTRIBUTE_DATA info{};
    if (!GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &info))
        return lastError();
    status = {};
    status.size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    status.kind = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? FileKind::Directory
                                                                     : FileKind::Regular;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        // Only the folder's entry for the name tells what kind of reparse point it is.
        WIN32_FIND_DATAW found{};
        HANDLE search = FindFirstFileW(wide.c_str(), &found);
        if (search == INVALID_HANDLE_VALUE || isLinkTag(found.dwFileAttributes, found.dwReserved0))
            status.kind = FileKind::Link;
        if (search != INVALID_HANDLE_VALUE)
            FindClose(search);
    }
    return {};
}

std::error_code isFolder(const std::string& path, bool& folder) {
    std::wstring wide;
    if (!utf8ToWide(path, wide))
        return std::make_error_code(std::errc::invalid_argument);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return lastError();
    folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return {};
}

namespace {

FileKind kindOf(const WIN32_FIND_DATAW& found) {
    // A symbolic link or a junction is reported, not followed.
    if (isLinkTag(found.dwFileAttributes, found.dwReserved0))
        return FileKind::Link;
    return (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? FileKind::Directory
                                                               : FileKind::Regular;
}

} // namespace

namespace detail {

std::error_code listEntries(const std::string& path, const std::string& relative,
                            FolderListing& listing, std::vector<std::string>& pending) {
    std::wstring pattern;
    if (!utf8ToWide(path + "/*", pattern))
        return std::make_error_code(std::errc::illegal_byte_sequence);
    WIN32_FIND_DATAW found{};
    struct CloseLater {
        HANDLE search;
        ~CloseLater() {
            if (search != INVALID_HANDLE_VALUE)
                FindClose(search);
        }
    } const opened{FindFirstFileW(pattern.c_str(), &found)};
    if (opened.search == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND ? std::error_code{} : lastError();
    do {
        const std::string name = wideToUtf8(found.cFileName);
        if (name == "." || name == "..")
            continue;
        std::string child = relative.empty() ? name : relative + "/" + name;
        const FileKind kind = kindOf(found);
        if (kind == FileKind::Directory)
            pending.push_back(std::move(child));
        else
            listing.files.push_back(
                {std::move(child), kind,
                 (std::uint64_t{found.nFileSizeHigh} << 32) | found.nFileSizeLow});
    } while (FindNextFileW(opened.search, &found));
    return GetLastError() == ERROR_NO_MORE_FILES ? std::error_code{} : lastError();
}

bool isGone(const std::error_code& error) {
    return isMissing(error) || error.value() == ERROR_DIRECTORY;
}

bool isSeparator(char c) {
    return std::string_view("/\\").find(c) != std::string_view::npos;
}

} // namespace detail

namespace {

// Opens what `path` leads to with no access rights, only to ask about it: following links, and
// folders too (backup semantics).
std::error_code openToAsk(const std::string& path, HANDLE& handle) {
    std::wstring wide;
    if (!utf8ToWide(path, wide))
        return std::make_error_code(std::errc::illegal_byte_sequence);
    handle = CreateFileW(wide.c_str(), 0, shareAll, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    return handle == INVALID_HANDLE_VALUE ? lastError() : std::error_code{};
}

} // namespace

std::error_code realPath(const std::string& path, std::string& resolved) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (const auto error = openToAsk(path, handle))
        return error;
    const std::error_code error = finalPathOf(handle, resolved);
    CloseHandle(handle);
    return error;
}

std::error_code pathStatus(const std::string& path, FileStatus& status) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (const auto error = openToAsk(path, handle))
        return error;
    status = {};
    BY_HANDLE_FILE_INFORMATION info{};
    const bool disk = GetFileType(handle) == FILE_TYPE_DISK;
    const bool known = disk && GetFileInformationByHandle(handle, &info);
    const std::error_code error = disk && !known ? lastError() : std::error_code{};
    CloseHandle(handle);
    if (known)
        fillFromHandle(info, status);
    return error;
}

std::size_t lastComponentAt(const std::string& path) {
    const std::size_t separator = path.find_last_of("/\\:");
    return separator == std::string::npos ? 0 : separator + 1;
}

std::error_code removeFile(const std::string& path) {
    std::wstring wide;
    if (!utf8ToWide(path, wide))
        return std::make_error_code(std::errc::illegal_byte_sequence);
    return DeleteFileW(wide.c_str()) ? std::error_code{} : lastError();
}

std::error_code replaceFile(const std::string& from, const std::string& to) {
    std::wstring wideFrom, wideTo;
    if (!utf8ToWide(from, wideFrom) || !utf8ToWide(to, wideTo))
        return std::make_error_code(std::errc::illegal_byte_sequence);
    return MoveFileExW(wideFrom.c_str(), wideTo.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
               ? std::error_code{}
               : lastError();
}

std::error_code syncFolderOf(const std::string&) {
    return {};
}

bool isMissing(const std::error_code& error) {
    return error.category() == std::system_category() &&
           (error.value() == ERROR_FILE_NOT_FOUND || error.value() == ERROR_PATH_NOT_FOUND);
}

bool isResourceShortage(const std::error_code& error) {
    if (error.category() != std::system_category())
        return false;
    switch (error.value()) {
    case ERROR_TOO_MANY_OPEN_FILES:
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_NO_SYSTEM_RESOURCES:
    case ERROR_NONPAGED_SYSTEM_RESOURCES:
    case ERROR_PAGED_SYSTEM_RESOURCES:
    case ERROR_WORKING_SET_QUOTA:
    case ERROR_COMMITMENT_LIMIT:
    case ERROR_IO_DEVICE:
    case ERROR_CRC:
        return true;
    default:
        return false;
    }
}

bool isLink(const std::error_code& error) {
    return error == std::errc::too_many_symbolic_link_levels;
}

} // namespace dyeloom::os
