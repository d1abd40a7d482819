// How names from a mod are printed: every byte that could forge or redraw a line is escaped, the
// escapes can be read back to the very bytes of the name, and nothing else changes.
#include "shown_name.hpp"
#include "support/byte_gen.hpp"

#include <gtest/gtest.h>
#include <string>
#include <utility>

namespace dyeloom {
namespace {

TEST(ShownName, EscapesWhatCouldForgeOrRedrawALine) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain/name.dds", "plain/name.dds"},
        {"テクスチャ/é.dds", "テクスチャ/é.dds"},
        {"a\nreplaced: b", "a\\nreplaced: b"},
        {"\r\t\b\a\x1b[2J\x7f", "\\r\\t\\x08\\x07\\x1B[2J\\x7F"},
        {std::string("nul\0x", 5), "nul\\x00x"},
        {"back\\slash", "back\\\\slash"},
        // C1 controls, as UTF-8: the terminal's CSI and NEL.
        {"\xc2\x9b"
         "31m\xc2\x85",
         "\\xC2\\x9B31m\\xC2\\x85"},
        // Right-to-left override, line separator: they reorder or break how a line reads.
        {"a\xe2\x80\xae"
         "b\xe2\x80\xa8",
         "a\\xE2\\x80\\xAEb\\xE2\\x80\\xA8"},
        // Bytes that are no UTF-8: a stray byte, a cut sequence, an overlong form, a surrogate,
        // a code point past U+10FFFF.
        {"\xff\xfe", "\\xFF\\xFE"},
        {"\xe3\x81", "\\xE3\\x81"},
        {"\xc0\xaf", "\\xC0\\xAF"},
        {"\xed\xa0\x80", "\\xED\\xA0\\x80"},
        {"\xf4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},
        // The largest code point and the first past the C1 range are text.
        {"\xf4\x8f\xbf\xbf\xc2\xa0", "\xf4\x8f\xbf\xbf\xc2\xa0"},
    };
    for (const auto& [name, shown] : cases)
        EXPECT_EQ(shownName(name), shown) << shown;
}

// Reads the escapes back; the test's own reading, independent of how they are written.
std::string unescaped(const std::string& shown) {
    std::string name;
    for (std::size_t i = 0; i < shown.size(); ++i) {
        if (shown[i] != '\\') {
            name += shown[i];
            continue;
        }
        const char kind = shown.at(++i);
        if (kind == 'x') {
            name += static_cast<char>(std::stoi(shown.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            name += kind == 'n' ? '\n' : kind == 'r' ? '\r' : kind == 't' ? '\t' : kind;
        }
    }
    return name;
}

// Two names never show the same way, and a shown name holds no control byte: random names of
// random bytes, mixed with valid UTF-8, read back to themselves.
TEST(ShownName, IsReadBackToTheSameBytesAndHoldsNoControlByte) {
    test::ByteGen gen(7);
    const std::string pieces[] = {
        "a",        "\\",           "\xc3\xa9", "\xe3\x83\x86", "\xf0\x9f\x98\x80",
        "\xc2\x9b", "\xe2\x80\xae", "\n"};
    for (int round = 0; round < 2000; ++round) {
        std::string name;
        for (std::size_t part = gen.below(12); part > 0; --part) {
            if (gen.below(2) == 0)
                name += pieces[gen.below(std::size(pieces))];
            else
                name += static_cast<char>(gen.below(256));
        }
        const std::string shown = shownName(name);
        ASSERT_EQ(unescaped(shown), name) << shown;
        for (const char c : shown)
            ASSERT_TRUE(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f) << shown;
        if (shown.find('\\') == std::string::npos) {
            EXPECT_EQ(shownName(shown), shown) << "text with nothing to escape stays as it is";
        }
    }
}

} // namespace
} // namespace dyeloom
