#include "app/header_bytes.hpp"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <gtest/gtest.h>
#include <random>
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

// strtol in the C locale is the conversion this parser mirrors.
TEST(ParseHeaderBytes, AgreesWithStrtolOnRandomText) {
    std::mt19937 rng(42);
    const std::string alphabet = " \t+-0123456789x9a";
    for (int round = 0; round < 50000; ++round) {
        std::string text;
        for (std::size_t n = rng() % 14; n > 0; --n)
            text += alphabet[rng() % alphabet.size()];
        char* end = nullptr;
        errno = 0;
        const long expected = std::strtol(text.c_str(), &end, 10);
        const bool noDigits = end == text.c_str();
        const bool outOfRange = errno == ERANGE || expected < INT32_MIN || expected > INT32_MAX;
        if (noDigits)
            EXPECT_THROW(parseHeaderBytes(text), std::invalid_argument) << text;
        else if (outOfRange)
            EXPECT_THROW(parseHeaderBytes(text), std::out_of_range) << text;
        else
            EXPECT_EQ(parseHeaderBytes(text), expected) << text;
    }
}

} // namespace
} // namespace dyeloom
