// The parts of the platform layer that are the same everywhere: ownership, and the loops that
// carry transfers and lock attempts over the one-shot platform calls.
#include "os_file.hpp"

#include <algorithm>
#include <limits>
#include <thread>
#include <utility>

namespace dyeloom::os {
namespace {

// Single transfers stay below the largest count every platform takes in one call (ReadFile and
// WriteFile count in 32 bits; Linux moves at most 0x7ffff000 bytes per call).
constexpr std::size_t maxTransfer = std::size_t{1} << 30;

// How often a refused lock is tried again: short enough that a run waits little once the other
// process lets go, long enough not to busy the machine.
constexpr std::chrono::milliseconds lockRetryInterval{20};

} // namespace

File::File(File&& other) noexcept : handle_(std::exchange(other.handle_, noHandle)) {}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        // A file only read, or whose writes were flushed and checked, loses nothing here.
        (void)close();
        handle_ = std::exchange(other.handle_, noHandle);
    }
    return *this;
}

File::~File() {
    // Whoever must know that a close succeeded calls close() first.
    (void)close();
}

std::error_code File::readAt(std::uint64_t offset, MutableBytes into, std::size_t& done) const {
    done = 0;
    while (done < into.size()) {
        std::size_t got = 0;
        const MutableBytes piece = into.subspan(done, std::min(into.size() - done, maxTransfer));
        if (const auto error = readOnce(offset + done, piece, got))
            return error;
        if (got == 0)
            return {}; // end of file
        done += got;
    }
    return {};
}

std::error_code File::writeAt(std::uint64_t offset, Bytes from, std::size_t& done) const {
    done = 0;
    while (done < from.size()) {
        std::size_t put = 0;
        const Bytes piece = from.subspan(done, std::min(from.size() - done, maxTransfer));
        if (const auto error = writeOnce(offset + done, piece, put))
            return error;
        if (put == 0) // no progress and no reason given: retrying could spin forever
            return std::make_error_code(std::errc::io_error);
        done += put;
    }
    return {};
}

std::error_code File::lockExclusive(std::chrono::milliseconds patience,
                                    const std::function<bool()>& giveUp) const {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    for (;;) {
        const std::error_code error = tryLockExclusive();
        if (error != std::errc::resource_unavailable_try_again ||
            std::chrono::steady_clock::now() >= deadline)
            return error;
        if (giveUp && giveUp())
            return std::make_error_code(std::errc::interrupted);
        std::this_thread::sleep_for(lockRetryInterval);
    }
}

MappedRegion::MappedRegion(MappedRegion&& other) noexcept
    : address_(std::exchange(other.address_, nullptr)), size_(std::exchange(other.size_, 0)) {}

MappedRegion& MappedRegion::operator=(MappedRegion&& other) noexcept {
    if (this != &other) {
        release();
        address_ = std::exchange(other.address_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

MappedRegion::~MappedRegion() {
    release();
}

std::error_code MappedRegion::map(const File& file, std::uint64_t size, Use use,
                                  MappedRegion& region) {
    region = MappedRegion();
    if (size == 0)
        return {};
    if (size > std::numeric_limits<std::size_t>::max())
        return std::make_error_code(std::errc::value_too_large);
    void* address = nullptr;
    if (const auto error = mapPages(file, static_cast<std::size_t>(size), use, address))
        return error;
    region.address_ = address;
    region.size_ = static_cast<std::size_t>(size);
    return {};
}

Bytes MappedRegion::bytes() const noexcept {
    return {static_cast<const std::uint8_t*>(address_), size_};
}

std::error_code listFolder(const std::string& folder, FolderListing& listing) {
    listing = {};
    std::vector<std::string> pending; // subfolders still to list, relative to `folder`
    if (const auto error = detail::listEntries(folder, "", listing, pending))
        return error;
    while (!pending.empty()) {
        const std::string relative = std::move(pending.back());
        pending.pop_back();
        // A subfolder removed since its parent was listed is simply not there.
        const auto error = detail::listEntries(folder + "/" + relative, relative, listing, pending);
        if (error && !detail::isGone(error))
            listing.unlisted.push_back({relative, error});
    }
    return {};
}

std::error_code listFolderFiles(const std::string& folder, std::vector<ListedFile>& files) {
    FolderListing listing;
    std::vector<std::string> subfolders; // not descended
    if (const auto error = detail::listEntries(folder, "", listing, subfolders))
        return error;
    files = std::move(listing.files);
    return {};
}

bool isBelow(const std::string& path, const std::string& folder) {
    if (folder.empty() || path.size() <= folder.size() ||
        path.compare(0, folder.size(), folder) != 0)
        return false;
    // A folder that ends in a separator is a root (/ or C:\).
    return detail::isSeparator(folder.back()) || detail::isSeparator(path[folder.size()]);
}

std::string describe(const std::error_code& error) {
    std::string text = error.message();
    while (!text.empty() &&
           (text.back() == '\n' || text.back() == '\r' || text.back() == '.' || text.back() == ' '))
        text.pop_back();
    return text;
}

} // namespace dyeloom::os
