// A haystack reader for tests of a search: it checks what the search asks of it and makes the
// search take every route it has.
#pragma once

#include "haystack_reader.hpp"
#include "support/byte_gen.hpp"

#include <gtest/gtest.h>

namespace dyeloom::test {

// Checks that every part announced or copied lies inside the haystack. It copies only every
// other block it is asked to, and cuts the haystack into stretches of
// `stretch` candidates (1 to 4 times the needle's length when 0), so the search must take both
// routes and settle its candidates stretch by stretch, from anywhere in the haystack.
class CheckedReader final : public HaystackReader {
public:
    explicit CheckedReader(Bytes haystack, std::size_t stretch = 0)
        : haystack_(haystack), stretch_(stretch) {}
    void willRead(std::span<const Bytes> parts) override {
        for (const Bytes part : parts)
            inside(part);
    }
    bool copy(Bytes part, MutableBytes into) override {
        if (!inside(part) || into.size() != part.size() || ++copied_ % 2 == 0)
            return false;
        std::copy(part.begin(), part.end(), into.begin());
        return true;
    }
    std::size_t nextStretch(std::size_t from, const SearchGeometry& geometry) override {
        EXPECT_EQ(from, nextFrom_) << "stretches follow one another";
        const std::size_t candidates =
            stretch_ != 0 ? stretch_ : geometry.needleBytes * (1 + gen_.below(4));
        nextFrom_ = from + candidates;
        return candidates;
    }

private:
    bool inside(Bytes part) {
        EXPECT_TRUE(part.data() >= haystack_.data() && part.end() <= haystack_.end());
        return part.data() >= haystack_.data() && part.end() <= haystack_.end();
    }
    Bytes haystack_;
    std::size_t stretch_;
    std::size_t nextFrom_ = 0;
    std::size_t copied_ = 0;
    ByteGen gen_{3};
};

} // namespace dyeloom::test
