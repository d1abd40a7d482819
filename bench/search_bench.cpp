// The search core alone, in memory: bytes of archive searched per second by findFirst, Two-Way
// alone and the reference scan, on noise, on data of two byte values and on the adversarial
// shape (zeros against a needle of zeros).
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

// The needle stored near the haystack's end, after `hay` filled by `fill`.
template <typename Fill> DataSet planted(std::size_t haySize, std::size_t needleSize, Fill fill) {
    std::mt19937_64 rng(1);
    DataSet data{ByteBuffer(haySize), ByteBuffer(needleSize)};
    fill(data.hay, rng);
    fill(data.needle, rng);
    std::copy(data.needle.begin(), data.needle.end(), data.hay.end() - needleSize - 4096);
    return data;
}

void noise(ByteBuffer& bytes, std::mt19937_64& rng) {
    for (auto& byte : bytes)
        byte = static_cast<std::uint8_t>(rng());
}

void twoValues(ByteBuffer& bytes, std::mt19937_64& rng) {
    std::uint8_t value = 0;
    for (auto& byte : bytes)
        byte = value = rng() % 3 == 0 ? static_cast<std::uint8_t>(value ^ 0xFF) : value;
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

std::optional<std::size_t> dyeloom(dyeloom::Bytes hay, dyeloom::Bytes needle) {
    return dyeloom::findFirst(hay, needle);
}
std::optional<std::size_t> twoWay(dyeloom::Bytes hay, dyeloom::Bytes needle) {
    return dyeloom::TwoWay(needle).find(hay);
}
std::optional<std::size_t> reference(dyeloom::Bytes hay, dyeloom::Bytes needle) {
    return dyeloom::test::referenceFind(hay, needle);
}

const DataSet& noiseData() {
    static const DataSet data = planted(64 << 20, 1 << 20, noise);
    return data;
}
const DataSet& twoValuedData() {
    static const DataSet data = planted(64 << 20, 100 << 10, twoValues);
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

void Noise_Dyeloom(benchmark::State& s) {
    run(s, noiseData(), dyeloom);
}
void Noise_TwoWay(benchmark::State& s) {
    run(s, noiseData(), twoWay);
}
void Noise_Reference(benchmark::State& s) {
    run(s, noiseData(), reference);
}
void TwoValued_Dyeloom(benchmark::State& s) {
    run(s, twoValuedData(), dyeloom);
}
void TwoValued_TwoWay(benchmark::State& s) {
    run(s, twoValuedData(), twoWay);
}
void Adversarial_Dyeloom(benchmark::State& s) {
    run(s, adversarialData(), dyeloom);
}
void Adversarial_TwoWay(benchmark::State& s) {
    run(s, adversarialData(), twoWay);
}
void SmallAdversarial_Dyeloom(benchmark::State& s) {
    run(s, smallAdversarialData(), dyeloom);
}
void SmallAdversarial_Reference(benchmark::State& s) {
    run(s, smallAdversarialData(), reference);
}

BENCHMARK(Noise_Dyeloom)->Unit(benchmark::kMillisecond);
BENCHMARK(Noise_TwoWay)->Unit(benchmark::kMillisecond);
BENCHMARK(Noise_Reference)->Unit(benchmark::kMillisecond);
BENCHMARK(TwoValued_Dyeloom)->Unit(benchmark::kMillisecond);
BENCHMARK(TwoValued_TwoWay)->Unit(benchmark::kMillisecond);
BENCHMARK(Adversarial_Dyeloom)->Unit(benchmark::kMillisecond);
BENCHMARK(Adversarial_TwoWay)->Unit(benchmark::kMillisecond);
BENCHMARK(SmallAdversarial_Dyeloom)->Unit(benchmark::kMillisecond);
BENCHMARK(SmallAdversarial_Reference)->Unit(benchmark::kMillisecond)->Iterations(1);

} // namespace
