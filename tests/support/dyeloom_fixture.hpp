// Shared set-up for tests that run the Dyeloom binary: a scratch folder holding an original and
// a modded texture, and helpers to build archives and the bytes expected after a patch.
#pragma once

#include "journal.hpp"
#include "support/byte_gen.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace dyeloom::test {

inline const std::string replacedLine = "texture data is replaced\n";
inline const std::string notFoundLine = "texture data is not found\n";
inline constexpr std::size_t headerSize = 16;

inline ByteBuffer ddsLike(std::size_t size, std::uint8_t seed) {
    ByteBuffer bytes = ByteGen(seed).random(size);
    for (std::size_t i = 0; i < 4 && i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>("DDS "[i]);
    return bytes;
}

// `archive` with the modded texture's data written over the original's at `offset`.
inline ByteBuffer patched(ByteBuffer archive, const ByteBuffer& modded, std::size_t offset,
                          std::size_t originalSize, std::size_t header = headerSize) {
    std::copy(modded.begin() + static_cast<std::ptrdiff_t>(header),
              modded.begin() + static_cast<std::ptrdiff_t>(originalSize),
              archive.begin() + static_cast<std::ptrdiff_t>(offset + header));
    return archive;
}

// What a line of output looks like on this platform: Windows programs print in text mode, where
// every line feed goes out as carriage return and line feed, as the console and batch files
// expect.
inline std::string consoleText(const std::string& text) {
#ifdef _WIN32
    std::string converted;
    for (const char c : text) {
        if (c == '\n')
            converted += '\r';
        converted += c;
    }
    return converted;
#else
    return text;
#endif
}

#ifdef DYELOOM_FAULTS_LIB
// A run under the fault library, with its settings (see tests/faults/inject_faults.cpp).
inline ProcessOptions withFaults(std::vector<std::pair<std::string, std::string>> settings) {
    ProcessOptions options;
    options.environment = {{"LD_PRELOAD", DYELOOM_FAULTS_LIB},
                           // The sanitizers' runtime wants to be loaded first; here it is not.
                           {"ASAN_OPTIONS", "verify_asan_link_order=0"}};
    options.environment.insert(options.environment.end(), settings.begin(), settings.end());
    return options;
}
#endif

class DyeloomRun : public ::testing::Test {
protected:
    TempDir dir;
    const ByteBuffer original = ddsLike(300, 1);
    const ByteBuffer modded = ddsLike(300, 2);
    const ByteBuffer zeros = ByteBuffer(64, 0);
    // The usual archive: the original texture stored whole between runs of zeros.
    const ByteBuffer archive = concat({zeros, original, zeros});
    const ByteBuffer archivePatched = patched(archive, modded, zeros.size(), original.size());

    void SetUp() override {
        writeBytes(dir / "old.dds", original);
        writeBytes(dir / "new.dds", modded);
    }

    ProcessResult run(std::vector<std::string> args, const ProcessOptions& options = {}) {
        args.insert(args.begin(), DYELOOM_EXE);
        return runProcess(args, dir.path(), options);
    }

    ProcessResult patch(const std::string& header = std::to_string(headerSize),
                        const ProcessOptions& options = {}) {
        return run({"pack.asf", "old.dds", "new.dds", header}, options);
    }

    // Writes, at `journal`, a whole journal of the span of `archive` at `offset` holding `bytes`:
    // what a run interrupted while writing that span leaves, or what a forger could write. With
    // `superJournal`, it is one archive's journal of a patch of several.
    static void writeJournal(const std::filesystem::path& archive,
                             const std::filesystem::path& journal, std::size_t offset, Bytes bytes,
                             const std::string& superJournal = {}) {
        os::File file;
        os::FileStatus status;
        ASSERT_FALSE(os::File::open(archive.string(), os::File::Access::Read, file));
        ASSERT_FALSE(file.status(status));
        JournalHeader header{status.identity, status.size, {{offset, bytes.size()}}, superJournal};
        ASSERT_FALSE(
            surroundingsOf(file, status.size, header.spans, 0, header.spans[0].surroundings));
        Journal written;
        ASSERT_FALSE(Journal::create({journal.string(), journal.string()}, header, written));
        ASSERT_FALSE(written.append(bytes));
        ASSERT_FALSE(written.seal());
    }

    [[nodiscard]] bool journalLeft(const std::string& archiveName = "pack.asf") const {
        return std::filesystem::exists(dir / (archiveName + ".dyeloom-journal"));
    }

    static void expectResult(const ProcessResult& result, const std::string& out, int status) {
        EXPECT_FALSE(result.timedOut);
        EXPECT_EQ(result.out, consoleText(out));
        EXPECT_EQ(result.err, "") << "nothing goes to standard error";
        EXPECT_EQ(result.status, status);
    }
};

} // namespace dyeloom::test
