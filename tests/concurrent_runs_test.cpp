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
using Args = std::vector<std::string>;

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

    // Mod M (m0 to m5) in the a archives and b1, mod N (q0 to q3) installed already in the
    // archives ending in 1: an install of M and an undo of N meet in a1.
    void SetUp() override {
        ByteGen gen(77);
        std::vector<std::pair<ByteBuffer, ByteBuffer>> m, q;
        for (std::uint8_t i = 0; i < 6; ++i)
            m.emplace_back(ddsLike(textureBytes, 100 + i), ddsLike(textureBytes, 120 + i));
        for (std::uint8_t i = 0; i < 4; ++i)
            q.emplace_back(ddsLike(textureBytes, 140 + i), ddsLike(textureBytes, 160 + i));
        for (const char* folder : {"origM", "modM", "origN", "modN", "g"})
            fs::create_directories(dir / folder);
        for (std::size_t i = 0; i < m.size(); ++i) {
            writeBytes(dir / "origM" / ("m" + std::to_string(i) + ".dds"), m[i].first);
            writeBytes(dir / "modM" / ("m" + std::to_string(i) + ".dds"), m[i].second);
        }
        for (std::size_t i = 0; i < q.size(); ++i) {
            writeBytes(dir / "origN" / ("q" + std::to_string(i) + ".dds"), q[i].first);
            writeBytes(dir / "modN" / ("q" + std::to_string(i) + ".dds"), q[i].second);
        }
        const auto filler = [&] { return gen.random(4096); };
        const auto& [m0, m1, m2, m3, m4, m5] = std::tie(m[0], m[1], m[2], m[3], m[4], m[5]);
        start = {concat({filler(), m0.first, filler(), m1.first, filler(), m2.first, filler(),
                         m3.first, filler(), m4.first, filler()}),
                 concat({filler(), q[0].second, filler(), m1.first, filler(), q[1].second, filler(),
                         m2.first, filler(), q[2].second, filler(), m3.first, filler(), q[3].second,
                         filler()}),
                 concat({filler(), q[0].second, filler(), m5.first, filler(), q[1].second, filler(),
                         q[2].second, filler(), q[3].second, filler()})};
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

    static Args command(Args args) {
        args.insert(args.begin(), DYELOOM_EXE);
        return args;
    }

    // One run after the other, `a` first: what they print and leave, and how long `a` took.
    Outcome oneAfterTheOther(const Args& a, const Args& b, std::chrono::microseconds& took) {
        reset();
        const auto began = std::chrono::steady_clock::now();
        const ProcessResult first = runProcess(command(a), dir.path());
        took = std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::steady_clock::now() - began);
        const ProcessResult second = runProcess(command(b), dir.path());
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
            Process first(command(a), dir.path());
            std::this_thread::sleep_for(offset);
            Process second(command(b), dir.path());
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

const Args installM = {"g/a?.asf", "origM", "modM", "16"};

TEST_F(ConcurrentRuns, AGameInstallAndAnUndoOverlappingIt) {
    expectSerialised(installM, {"g/*1.asf", "modN", "origN", "16"});
}

TEST_F(ConcurrentRuns, TwoInstallsOverOverlappingPatterns) {
    expectSerialised(installM, {"g/*.asf", "origM", "modM", "16"});
}

TEST_F(ConcurrentRuns, AFolderFormModAndAFourFileRunOnOneArchive) {
    expectSerialised({"g/a1.asf", "origM", "modM", "16"},
                     {"g/a1.asf", "origM/m3.dds", "modM/m3.dds", "16"});
}

TEST_F(ConcurrentRuns, ACheckBesideAnInstall) {
    expectSerialised(installM, {"--check", "g/*.asf", "origM", "modM", "16"});
}

} // namespace
} // namespace dyeloom
