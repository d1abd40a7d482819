#include "header_bytes.hpp"

#include <climits>
#include <gtest/gtest.h>
#include <stdexcept>
#include <string>

namespace dyeloom {
namespace {

TEST(ParseHeaderBytes, ReadsLikeTheStandardConversion) {
    EXPECT_EQ(parseHeaderBytes("128"), 128);
    EXPECT_EQ(parseHeaderBytes(" \t\n\v\f\r128"), 128);
    EXPECT_EQ(parseHeaderBytes("+128"), 128);
    EXPECT_EQ(parseHeaderBytes("-5"), -5);
    EXPECT_EQ(parseHeaderBytes("128abc"), 128);
    EXPECT_EQ(parseHeaderBytes("0x80"), 0);
    EXPECT_EQ(parseHeaderBytes("00000000000000000000128"), 128);
    EXPECT_EQ(parseHeaderBytes("2147483647"), INT32_MAX);
    EXPECT_EQ(parseHeaderBytes("-2147483648"), INT32_MIN);
}

TEST(ParseHeaderBytes, RejectsTextWithoutDigits) {
    for (const char* text : {"", "abc", " ", "+", "-", "+-1", "- 1", "x128",
                             "\xe2\x80\x83"
                             "1"}) {
        try {
            parseHeaderBytes(text);
            ADD_FAILURE() << "accepted '" << text << "'";
        } catch (const std::invalid_argument& error) {
            EXPECT_STREQ(error.what(), "invalid stoi argument");
        }
    }
}

TEST(ParseHeaderBytes, RejectsValuesOutsideThirtyTwoBits) {
    for (const char* text :
         {"2147483648", "-2147483649", "99999999999", "-99999999999999999999999"}) {
        try {
            parseHeaderBytes(text);
            ADD_FAILURE() << "accepted '" << text << "'";
        } catch (const std::out_of_range& error) {
            EXPECT_STREQ(error.what(), "stoi argument out of range");
        }
    }
}

} // namespace
} // namespace dyeloom
