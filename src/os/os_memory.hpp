// Memory for bulk data read once and scanned many times, such as a pass's texture files.
#pragma once

#include "bytes.hpp"

#include <cstddef>
#include <memory>

namespace dyeloom::os {

// A block of bytes, uninitialised, on large pages where the system offers them for the asking
// (Linux's transparent huge pages): filling a fresh 4 KiB page costs a fault each, which for a
// mod's hundreds of megabytes is a tenth of the run. Freed when the owner goes away.
class BulkMemory {
public:
    explicit BulkMemory(std::size_t bytes);

    [[nodiscard]] MutableBytes bytes() const noexcept { return {data_.get(), size_}; }

private:
    struct Free {
        void operator()(std::uint8_t* data) const noexcept;
    };
    std::unique_ptr<std::uint8_t, Free> data_;
    std::size_t size_ = 0;
};

} // namespace dyeloom::os
