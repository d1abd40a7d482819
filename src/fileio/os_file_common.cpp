// The parts of the file layer that are the same on every platform.
#include "os_file.hpp"

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

bool File::isOpen() const noexcept {
    return handle_ != noHandle;
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
