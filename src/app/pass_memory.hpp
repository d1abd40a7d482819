// Where a pass's texture files are read to, and how much of it a pass may fill.
#pragma once

#include "bytes.hpp"
#include "os_memory.hpp"

#include <cstddef>
#include <vector>

namespace dyeloom {

// Blocks of bulk memory kept from pass to pass, so that only the first pass pays for fresh pages,
// and nothing is spent zeroing what a read fills. Blocks are small beside a pass, so that what a
// pass holds is near what it reads; a file larger than a block gets one of its own, freed when
// the pass is done.
class PassMemory {
public:
    explicit PassMemory(std::size_t blockBytes = std::size_t{16} << 20) : blockBytes_(blockBytes) {}

    // `bytes` of memory, the caller's until reset().
    MutableBytes take(std::size_t bytes);
    // The bytes the blocks hold in all once take(bytes) is done.
    [[nodiscard]] std::size_t heldAfter(std::size_t bytes) const;
    void reset();

private:
    struct Block {
        os::BulkMemory memory;
        std::size_t used = 0;
    };
    // The first block with room for `rounded` bytes, or blocks_.size().
    [[nodiscard]] std::size_t blockWithRoom(std::size_t rounded) const;

    std::size_t blockBytes_;
    std::vector<Block> blocks_;
    std::size_t held_ = 0;
};

} // namespace dyeloom
