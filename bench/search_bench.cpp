// The search core alone, in memory: bytes of archive searched per second, next to the reference
// scan, on the two shapes of data the whole-process benchmark uses.
#include "search.hpp"
#include "support/reference_scan.hpp"
#include "two_way.hpp"

#include <benchmark/benchmark.h>
#include <random>
#include <vector>

namespace {

using ByteBuffer = std::vector<std::uint8_t>;

struct DataSet {
    ByteBuffer hay;
    ByteBuffer needle;
};

// Pseudo-random archive with the needle stored near its end.
DataSet realistic(std::size_t haySize, std::size_t needleSize) {
    std::mt19937_64 rng(1);
    DataSet data{ByteBuffer(haySize), ByteBuffer(needleSize)};
    for (auto& byte : data.hay)
        byte = static_cast<std::uint8_t>(rng());
    for (auto& byte : data.needle)
        byte = static_cast<std::uint8_t>(rng());
    std::copy(data.needle.begin(), data.needle.end(), data.hay.end() - needleSize - 4096);
    return data;
}

// Zeros, then a needle of zeros that ends in 16 other bytes.
DataSet adversarial(std::size_t haySize, std::size_t needleSize) {
    DataSet data{ByteBuffer(haySize, 0), ByteBuffer(needleSize, 0)};
    for (std::size_t i = 0; i < 16; ++i)
        data.needle[needleSize - 16 + i] = static_cast<std::uint8_t>(0x41 + i);
    std::copy(data.needle.begin(), data.needle.end(), data.hay.end() - needleSize);
    return data;
}

template <typename Find> void run(benchmark::State& state, const DataSet& data, Find find) {
    for (auto _ : state)
        benchmark::DoNotOptimize(find(data.hay, data.needle));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(data.hay.size()));
}

const DataSet& realisticData() {
    static const DataSet data = realistic(64 << 20, 1 << 20);
    return data;
}
const DataSet& adversarialData() {
    static const DataSet data = adversarial(64 << 20, 1 << 20);
    return data;
}
// The reference scan is quadratic on zeros: it gets a smaller instance of the same shape.
const DataSet& smallAdversarialData() {
    static const DataSet data = adversarial(4 << 20, 64 << 10);
    return data;
}

void Realistic_Dyeloom(benchmark::State& s) {
    run(s, realisticData(), dyeloom::findFirst);
}
std::optional<std::size_t> twoWayAlone(dyeloom::Bytes hay, dyeloom::Bytes needle) {
    return dyeloom::TwoWay(needle).find(hay);
}

void Realistic_TwoWay(benchmark::State& s) {
    run(s, realisticData(), twoWayAlone);
}
void Realistic_Reference(benchmark::State& s) {
    run(s, realisticData(), dyeloom::test::referenceFind);
}
void Adversarial_Dyeloom(benchmark::State& s) {
    run(s, adversarialData(), dyeloom::findFirst);
}
void Adversarial_TwoWay(benchmark::State& s) {
    run(s, adversarialData(), twoWayAlone);
}
void SmallAdversarial_Dyeloom(benchmark::State& s) {
    run(s, smallAdversarialData(), dyeloom::findFirst);
}
void SmallAdversarial_Reference(benchmark::State& s) {
    run(s, smallAdversarialData(), dyeloom::test::referenceFind);
}

BENCHMARK(Realistic_Dyeloom)->Unit(benchmark::kMillisecond);
BENCHMARK(Realistic_TwoWay)->Unit(benchmark::kMillisecond);
BENCHMARK(Realistic_Reference)->Unit(benchmark::kMillisecond);
BENCHMARK(Adversarial_Dyeloom)->Unit(benchmark::kMillisecond);
BENCHMARK(Adversarial_TwoWay)->Unit(benchmark::kMillisecond);
BENCHMARK(SmallAdversarial_Dyeloom)->Unit(benchmark::kMillisecond);
BENCHMARK(SmallAdversarial_Reference)->Unit(benchmark::kMillisecond)->Iterations(1);

} // namespace
