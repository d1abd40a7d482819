// Two real runs at once, the second started at a random moment of the first: whatever the
// timing, both runs print and leave exactly what they would have one after the other, in one
// order or the other. No archive is ever left torn or mixed, and no journal stays behind.
#include "support/dyeloom_fixture.hpp"

#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

namespace dyeloom {
namespace {

using namespace test;
namespace fs = std::filesystem;
using Args = std::vector<std::string>; // the program's path first

#ifdef _WIN32
constexpr int trialsPerPair = 5; // a process starts in a tenth of a second under Wine
#else
constexpr int trialsPerPair = 12;
#endif

// What two runs printed and what they left in the game's folder.
struct Outcome {
    std::string first, second;
    std::vector<ByteBuffer> archives;
    bool operator==(const Outcome&) const = default;
};

class ConcurrentRuns : public DyeloomRun {
protected:
    static constexpr std::size_t textureBytes = 48 << 10;
    const std::vector<std::string> archiveNames = {"a0.asf", "a1.asf", "b1.asf"};
    std::vector<ByteBuffer> start;

    // A mod of six textures, m0 to m5: its originals in the a archives, m4 and m5 installed
    // already in the archives ending in 1. An install over the a archives and an undo over the
    // archives ending in 1 meet in a1, where each writes what the other looks for.
    void SetUp() override {
        ByteGen gen(77);
        std::vector<std::pair<ByteBuffer, ByteBuffer>> m;
        for (std::uint8_t i = 0; i < 6; ++i)
            m.emplace_back(ddsLike(textureBytes, 100 + i), ddsLike(textureBytes, 120 + i));
        for (const char* folder : {"orig", "mod", "g"})
            fs::create_directories(dir / folder);
        for (std::size_t i = 0; i < m.size(); ++i) {
            // Built by appending: GCC 12 at -O3 warns falsely (-Wrestrict) on "m" + a string.
            std::string name(1, 'm');
            name += std::to_string(i) + ".dds";
            writeBytes(dir / "orig" / name, m[i].first);
            writeBytes(dir / "mod" / name, m[i].second);
        }
        const auto filler = [&] { return gen.random(4096); };
        start = {concat({filler(), m[0].first, filler(), m[1].first, filler(), m[2].first, filler(),
                         m[3].first, filler(), m[4].first, filler()}),
                 concat({filler(), m[1].first, filler(), m[5].second, filler(), m[2].first,
                         filler(), m[3].first, filler()}),
                 concat({filler(), m[5].second, filler(), m[4].second, filler()})};
    }

    void reset() {
        for (const fs::directory_entry& entry : fs::directory_iterator(dir / "g"))
            fs::remove(entry.path());
        for (std::size_t i = 0; i < archiveNames.size(); ++i)
            writeBytes(dir / "g" / archiveNames[i], start[i]);
    }

    Outcome collect(const ProcessResult& first, const ProcessResult& second) {
        Outcome outcome{first.out, second.out, {}};
        for (const std::string& name : archiveNames)
            outcome.archives.push_back(readBytes(dir / "g" / name));
        EXPECT_EQ(static_cast<std::size_t>(std::distance(fs::directory_iterator(dir / "g"), {})),
                  archiveNames.size())
            << "a journal or super-journal was left behind";
        return outcome;
    }

    // One run after the other, `a` first: what they print and leave, and how long `a` took.
    Outcome oneAfterTheOther(const Args& a, const Args& b, std::chrono::microseconds& took) {
        reset();
        const auto began = std::chrono::steady_clock::now();
        const ProcessResult first = runProcess(a, dir.path());
        took = std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::steady_clock::now() - began);
        const ProcessResult second = runProcess(b, dir.path());
        EXPECT_EQ(first.status, 0) << first.out;
        EXPECT_EQ(second.status, 0) << second.out;
        return collect(first, second);
    }

    // Starts `b` at random moments of `a`'s run, and expects each time what one order gives.
    void expectSerialised(const Args& a, const Args& b) {
        std::chrono::microseconds aTook{}, bTook{};
        const Outcome aFirst = oneAfterTheOther(a, b, aTook);
        Outcome bFirst = oneAfterTheOther(b, a, bTook);
        std::swap(bFirst.first, bFirst.second); // a's lines first, as below
        std::mt19937 random(static_cast<unsigned>(aTook.count()));
        for (int trial = 0; trial < trialsPerPair; ++trial) {
            reset();
            const std::chrono::microseconds offset{
                std::uniform_int_distribution<long long>(0, aTook.count())(random)};
            Process first(a, dir.path());
            std::this_thread::sleep_for(offset);
            Process second(b, dir.path());
            const ProcessResult aResult = first.wait();
            const ProcessResult bResult = second.wait();
            const Outcome both = collect(aResult, bResult);
            EXPECT_TRUE(both == aFirst || both == bFirst)
                << "second run started " << offset.count() << " us into the first (of "
                << aTook.count() << " us)\nfirst printed:\n"
                << aResult.out << "second printed:\n"
                << bResult.out << "archives match either order: "
                << (both.archives == aFirst.archives || both.archives == bFirst.archives);
        }
    }
};

const Args installM = {DYELOOM_EXE, "g/a?.asf", "orig", "mod", "16"};

TEST_F(ConcurrentRuns, AGameInstallAndAnUndoOverlappingIt) {
    expectSerialised(installM, {DYELOOM_EXE, "g/*1.asf", "mod", "orig", "16"});
}

TEST_F(ConcurrentRuns, TwoInstallsOverOverlappingPatterns) {
    expectSerialised(installM, {DYELOOM_EXE, "g/*.asf", "orig", "mod", "16"});
}

TEST_F(ConcurrentRuns, AFolderFormModAndAFourFileRunOnOneArchive) {
    expectSerialised({DYELOOM_EXE, "g/a1.asf", "orig", "mod", "16"},
                     {DYELOOM_EXE, "g/a1.asf", "orig/m3.dds", "mod/m3.dds", "16"});
}

TEST_F(ConcurrentRuns, TwoFourFileRunsOfOneTexture) {
    const Args one = {DYELOOM_EXE, "g/a1.asf", "orig/m2.dds", "mod/m2.dds", "16"};
    expectSerialised(one, one);
}

TEST_F(ConcurrentRuns, ACheckBesideAnInstall) {
    expectSerialised(installM, {DYELOOM_EXE, "--check", "g/*.asf", "orig", "mod", "16"});
}

} // namespace
} // namespace dyeloom
