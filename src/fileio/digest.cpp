#include "digest.hpp"

#include <bit>
#include <cstring>

namespace dyeloom {
namespace {

constexpr std::uint64_t prime1 = 0x9E3779B185EBCA87ull;
constexpr std::uint64_t prime2 = 0xC2B2AE3D27D4EB4Full;
constexpr std::uint64_t prime3 = 0x165667B19E3779F9ull;
constexpr std::uint64_t prime4 = 0x85EBCA77C2B2AE63ull;
constexpr std::uint64_t prime5 = 0x27D4EB2F165667C5ull;

std::uint64_t load64(const std::uint8_t* bytes) {
    std::uint64_t value;
    std::memcpy(&value, bytes, sizeof value);
    if constexpr (std::endian::native == std::endian::big)
        value = __builtin_bswap64(value);
    return value;
}

std::uint32_t load32(const std::uint8_t* bytes) {
    std::uint32_t value;
    std::memcpy(&value, bytes, sizeof value);
    if constexpr (std::endian::native == std::endian::big)
        value = __builtin_bswap32(value);
    return value;
}

std::uint64_t round(std::uint64_t lane, std::uint64_t input) {
    return std::rotl(lane + input * prime2, 31) * prime1;
}

std::uint64_t mergeLane(std::uint64_t hash, std::uint64_t lane) {
    return (hash ^ round(0, lane)) * prime1 + prime4;
}

} // namespace

void Digest::addStripe(const std::uint8_t* stripe) noexcept {
    for (std::size_t lane = 0; lane < lanes_.size(); ++lane)
        lanes_[lane] = round(lanes_[lane], load64(stripe + 8 * lane));
}

void Digest::add(Bytes bytes) noexcept {
    length_ += bytes.size();
    const std::uint8_t* at = bytes.data();
    std::size_t left = bytes.size();
    if (pendingBytes_ > 0) {
        const std::size_t taken = std::min(left, stripeBytes - pendingBytes_);
        std::memcpy(pending_.data() + pendingBytes_, at, taken);
        pendingBytes_ += taken;
        at += taken;
        left -= taken;
        if (pendingBytes_ < stripeBytes)
            return;
        addStripe(pending_.data());
        pendingBytes_ = 0;
    }
    // The lanes in registers for the long run of whole stripes.
    std::uint64_t a = lanes_[0], b = lanes_[1], c = lanes_[2], d = lanes_[3];
    for (; left >= stripeBytes; at += stripeBytes, left -= stripeBytes) {
        a = round(a, load64(at));
        b = round(b, load64(at + 8));
        c = round(c, load64(at + 16));
        d = round(d, load64(at + 24));
    }
    lanes_ = {a, b, c, d};
    if (left > 0)
        std::memcpy(pending_.data(), at, left);
    pendingBytes_ = left;
}

std::uint64_t Digest::value() const noexcept {
    std::uint64_t hash;
    if (length_ >= stripeBytes) {
        hash = std::rotl(lanes_[0], 1) + std::rotl(lanes_[1], 7) + std::rotl(lanes_[2], 12) +
               std::rotl(lanes_[3], 18);
        for (const std::uint64_t lane : lanes_)
            hash = mergeLane(hash, lane);
    } else {
        hash = prime5;
    }
    hash += length_;
    const std::uint8_t* at = pending_.data();
    std::size_t left = pendingBytes_;
    for (; left >= 8; at += 8, left -= 8)
        hash = std::rotl(hash ^ round(0, load64(at)), 27) * prime1 + prime4;
    if (left >= 4) {
        hash = std::rotl(hash ^ (std::uint64_t{load32(at)} * prime1), 23) * prime2 + prime3;
        at += 4;
        left -= 4;
    }
    for (; left > 0; ++at, --left)
        hash = std::rotl(hash ^ (*at * prime5), 11) * prime1;
    hash ^= hash >> 33;
    hash *= prime2;
    hash ^= hash >> 29;
    hash *= prime3;
    hash ^= hash >> 32;
    return hash;
}

} // namespace dyeloom
