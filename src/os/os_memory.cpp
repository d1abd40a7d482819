#include "os_memory.hpp"

#include <new>

#ifdef __linux__
#include <sys/mman.h>
#endif

namespace dyeloom::os {
namespace {

// The size of a large page on the systems that have them, and the alignment they need.
constexpr std::size_t largePageBytes = std::size_t{2} << 20;

} // namespace

BulkMemory::BulkMemory(std::size_t bytes)
    : data_(static_cast<std::uint8_t*>(::operator new(bytes, std::align_val_t(largePageBytes)))),
      size_(bytes) {
#ifdef __linux__
    // A hint: where the system declines, the memory works on small pages.
    ::madvise(data_.get(), bytes, MADV_HUGEPAGE);
#endif
}

void BulkMemory::Free::operator()(std::uint8_t* data) const noexcept {
    ::operator delete(data, std::align_val_t(largePageBytes));
}

} // namespace dyeloom::os
