// GetPicture end to end against the bare decoder on the same bytes: libjpeg-turbo's TurboJPEG API
// to BGRX, and libspng to RGBA8. Each side allocates its output on every iteration. Run once with
// freed memory kept by the allocator (pages reused) and once with every large block fresh from the
// system, since on these machines a fresh page's first touch costs more than the decode itself. In
// both, the library keeps its own freed pixel buffers for the next picture, as it does in a viewer,
// and both sides' large blocks are on transparent huge pages.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <spng.h>
#include <turbojpeg.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "bench/same_pages.h"
#include "plugin/plugin.h"
#include "tests/library_decode.h"

namespace {

constexpr int kWidth = 6000;
constexpr int kHeight = 4000;

std::vector<uint8_t> photo(int channels) {
    // Smooth gradients with noise: compresses like a photograph, not like a flat test card.
    std::vector<uint8_t> p(static_cast<size_t>(kWidth) * kHeight * channels);
    std::mt19937 random(3);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            uint8_t* px = &p[(static_cast<size_t>(y) * kWidth + x) * channels];
            const uint32_t noise = random();
            px[0] = static_cast<uint8_t>((x / 24 + y / 40) + (noise & 15));
            px[1] = static_cast<uint8_t>((y / 16) + ((noise >> 4) & 15));
            px[2] = static_cast<uint8_t>((x / 30) ^ (y / 50));
            if (channels == 4) px[3] = static_cast<uint8_t>(128 + ((x / 60) & 127));
        }
    }
    return p;
}

const std::vector<uint8_t>& jpegFile() {
    static const std::vector<uint8_t> file = [] {
        const std::vector<uint8_t> rgb = photo(3);
        tjhandle tj = tjInitCompress();
        unsigned char* out = nullptr;
        unsigned long size = 0;
        tjCompress2(tj, rgb.data(), kWidth, 0, kHeight, TJPF_RGB, &out, &size, TJSAMP_420, 90, 0);
        std::vector<uint8_t> bytes(out, out + size);
        tjFree(out);
        tjDestroy(tj);
        return bytes;
    }();
    return file;
}

const std::vector<uint8_t>& pngFile() {
    static const std::vector<uint8_t> file = [] {
        const std::vector<uint8_t> rgba = photo(4);
        spng_ctx* ctx = spng_ctx_new(SPNG_CTX_ENCODER);
        spng_set_option(ctx, SPNG_ENCODE_TO_BUFFER, 1);
        spng_ihdr ihdr{};
        ihdr.width = kWidth;
        ihdr.height = kHeight;
        ihdr.bit_depth = 8;
        ihdr.color_type = SPNG_COLOR_TYPE_TRUECOLOR_ALPHA;
        spng_set_ihdr(ctx, &ihdr);
        spng_encode_image(ctx, rgba.data(), rgba.size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE);
        size_t size = 0;
        int error = 0;
        auto* out = static_cast<uint8_t*>(spng_get_png_buffer(ctx, &size, &error));
        std::vector<uint8_t> bytes(out, out + size);
        std::free(out);
        spng_ctx_free(ctx);
        return bytes;
    }();
    return file;
}

void memoryMode(bool reuse) {
    // Both sides alike: either big blocks stay in the heap for the next picture, or each comes
    // fresh from the system and goes back to it.
    mallopt(M_MMAP_THRESHOLD, reuse ? 1 << 30 : 128 * 1024);
    mallopt(M_TRIM_THRESHOLD, reuse ? 1 << 30 : 128 * 1024);
    // What an earlier benchmark left in the heap would otherwise serve the fresh case warm pages.
    if (!reuse) malloc_trim(0);
}

void plugin(benchmark::State& state, const std::vector<uint8_t>& file) {
    memoryMode(state.range(0) != 0);
    for (auto _ : state) {
        HLOCAL header = nullptr, pixels = nullptr;
        if (GetPicture(reinterpret_cast<const char*>(file.data()), static_cast<int32_t>(file.size()), 1, &header,
                       &pixels, nullptr, 0) != Success) {
            state.SkipWithError("GetPicture failed");
            break;
        }
        benchmark::DoNotOptimize(LocalLock(pixels));
        LocalUnlock(pixels);
        LocalFree(header);
        LocalFree(pixels);
    }
}

// The library alone, as GetPicture calls it (information, load bottom-up, conversion to BGRA): what
// GetPicture adds on top is the copy into the DIB and, for transparent pictures, the checkerboard.
void library(benchmark::State& state, const std::vector<uint8_t>& file) {
    memoryMode(state.range(0) != 0);
    for (auto _ : state) {
        VekError error;
        LibraryBitmap* converted = decodeToBgra(nullptr, &file, error, VEK_ORIGIN_BOTTOM_LEFT);
        if (converted == nullptr) {
            state.SkipWithError("the library failed");
            break;
        }
        benchmark::DoNotOptimize(converted->pixels);
        vekFreeBitmap(converted);
    }
}

void bareJpeg(benchmark::State& state) {
    memoryMode(state.range(0) != 0);
    const std::vector<uint8_t>& file = jpegFile();
    tjhandle tj = tjInitDecompress();
    for (auto _ : state) {
        auto* out = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(kWidth) * kHeight * 4));
        tjDecompress2(tj, file.data(), file.size(), out, kWidth, 0, kHeight, TJPF_BGRX, TJFLAG_BOTTOMUP);
        benchmark::DoNotOptimize(out);
        std::free(out);
    }
    tjDestroy(tj);
}

void barePng(benchmark::State& state) {
    memoryMode(state.range(0) != 0);
    const std::vector<uint8_t>& file = pngFile();
    for (auto _ : state) {
        spng_ctx* ctx = spng_ctx_new(0);
        spng_set_png_buffer(ctx, file.data(), file.size());
        size_t size = 0;
        spng_decoded_image_size(ctx, SPNG_FMT_RGBA8, &size);
        auto* out = static_cast<uint8_t*>(std::malloc(size));
        spng_decode_image(ctx, out, size, SPNG_FMT_RGBA8, 0);
        benchmark::DoNotOptimize(out);
        std::free(out);
        spng_ctx_free(ctx);
    }
}

void libraryJpeg(benchmark::State& state) { library(state, jpegFile()); }
void libraryPng(benchmark::State& state) { library(state, pngFile()); }
void pluginJpeg(benchmark::State& state) { plugin(state, jpegFile()); }
void pluginPng(benchmark::State& state) { plugin(state, pngFile()); }

} // namespace

// Argument 1: memory reused; 0: fresh memory.
BENCHMARK(bareJpeg)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(libraryJpeg)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(pluginJpeg)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(barePng)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(libraryPng)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(pluginPng)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();
int main(int argc, char** argv) {
    hugePagesForBothSides(argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
