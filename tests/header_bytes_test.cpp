// The header-count parser's three outcomes; the fuzz target holds it to strtol at length.
#include "header_bytes.hpp"

#include <gtest/gtest.h>
#include <stdexcept>
#include <utility>

namespace dyeloom {
namespace {

TEST(ParseHeaderBytes, ReadsLikeTheStandardConversion) {
    const std::pair<const char*, std::int32_t> accepted[] = {{"128", 128},
                                                             {" \t\n\v\f\r128", 128},
                                                             {"+128", 128},
                                                             {"-5", -5},
                                                             {"128abc", 128},
                                                             {"0x80", 0},
                                                             {"000000000000000000128", 128},
                                                             {"2147483647", INT32_MAX},
                                                             {"-2147483648", INT32_MIN}};
    for (const auto& [text, value] : accepted)
        EXPECT_EQ(parseHeaderBytes(text), value) << text;
}

TEST(ParseHeaderBytes, RejectsTextWithoutDigitsOrOutsideThirtyTwoBits) {
    for (const char* text : {"", "abc", " ", "+", "-", "+-1", "- 1", "x128",
                             "\xe2\x80\x83"
                             "1"})
        EXPECT_THROW(
            try { parseHeaderBytes(text); } catch (const std::invalid_argument& error) {
                EXPECT_STREQ(error.what(), "invalid stoi argument");
                throw;
            },
            std::invalid_argument)
            << text;
    for (const char* text : {"2147483648", "-2147483649", "-99999999999999999999999"})
        EXPECT_THROW(
            try { parseHeaderBytes(text); } catch (const std::out_of_range& error) {
                EXPECT_STREQ(error.what(), "stoi argument out of range");
                throw;
            },
            std::out_of_range)
            << text;
}

} // namespace
} // namespace dyeloom
