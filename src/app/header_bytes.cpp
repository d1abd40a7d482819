#include "header_bytes.hpp"

#include <limits>
#include <stdexcept>

namespace dyeloom {
namespace {

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

} // namespace

std::int32_t parseHeaderBytes(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size() && isSpace(text[at]))
        ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-'))
        negative = text[at++] == '-';
    if (at == text.size() || !isDigit(text[at]))
        throw std::invalid_argument("invalid stoi argument");

    // The magnitude is tracked in 64 bits and capped just past the 32-bit range, so any number
    // of digits can be read without overflow.
    constexpr std::int64_t cap = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 2;
    std::int64_t magnitude = 0;
    for (; at < text.size() && isDigit(text[at]); ++at)
        magnitude = std::min(cap, magnitude * 10 + (text[at] - '0'));

    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max())
        throw std::out_of_range("stoi argument out of range");
    return static_cast<std::int32_t>(value);
}

} // namespace dyeloom
