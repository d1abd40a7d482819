// POSIX side of the platform layer's mappings: a file's pages mapped, read ahead, and guarded
// against the file shrinking under them.
#include "os_bus_error.hpp"
#include "os_file.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>
#include <vector>

namespace dyeloom::os {
namespace {

std::error_code lastError() {
    return {errno, std::system_category()};
}

// Asks for the pages of every range to be read ahead: in one call where the kernel takes a
// list (process_madvise, Linux 5.10), else one call a range.
void adviseWillNeed(std::span<const iovec> ranges) noexcept {
#if defined(__linux__) && defined(SYS_process_madvise) && defined(SYS_pidfd_open)
    // Whether the list call works here is learnt once: kernels before 5.10 lack it, and some
    // refuse it without CAP_SYS_NICE.
    static const int self = static_cast<int>(::syscall(SYS_pidfd_open, ::getpid(), 0));
    static std::atomic<bool> listsWork{self >= 0};
    constexpr std::size_t maxRanges = 1024; // UIO_MAXIOV
    std::size_t done = 0;
    while (listsWork && done < ranges.size()) {
        const std::size_t count = std::min(maxRanges, ranges.size() - done);
        if (::syscall(SYS_process_madvise, self, ranges.data() + done, count, MADV_WILLNEED, 0) <
            0) {
            listsWork = false;
            break;
        }
        done += count;
    }
    ranges = ranges.subspan(done);
#endif
    for (const iovec& range : ranges)
        ::madvise(range.iov_base, range.iov_len, MADV_WILLNEED);
}

} // namespace

void MappedRegion::release() noexcept {
    if (address_ != nullptr) {
        bus_error::unguard(address_);
        ::munmap(address_, size_);
    }
    address_ = nullptr;
    size_ = 0;
}

std::error_code MappedRegion::mapPages(const File& file, std::size_t size, Use use,
                                       void*& address) {
    int flags = MAP_SHARED;
#ifdef MAP_POPULATE
    if (use == Use::Whole)
        flags |= MAP_POPULATE;
#endif
    void* mapped = ::mmap(nullptr, size, PROT_READ, flags, file.handle(), 0);
    if (mapped == MAP_FAILED)
        return lastError();
    // Sparse samples are read through the file with positioned reads, each of which would
    // otherwise set off the kernel's readahead: a hundred times the bytes looked at, one stall
    // at a time. Faults on the mapping keep their readahead, for the stretches read whole.
    if (use == Use::Sparse)
        ::posix_fadvise(file.handle(), 0, 0, POSIX_FADV_RANDOM);
    // A run maps a handful of files; should the guard's table ever be full, the mapping still
    // works, and a truncation under it ends the process as it would without the guard.
    bus_error::guard(mapped, size);
    address = mapped;
    return {};
}

void MappedRegion::prefetch(std::span<const Bytes> parts) const noexcept {
    static const auto pageSize = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto begin = reinterpret_cast<std::uintptr_t>(address_);
    const std::uintptr_t end = begin + size_;
    // Parts on the same pages are asked for once, and the ranges all in one call where the
    // system can take a list of them.
    std::vector<iovec> ranges;
    std::uintptr_t pendingFrom = 0, pendingTo = 0;
    const auto flush = [&] {
        if (pendingTo > pendingFrom)
            ranges.push_back({reinterpret_cast<void*>(pendingFrom),
                              static_cast<std::size_t>(pendingTo - pendingFrom)});
    };
    for (const Bytes part : parts) {
        const auto from = std::max(begin, reinterpret_cast<std::uintptr_t>(part.data()));
        const auto to = std::min(end, reinterpret_cast<std::uintptr_t>(part.data()) + part.size());
        if (from >= to)
            continue;
        const std::uintptr_t pageFrom = from & ~(pageSize - 1);
        const std::uintptr_t pageTo =
            std::min((to + pageSize - 1) & ~(pageSize - 1), (end + pageSize - 1) & ~(pageSize - 1));
        if (pageFrom > pendingTo || pageTo < pendingFrom) {
            flush();
            pendingFrom = pageFrom;
            pendingTo = pageTo;
        } else {
            pendingFrom = std::min(pendingFrom, pageFrom);
            pendingTo = std::max(pendingTo, pageTo);
        }
    }
    flush();
    adviseWillNeed(ranges);
}

std::optional<std::size_t> MappedRegion::countResident(std::span<const Bytes> parts) const {
    static const auto pageSize = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto begin = reinterpret_cast<std::uintptr_t>(address_);
    std::size_t resident = 0;
    std::vector<unsigned char> pages;
    for (const Bytes part : parts) {
        const auto from = reinterpret_cast<std::uintptr_t>(part.data());
        if (part.empty() || from < begin || from + part.size() > begin + size_)
            continue;
        const std::uintptr_t first = from & ~(pageSize - 1);
        const std::uintptr_t last = (from + part.size() - 1) & ~(pageSize - 1);
        pages.resize((last - first) / pageSize + 1);
        if (::mincore(reinterpret_cast<void*>(first), last + pageSize - first, pages.data()) != 0)
            return std::nullopt;
        resident += std::all_of(pages.begin(), pages.end(),
                                [](unsigned char page) { return (page & 1) != 0; })
                        ? 1
                        : 0;
    }
    return resident;
}

bool MappedRegion::damaged() const noexcept {
    return address_ != nullptr && bus_error::damaged(address_);
}

} // namespace dyeloom::os
