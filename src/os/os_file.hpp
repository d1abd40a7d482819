// The platform's files and memory mappings, POSIX and Windows behind one interface.
//
// One result convention throughout: every call returns a std::error_code, empty on success, and
// hands anything else it produces back through its last (out) parameter. Nothing here prints or
// throws. Loops that carry a transfer or a lock attempt to its end live once, in os_file.cpp,
// above the one-shot platform calls declared private below.
#pragma once

#include "bytes.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace dyeloom::os {

// What a path leads to. Devices, FIFOs and sockets are told apart because a mod may hold any of
// them, and the run says which it met.
enum class FileKind { Regular, Directory, Link, Fifo, Device, Socket, Other };

// Which file an open handle is, whatever path reached it: two paths name one file (hard links,
// symbolic links, two spellings of a path) exactly when their identities are equal.
struct FileIdentity {
    std::uint64_t device = 0; // st_dev; the volume serial number on Windows
    std::uint64_t file = 0;   // st_ino; the file index on Windows
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

struct FileStatus {
    FileKind kind = FileKind::Other;
    std::uint64_t size = 0;
    FileIdentity identity;
    // Who owns the file (its user id), where the system says so: not on Windows, whose owners
    // and rights are access lists.
    std::optional<std::uint32_t> owner;
    // Whether users other than the owner may write to it (group or others), where the system
    // says so as mode bits.
    bool othersMayWrite = false;
};

// The user this process acts as, where the system has user ids (not on Windows).
std::optional<std::uint32_t> currentUser();

// Where the bytes that only carry locks begin: far past any data, so that a lock there, which
// Windows enforces on reads and writes, never stands in the way of the file's own bytes.
inline constexpr std::uint64_t lockOnlyBytes = std::uint64_t{1} << 62;

// An open file, closed when the owner goes away. The explicit close() exists so that a writer
// can see a failed close, which on some file systems is where a lost write shows up.
class File {
public:
    // Read: reading only. Update: reading and writing an existing file. CreateNew: reading and
    // writing a file that this call creates, readable by its owner only; it fails if the path
    // exists.
    enum class Access { Read, Update, CreateNew };

    File() = default;
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File();

    // What a symbolic link at the path's last component leads to: the file it names, or an
    // error (std::errc::too_many_symbolic_link_levels; see isLink) instead of opening anything.
    enum class LastLink { Follow, Refuse };

    // Opening never blocks: a FIFO with no writer opens at once and is refused later, by kind.
    [[nodiscard]] static std::error_code open(const std::string& path, Access access, File& file,
                                              LastLink lastLink = LastLink::Follow);

    [[nodiscard]] std::error_code status(FileStatus& status) const;
    // Where the open file is: its absolute path, every link resolved, as the system knows it from
    // the handle itself (so no later change to the path can alter the answer). Fails where the
    // system cannot say (Linux without /proc).
    [[nodiscard]] std::error_code realPath(std::string& resolved) const;
    // Reads until `into` is full or the file ends; `done` counts the bytes that arrived.
    [[nodiscard]] std::error_code readAt(std::uint64_t offset, MutableBytes into,
                                         std::size_t& done) const;
    // Writes all of `from` unless an error stops it; `done` counts the bytes written.
    [[nodiscard]] std::error_code writeAt(std::uint64_t offset, Bytes from,
                                          std::size_t& done) const;
    // Locks the file's data (every byte below lockOnlyBytes) against other programs that ask
    // for it: waits up to `patience` for them to let go of the file, then fails with
    // std::errc::resource_unavailable_try_again; fails with std::errc::interrupted as soon as
    // `giveUp` (asked between attempts) says so.
    [[nodiscard]] std::error_code lockExclusive(std::chrono::milliseconds patience,
                                                const std::function<bool()>& giveUp) const;
    // A lock on the one byte at `offset` (at or past lockOnlyBytes, where no data lies), held by
    // this handle until unlockByte or its close: shared ones coexist, an exclusive one excludes
    // every other, whichever handle or process holds it. Fails at once with
    // std::errc::resource_unavailable_try_again while another's lock is in the way. An exclusive
    // lock needs a handle open for writing on POSIX systems.
    enum class LockMode { Shared, Exclusive };
    [[nodiscard]] std::error_code tryLockByte(std::uint64_t offset, LockMode mode) const;
    [[nodiscard]] std::error_code unlockByte(std::uint64_t offset) const;
    // Tells the system how the file will be read next: in order (its readahead then runs far
    // ahead of the reads) or here and there (then it reads only what is asked for). A hint:
    // failures are ignored, and Windows, which takes it only when a file is opened, ignores it.
    void expectInOrder(bool inOrder) const noexcept;
    // Forces written data to stable storage.
    [[nodiscard]] std::error_code syncData() const;
    [[nodiscard]] std::error_code close();

#ifdef _WIN32
    using Handle = void*;
    static constexpr Handle noHandle = nullptr;
#else
    using Handle = int;
    static constexpr Handle noHandle = -1;
#endif
    [[nodiscard]] Handle handle() const noexcept {
        return handle_;
    }

private:
    explicit File(Handle handle) : handle_(handle) {}

    // One system call each. A read that meets the end of the file gives done == 0 and no error.
    [[nodiscard]] std::error_code readOnce(std::uint64_t offset, MutableBytes into,
                                           std::size_t& done) const;
    [[nodiscard]] std::error_code writeOnce(std::uint64_t offset, Bytes from,
                                            std::size_t& done) const;
    // Fails with std::errc::resource_unavailable_try_again while another process holds a lock.
    [[nodiscard]] std::error_code tryLockExclusive() const;

    Handle handle_ = noHandle;
};

// A read-only view of a whole file's bytes in memory, unmapped when the owner goes away.
//
// The bytes are the file's own pages, not a copy: if another program truncates the file while
// it is mapped, reading a page past the new end raises SIGBUS on POSIX systems (Windows refuses
// to truncate a mapped file). Callers that read the view must be prepared for that.
class MappedRegion {
public:
    MappedRegion() = default;
    MappedRegion(MappedRegion&& other) noexcept;
    MappedRegion& operator=(MappedRegion&& other) noexcept;
    MappedRegion(const MappedRegion&) = delete;
    MappedRegion& operator=(const MappedRegion&) = delete;
    ~MappedRegion();

    // How the region will be read: all of it (every page is read in up front, which is cheaper
    // than faulting each one in), or here and there (a page fault reads only its own page, and
    // prefetch() says what to read ahead).
    enum class Use { Whole, Sparse };

    // Maps `size` bytes of `file`; fails (leaving nothing mapped) where the system cannot map it.
    [[nodiscard]] static std::error_code map(const File& file, std::uint64_t size, Use use,
                                             MappedRegion& region);

    [[nodiscard]] Bytes bytes() const noexcept;

    // Starts reading the pages under `parts` (spans of bytes()) from the disk, all at once, so
    // that touching them later finds them in memory. A hint: failures are ignored.
    void prefetch(std::span<const Bytes> parts) const noexcept;

    // How many of `parts` (spans of bytes()) lie wholly on pages that are in memory, or nothing
    // where the system does not say (Windows reports a process's own pages, not the cache's).
    [[nodiscard]] std::optional<std::size_t> countResident(std::span<const Bytes> parts) const;

    // Whether part of the region could not be read after all: the file was truncated under it,
    // or the system failed to read a page (an I/O error, or no space to fill a hole on a full
    // in-memory file system). Instead of ending the process with SIGBUS, those pages read as
    // zeros and this turns true, so the reader can finish and then refuse the result. (On
    // Windows a mapped file cannot be truncated, and this stays false.)
    [[nodiscard]] bool damaged() const noexcept;

private:
    // The platform's mapping of `size` (> 0) bytes.
    [[nodiscard]] static std::error_code mapPages(const File& file, std::size_t size, Use use,
                                                  void*& address);
    void release() noexcept;

    void* address_ = nullptr;
    std::size_t size_ = 0;
};

// The status of whatever is at `path` itself: a symbolic link there is reported as FileKind::Link,
// not followed. Only kind and size are filled in on Windows.
[[nodiscard]] std::error_code linkStatus(const std::string& path, FileStatus& status);

// The status of the file `path` leads to, following symbolic links.
[[nodiscard]] std::error_code pathStatus(const std::string& path, FileStatus& status);

// The absolute path of the file at `path` with every symbolic link and "." or ".." resolved: one
// spelling for the file however it was reached. Fails when nothing is there.
[[nodiscard]] std::error_code realPath(const std::string& path, std::string& resolved);

// Where `path`'s last component begins: after the last separator ('/', and on Windows also '\\'
// and a drive's ':'), or 0.
std::size_t lastComponentAt(const std::string& path);

// Whether `path` names something inside `folder`, at any depth. Both are taken as resolved
// paths (realPath): the names are compared, not looked up.
bool isBelow(const std::string& path, const std::string& folder);

// Removes the file at `path`.
[[nodiscard]] std::error_code removeFile(const std::string& path);

// Gives the file at `from` the name `to` in one step, in place of any file of that name: a reader
// of `to` finds the old file or the new one whole, never a part of either.
[[nodiscard]] std::error_code replaceFile(const std::string& from, const std::string& to);

// Whether `path` leads to a folder, following links.
[[nodiscard]] std::error_code isFolder(const std::string& path, bool& folder);

// One file found below a folder: its path relative to the folder, with '/' between its parts,
// what is there (a symbolic link is reported as FileKind::Link, not followed) and its size.
struct ListedFile {
    std::string path;
    FileKind kind = FileKind::Other;
    std::uint64_t size = 0;
};

// A subfolder that could not be listed, relative to the listed folder, and why.
struct UnlistedFolder {
    std::string path;
    std::error_code reason;
};

struct FolderListing {
    std::vector<ListedFile> files;
    std::vector<UnlistedFolder> unlisted;
};

// Every file below `folder`, in its subfolders too. Fails only when `folder` itself cannot be
// listed. A subfolder that cannot be listed is reported in `unlisted` and the rest is listed; an
// entry removed while the folder is listed is simply not there. A link to a folder is listed as a
// file, not followed: a loop of links then cannot make the listing endless.
[[nodiscard]] std::error_code listFolder(const std::string& folder, FolderListing& listing);

// The files in `folder` itself, its subfolders not descended: how listFolder reports them.
[[nodiscard]] std::error_code listFolderFiles(const std::string& folder,
                                              std::vector<ListedFile>& files);

namespace detail {
// The platform's part of listFolder: the files in the folder at `path` (`relative` below the
// folder being listed) go to `listing`, its subfolders to `pending`.
[[nodiscard]] std::error_code listEntries(const std::string& path, const std::string& relative,
                                          FolderListing& listing,
                                          std::vector<std::string>& pending);
// Whether a subfolder could not be listed because it is gone: removed, or replaced by a file.
bool isGone(const std::error_code& error);
// Whether `c` separates the parts of a path: '/', and on Windows also '\\'.
bool isSeparator(char c);
} // namespace detail

// Flushes the folder that holds `path`, so that a file's creation or removal there survives a
// crash. Windows needs no such step (NTFS journals its folders), and there it does nothing.
[[nodiscard]] std::error_code syncFolderOf(const std::string& path);

// Whether `error` says that the file does not exist.
bool isMissing(const std::error_code& error);

// Whether `error` says that a file was not opened because it is a symbolic link
// (File::LastLink::Refuse).
bool isLink(const std::error_code& error);

// Whether `error` says that the system, not the file, failed: too many open files, no memory,
// an input/output error. Such a failure says nothing about the file asked for.
bool isResourceShortage(const std::error_code& error);

// The system's message for an error, without a trailing full stop or line break.
std::string describe(const std::error_code& error);

} // namespace dyeloom::os
