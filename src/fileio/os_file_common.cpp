// The parts of the file layer that are the same on every platform.
#include "os_file.hpp"

#include <limits>
#include <utility>

namespace dyeloom::os {

File::File(File&& other) noexcept : handle_(std::exchange(other.handle_, noHandle)) {}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, noHandle);
    }
    return *this;
}

File::~File() {
    close();
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

MappedRegion MappedRegion::map(const File& file, std::uint64_t size, bool populate,
                               std::error_code& error) {
    MappedRegion region;
    error.clear();
    if (size == 0)
        return region;
    if (size > std::numeric_limits<std::size_t>::max()) {
        error = std::make_error_code(std::errc::value_too_large);
        return region;
    }
    region.address_ = mapPages(file, static_cast<std::size_t>(size), populate, error);
    if (region.address_ != nullptr)
        region.size_ = static_cast<std::size_t>(size);
    return region;
}

std::span<const std::uint8_t> MappedRegion::bytes() const noexcept {
    return {static_cast<const std::uint8_t*>(address_), size_};
}

std::string describe(const std::error_code& error) {
    std::string text = error.message();
    while (!text.empty() &&
           (text.back() == '\n' || text.back() == '\r' || text.back() == '.' || text.back() == ' '))
        text.pop_back();
    return text;
}

} // namespace dyeloom::os
