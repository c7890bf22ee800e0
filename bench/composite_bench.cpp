// The checkerboard pass against a plain copy of the same buffer: the copy is the floor that the
// plug-in's own per-pixel work is measured by.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "imaging/checkerboard.h"

namespace {

constexpr int kWidth = 6000;
constexpr int kHeight = 4000;
constexpr size_t kBytes = size_t{kWidth} * kHeight * 4;

enum class Alpha { Opaque, Transparent, Random };

std::vector<uint8_t> makePicture(Alpha alpha) {
    std::vector<uint8_t> pixels(kBytes);
    std::mt19937 random(42);
    for (size_t i = 0; i < kBytes; i += 4) {
        const uint32_t r = random();
        pixels[i] = static_cast<uint8_t>(r);
        pixels[i + 1] = static_cast<uint8_t>(r >> 8);
        pixels[i + 2] = static_cast<uint8_t>(r >> 16);
        pixels[i + 3] = alpha == Alpha::Opaque ? 255 : alpha == Alpha::Transparent ? 0 : static_cast<uint8_t>(r >> 24);
    }
    return pixels;
}

void composite(benchmark::State& state, Alpha alpha) {
    const std::vector<uint8_t> original = makePicture(alpha);
    std::vector<uint8_t> work(kBytes);
    for (auto _ : state) {
        state.PauseTiming();
        std::memcpy(work.data(), original.data(), kBytes);
        state.ResumeTiming();
        CheckerboardComposite(work.data(), kWidth, kHeight);
        benchmark::DoNotOptimize(work.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
}

void copy(benchmark::State& state) {
    const std::vector<uint8_t> original = makePicture(Alpha::Random);
    std::vector<uint8_t> work(kBytes);
    for (auto _ : state) {
        std::memcpy(work.data(), original.data(), kBytes);
        benchmark::DoNotOptimize(work.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
}

} // namespace

BENCHMARK_CAPTURE(composite, opaque, Alpha::Opaque)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(composite, transparent, Alpha::Transparent)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(composite, random_alpha, Alpha::Random)->Unit(benchmark::kMillisecond);
BENCHMARK(copy)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
