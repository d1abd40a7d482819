// The package format's reader on packages written with fields out of bounds: each is refused with
// its reason, and what a sound one holds comes back as it was written.
#include "package_reader.hpp"
#include "package_writer.hpp"
#include "support/byte_gen.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

namespace dyeloom {
namespace {

class PackageFormat : public ::testing::Test {
protected:
    test::TempDir dir;
    test::ByteGen gen{17};
    const std::string path = (dir / "p.pkg").string();

    // A package of `entries`, each with `dataBytes` of modded data (and of the original's, where
    // the entry says it holds them); the entries' data places are set here unless `placed`.
    void write(std::vector<PackageEntry> entries, bool placed = false) {
        std::filesystem::remove(path);
        PackageWriter writer;
        ASSERT_FALSE(PackageWriter::create(path, 16, writer));
        for (PackageEntry& entry : entries) {
            const std::uint64_t bytes = entry.original.length * (entry.originalAt != 0 ? 2 : 1);
            if (!placed) {
                entry.moddedAt = writer.dataEnd();
                entry.originalAt = entry.originalAt != 0 ? writer.dataEnd() + bytes / 2 : 0;
            }
            // A length past any file's is written as a few bytes.
            const auto written = static_cast<std::size_t>(std::min<std::uint64_t>(bytes, 1 << 20));
            ASSERT_FALSE(writer.writeData(gen.random(written)));
            writer.addEntry(entry);
        }
        ASSERT_FALSE(writer.finish());
    }
    std::string refusal(std::size_t keepKeys = 512) {
        try {
            (void)readPackage(path, [&](std::uint64_t) { return keepKeys; });
        } catch (const PackageError& error) {
            return error.what();
        }
        return "";
    }
    PackageEntry entryOf(std::size_t bytes, std::size_t maxStride = 64) {
        return {
            std::to_string(bytes) + ".dds", fingerprintOf(gen.random(bytes), maxStride), {}, 0, 0};
    }
};

TEST_F(PackageFormat, ReadsBackWhatWasWrittenWithItsWindowsNarrowed) {
    std::vector<PackageEntry> entries = {entryOf(5000), entryOf(300, 8), entryOf(70000)};
    entries[1].originalAt = 1; // holds its original's data
    write(entries);
    OpenedPackage package = readPackage(path, [](std::uint64_t count) {
        EXPECT_EQ(count, 3u);
        return std::size_t{16};
    });
    ASSERT_EQ(package.entries.size(), 3u);
    EXPECT_EQ(package.header.headerBytes, 16);
    std::uint64_t at = packageHeaderBytes;
    for (std::size_t i = 0; i < 3; ++i) {
        const PackageEntry& read = package.entries[i];
        EXPECT_EQ(read.name, entries[i].name);
        EXPECT_EQ(read.original.digest, entries[i].original.digest);
        EXPECT_EQ(read.moddedAt, at);
        const std::vector<std::uint64_t>& keys = entries[i].original.keys;
        ASSERT_EQ(read.original.keys.size(), std::min<std::size_t>(keys.size(), 16));
        EXPECT_TRUE(std::equal(read.original.keys.begin(), read.original.keys.end(), keys.begin()));
        at += read.original.length * (read.originalAt != 0 ? 2 : 1);
    }
    EXPECT_EQ(package.entries[1].originalAt, package.entries[1].moddedAt + 300);
}

TEST_F(PackageFormat, RefusesEveryFieldOutOfBounds) {
    const auto refused = [&](const std::function<void(PackageEntry&)>& change,
                             const std::string& reason, bool placed = false) {
        PackageEntry bad = entryOf(2000);
        std::vector<PackageEntry> entries = {entryOf(1000), bad};
        if (placed)
            entries = {entryOf(1000), entryOf(2000)};
        change(entries[1]);
        write(entries, placed);
        EXPECT_EQ(refusal(), "can't read the package '" + path + "': " + reason) << reason;
    };
    const std::string malformed = "a texture's fingerprint is malformed";
    refused([](PackageEntry& e) { e.name.clear(); }, "a texture's name is 0 bytes long");
    refused([](PackageEntry& e) { e.name.assign(4097, 'n'); },
            "a texture's name is 4097 bytes long");
    refused([](PackageEntry& e) { e.original.keys.resize(24); }, malformed);
    refused([](PackageEntry& e) { e.original.keys.resize(1024); }, "a texture claims 1024 keys");
    refused([](PackageEntry& e) { e.original.windowStart = 2000 - 16 - 62; }, malformed);
    refused([](PackageEntry& e) { e.original.period = 3; }, malformed);
    refused([](PackageEntry& e) { e.original.probeStride = 8; }, malformed);
    refused([](PackageEntry& e) { e.original.length = 0; }, malformed);
    const std::string misplaced = "a texture's data does not lie where the one before it ends";
    refused([](PackageEntry& e) { e.moddedAt = packageHeaderBytes; }, misplaced, true);
    refused([](PackageEntry& e) { e.moddedAt = packageHeaderBytes + 1000 + 1; }, misplaced, true);
    refused([](PackageEntry& e) { e.originalAt = e.moddedAt; }, misplaced, true);
    refused([](PackageEntry& e) { e.original.length = 1ull << 62; }, misplaced);

    // Keys shared by more window positions than any mod's textures give.
    PackageEntry flood = entryOf(2000, 512);
    flood.original.keys.assign(256, 42);
    PackageEntry other = entryOf(3000, 512);
    other.original.keys.back() = 42;
    write({flood, other});
    EXPECT_EQ(refusal(), "can't read the package '" + path +
                             "': more than 256 of its keys are one and the same");
    write({flood, flood});
    EXPECT_EQ(refusal(), "") << "one image under two names is one original";
}

} // namespace
} // namespace dyeloom
