#include "shown_name.hpp"

#include <cstdint>

namespace dyeloom {
namespace {

// The length of the valid UTF-8 sequence at the start of `text` and the code point it encodes,
// or a length of 0 when its first byte starts none (RFC 3629: no overlong forms, no surrogates,
// nothing past U+10FFFF).
struct Decoded {
    std::size_t length = 0;
    char32_t point = 0;
};

Decoded decodeUtf8(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    const std::uint8_t lead = byte(0);
    if (lead < 0x80)
        return {1, lead};
    std::size_t length = 0;
    std::uint8_t low = 0x80, high = 0xBF; // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return {};
    }
    if (text.size() < length || byte(1) < low || byte(1) > high)
        return {};
    char32_t point = lead & (0xFF >> (length + 1));
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80)
            return {};
        point = point << 6 | (byte(i) & 0x3F);
    }
    return {length, point};
}

// Characters that move the cursor, end a line, or reorder how the rest of a line reads.
bool changesHowALineReads(char32_t point) {
    return point < 0x20 || (point >= 0x7F && point <= 0x9F) || point == 0x061C || point == 0x200E ||
           point == 0x200F || (point >= 0x2028 && point <= 0x202E) ||
           (point >= 0x2066 && point <= 0x2069);
}

void appendEscaped(std::string& shown, std::uint8_t byte) {
    switch (byte) {
    case '\n':
        shown += "\\n";
        return;
    case '\r':
        shown += "\\r";
        return;
    case '\t':
        shown += "\\t";
        return;
    case '\\':
        shown += "\\\\";
        return;
    default:
        static constexpr char digits[] = "0123456789ABCDEF";
        shown += "\\x";
        shown += digits[byte >> 4];
        shown += digits[byte & 0xF];
    }
}

} // namespace

std::string shownName(std::string_view name) {
    std::string shown;
    shown.reserve(name.size());
    while (!name.empty()) {
        const Decoded decoded = decodeUtf8(name);
        const std::size_t length = decoded.length == 0 ? 1 : decoded.length;
        if (decoded.length == 0 || decoded.point == '\\' || changesHowALineReads(decoded.point)) {
            for (std::size_t i = 0; i < length; ++i)
                appendEscaped(shown, static_cast<std::uint8_t>(name[i]));
        } else {
            shown.append(name.substr(0, length));
        }
        name.remove_prefix(length);
    }
    return shown;
}

} // namespace dyeloom
