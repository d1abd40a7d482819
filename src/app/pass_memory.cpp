#include "pass_memory.hpp"

#include <algorithm>

namespace dyeloom {
namespace {

// Files are rounded to cache lines, so that no two share one.
std::size_t rounded(std::size_t bytes) {
    return (bytes + 63) / 64 * 64;
}

} // namespace

std::size_t PassMemory::blockWithRoom(std::size_t bytes) const {
    std::size_t b = 0;
    while (b < blocks_.size() && blocks_[b].memory.bytes().size() - blocks_[b].used < bytes)
        ++b;
    return b;
}

std::size_t PassMemory::heldAfter(std::size_t bytes) const {
    const std::size_t needed = rounded(bytes);
    return blockWithRoom(needed) < blocks_.size() ? held_ : held_ + std::max(blockBytes_, needed);
}

MutableBytes PassMemory::take(std::size_t bytes) {
    const std::size_t needed = rounded(bytes);
    const std::size_t b = blockWithRoom(needed);
    if (b == blocks_.size()) {
        blocks_.push_back({os::BulkMemory(std::max(blockBytes_, needed)), 0});
        held_ += blocks_.back().memory.bytes().size();
    }
    Block& block = blocks_[b];
    const MutableBytes taken = block.memory.bytes().subspan(block.used, bytes);
    block.used += needed;
    return taken;
}

void PassMemory::reset() {
    std::erase_if(blocks_,
                  [&](const Block& block) { return block.memory.bytes().size() > blockBytes_; });
    held_ = 0;
    for (Block& block : blocks_) {
        block.used = 0;
        held_ += block.memory.bytes().size();
    }
}

} // namespace dyeloom
