// A file system that serves a folder with a hard disk's costs, for benchmarks: a read or write
// that does not start where the last one ended, or less than a MiB after, waits for a seek, and
// every byte (skipped ones included) for the platter to pass under the head. Requests are served
// one at a time, as one head serves them. The folder's own files should be in the page cache, so
// that the costs are the model's alone.
//   slow_disk BACKING_FOLDER MOUNT_POINT [SEEK_MS [MB_PER_S]]   (8 ms and 150 MB/s by default)
// Runs in the foreground until unmounted (fusermount3 -u MOUNT_POINT). With SLOW_DISK_LOG set
// to a file name, every request is written there: file, offset, size, and whether it sought.
#define FUSE_USE_VERSION 31
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fuse.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

struct Disk {
    std::string backing;
    std::chrono::microseconds seek{8000};
    static constexpr off_t shortSkip = 1 << 20;
    double bytesPerMicrosecond = 150;
    std::mutex head;
    std::string headFile; // where the head is: in which file, after which byte
    off_t headAt = -1;
    std::FILE* log = nullptr; // every request, when SLOW_DISK_LOG names a file

    // Waits as long as the disk would take to move `size` bytes at `offset` of `file`.
    void serve(const std::string& file, off_t offset, std::size_t size) {
        const std::lock_guard lock(head);
        auto wait = std::chrono::microseconds(
            static_cast<long long>(static_cast<double>(size) / bytesPerMicrosecond));
        // A short way forward costs the platter's time to pass under the head; anything else
        // is a seek.
        const bool forward = file == headFile && offset >= headAt && offset - headAt < shortSkip;
        const bool seeks = !forward;
        if (seeks)
            wait += seek;
        else
            wait += std::chrono::microseconds(
                static_cast<long long>(static_cast<double>(offset - headAt) / bytesPerMicrosecond));
        if (log != nullptr)
            std::fprintf(log, "%s %lld %zu%s\n", file.c_str(), static_cast<long long>(offset), size,
                         seeks ? " seek" : "");
        std::this_thread::sleep_for(wait);
        headFile = file;
        headAt = offset + static_cast<off_t>(size);
    }
};

Disk* disk() {
    return static_cast<Disk*>(fuse_get_context()->private_data);
}

std::string real(const char* path) {
    return disk()->backing + path;
}

int fail() {
    return -errno;
}

int getAttributes(const char* path, struct stat* info, fuse_file_info*) {
    return ::lstat(real(path).c_str(), info) == 0 ? 0 : fail();
}

int readLink(const char* path, char* buffer, std::size_t size) {
    const ssize_t length = ::readlink(real(path).c_str(), buffer, size - 1);
    if (length < 0)
        return fail();
    buffer[length] = '\0';
    return 0;
}

int readFolder(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*,
               fuse_readdir_flags) {
    DIR* folder = ::opendir(real(path).c_str());
    if (folder == nullptr)
        return fail();
    while (const dirent* entry = ::readdir(folder))
        fill(buffer, entry->d_name, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    ::closedir(folder);
    return 0;
}

int openFile(const char* path, fuse_file_info* info) {
    const int fd = ::open(real(path).c_str(), info->flags & ~O_NOFOLLOW);
    if (fd < 0)
        return fail();
    info->fh = static_cast<std::uint64_t>(fd);
    return 0;
}

int createFile(const char* path, mode_t mode, fuse_file_info* info) {
    const int fd = ::open(real(path).c_str(), info->flags, mode);
    if (fd < 0)
        return fail();
    info->fh = static_cast<std::uint64_t>(fd);
    return 0;
}

int readFile(const char* path, char* buffer, std::size_t size, off_t offset, fuse_file_info* info) {
    const ssize_t got = ::pread(static_cast<int>(info->fh), buffer, size, offset);
    if (got < 0)
        return fail();
    disk()->serve(path, offset, static_cast<std::size_t>(got));
    return static_cast<int>(got);
}

int writeFile(const char* path, const char* buffer, std::size_t size, off_t offset,
              fuse_file_info* info) {
    disk()->serve(path, offset, size);
    const ssize_t put = ::pwrite(static_cast<int>(info->fh), buffer, size, offset);
    return put < 0 ? fail() : static_cast<int>(put);
}

int release(const char*, fuse_file_info* info) {
    ::close(static_cast<int>(info->fh));
    return 0;
}

int syncFile(const char*, int, fuse_file_info* info) {
    return ::fdatasync(static_cast<int>(info->fh)) == 0 ? 0 : fail();
}

int removeFile(const char* path) {
    return ::unlink(real(path).c_str()) == 0 ? 0 : fail();
}

int truncateFile(const char* path, off_t size, fuse_file_info*) {
    return ::truncate(real(path).c_str(), size) == 0 ? 0 : fail();
}

int setTimes(const char* path, const timespec times[2], fuse_file_info*) {
    return ::utimensat(AT_FDCWD, real(path).c_str(), times, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : fail();
}

void* start(fuse_conn_info* connection, fuse_config* config) {
    // Large requests in order, as a disk's own readahead makes them.
    connection->max_readahead = 1 << 20;
    config->kernel_cache = 1;
    return fuse_get_context()->private_data;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s BACKING_FOLDER MOUNT_POINT [SEEK_MS [MB_PER_S]]\n",
                     argv[0]);
        return 2;
    }
    Disk state;
    state.backing = argv[1];
    if (const char* log = std::getenv("SLOW_DISK_LOG"))
        state.log = std::fopen(log, "w");
    if (argc > 3)
        state.seek =
            std::chrono::microseconds(static_cast<long long>(std::strtod(argv[3], nullptr) * 1000));
    if (argc > 4)
        state.bytesPerMicrosecond = std::strtod(argv[4], nullptr);
    fuse_operations operations{};
    operations.getattr = getAttributes;
    operations.readdir = readFolder;
    operations.readlink = readLink;
    operations.open = openFile;
    operations.create = createFile;
    operations.read = readFile;
    operations.write = writeFile;
    operations.release = release;
    operations.fsync = syncFile;
    operations.unlink = removeFile;
    operations.truncate = truncateFile;
    operations.utimens = setTimes;
    operations.init = start;
    // In the foreground, one thread: one head serves one request at a time anyway.
    char* fuseArgs[] = {argv[0], argv[2], const_cast<char*>("-f"), const_cast<char*>("-s")};
    return fuse_main(4, fuseArgs, &operations, &state);
}
