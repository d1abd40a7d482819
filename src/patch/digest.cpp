#include "digest.hpp"

#define XXH_INLINE_ALL
#include <cstring>
#include <new>
#include <xxhash.h>

namespace dyeloom {
namespace {

static_assert(sizeof(XXH3_state_t) <= 576 && alignof(XXH3_state_t) <= 64);

XXH3_state_t* stateIn(std::byte* bytes) {
    return std::launder(reinterpret_cast<XXH3_state_t*>(bytes));
}

const XXH3_state_t* stateIn(const std::byte* bytes) {
    return std::launder(reinterpret_cast<const XXH3_state_t*>(bytes));
}

} // namespace

Digest::Digest() noexcept {
    auto* state = new (state_.data()) XXH3_state_t;
    XXH3_INITSTATE(state);
    XXH3_128bits_reset(state);
}

// The state points at nothing but the library's own constant secret, so a copy of its bytes is a
// copy of the state.
Digest::Digest(const Digest& other) noexcept : state_(other.state_) {}

Digest& Digest::operator=(const Digest& other) noexcept {
    state_ = other.state_;
    return *this;
}

void Digest::add(Bytes bytes) noexcept {
    if (!bytes.empty())
        XXH3_128bits_update(stateIn(state_.data()), bytes.data(), bytes.size());
}

Digest128 Digest::value() const noexcept {
    const XXH128_hash_t hash = XXH3_128bits_digest(stateIn(state_.data()));
    return {hash.low64, hash.high64};
}

Digest128 Digest::of(Bytes bytes) noexcept {
    const XXH128_hash_t hash = XXH3_128bits(bytes.data(), bytes.size());
    return {hash.low64, hash.high64};
}

} // namespace dyeloom
