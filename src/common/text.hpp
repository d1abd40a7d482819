// How messages write the things they name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace dyeloom {

// A path or name as messages show it: between single quotes.
inline std::string quoted(const std::string& text) {
    return "'" + text + "'";
}

// The bytes of a patch's spans, from the first's first byte to the last's last one: "bytes F to
// L" for one span, "N spans between bytes F and L" for several.
inline std::string spanText(std::size_t spans, std::uint64_t firstByte, std::uint64_t lastByte) {
    const std::string first = std::to_string(firstByte), last = std::to_string(lastByte);
    return spans > 1 ? std::to_string(spans) + " spans between bytes " + first + " and " + last
                     : "bytes " + first + " to " + last;
}

} // namespace dyeloom
