// Our own readers against other decoders of the same formats, on the same bytes already in memory,
// in one process, the two sides taking turns: stb_image for BMP, TGA and PSD, libsquish (one
// thread) for DXT1 and DXT5, and Pillow's BCn decoder for DXT1, DXT5 and BC7 (timed in a Python
// process of its own, loads only). Pictures are made here: 24 megapixels, DDS 4096 x 4096. Freed
// memory is reused by both sides (large blocks are kept in the heap, not returned), so that what is
// compared is decoding, not the system's first touch of fresh pages; and both sides' large blocks are
// on transparent huge pages. The Windows build (run under wine) has stb_image and libspng for peers,
// and no huge pages.
//   reader_bench [ROUNDS]      prints medians and ratio = our speed / the peer's (above 1: ours faster)
// VEK_BENCH_LAYERED=FILE adds a layered PSD to the threads table (bench/make_layered.js writes one).
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_BMP
#define STBI_ONLY_TGA
#define STBI_ONLY_PSD
#include <stb/stb_image.h>
#include <spng.h>
#ifndef _WIN32
#include <squish.h>

#include <malloc.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/jpeg_writer.h"
#ifndef _WIN32
#include "bench/same_pages.h"
#endif
#include "imagelib/vek.h"
#include "tests/library_decode.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr int kW = 6000, kH = 4000;

void put16le(Bytes& b, uint32_t v) { b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8)}); }
void put32le(Bytes& b, uint32_t v) {
    b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
}
void put16be(Bytes& b, uint32_t v) { b.insert(b.end(), {uint8_t(v >> 8), uint8_t(v)}); }
void put32be(Bytes& b, uint32_t v) {
    b.insert(b.end(), {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
}

// Channel c of pixel (x, y): smooth with some noise, and flat stretches that run-length coding takes.
uint8_t sample(int x, int y, int c, uint32_t noise) {
    if ((y / 64 + x / 256) % 3 == 0) return static_cast<uint8_t>(40 * c + y / 100);
    return static_cast<uint8_t>((x / (7 + c) + y / (11 + c)) + ((noise >> (c * 3)) & 7));
}

Bytes bmp24() {
    Bytes b;
    const uint32_t stride = kW * 3, pixels = stride * kH;
    b.insert(b.end(), {'B', 'M'});
    put32le(b, 54 + pixels);
    put32le(b, 0);
    put32le(b, 54);
    put32le(b, 40);
    put32le(b, kW);
    put32le(b, kH);
    put16le(b, 1);
    put16le(b, 24);
    for (int i = 0; i < 6; ++i) put32le(b, 0);
    std::mt19937 r(1);
    for (int y = kH - 1; y >= 0; --y)
        for (int x = 0; x < kW; ++x) {
            const uint32_t n = r();
            for (int c = 2; c >= 0; --c) b.push_back(sample(x, y, c, n));
        }
    return b;
}

Bytes tga32(bool rle) {
    Bytes b = {0, 0, static_cast<uint8_t>(rle ? 10 : 2), 0, 0, 0, 0, 0, 0, 0, 0, 0};
    put16le(b, kW);
    put16le(b, kH);
    b.push_back(32);
    b.push_back(0x08); // bottom row first, 8 alpha bits: what most writers produce
    std::mt19937 r(2);
    std::vector<uint8_t> row(kW * 4);
    for (int y = kH - 1; y >= 0; --y) {
        for (int x = 0; x < kW; ++x) {
            const uint32_t n = r();
            row[x * 4 + 0] = sample(x, y, 2, n);
            row[x * 4 + 1] = sample(x, y, 1, n);
            row[x * 4 + 2] = sample(x, y, 0, n);
            row[x * 4 + 3] = static_cast<uint8_t>(255 - (x / 40 % 2) * 128);
        }
        if (!rle) {
            b.insert(b.end(), row.begin(), row.end());
            continue;
        }
        for (int x = 0; x < kW;) {
            int run = 1;
            while (x + run < kW && run < 128 && std::memcmp(&row[(x + run) * 4], &row[x * 4], 4) == 0) ++run;
            if (run > 1) {
                b.push_back(static_cast<uint8_t>(0x80 | (run - 1)));
                b.insert(b.end(), &row[x * 4], &row[x * 4] + 4);
                x += run;
            } else {
                int n = 1;
                while (x + n < kW && n < 128 && std::memcmp(&row[(x + n) * 4], &row[(x + n - 1) * 4], 4) != 0) ++n;
                b.push_back(static_cast<uint8_t>(n - 1));
                b.insert(b.end(), &row[x * 4], &row[x * 4] + 4 * n);
                x += n;
            }
        }
    }
    return b;
}

void packBits(const uint8_t* in, int n, Bytes& out) {
    for (int i = 0; i < n;) {
        int run = 1;
        while (i + run < n && run < 128 && in[i + run] == in[i]) ++run;
        if (run >= 3) {
            out.push_back(static_cast<uint8_t>(257 - run));
            out.push_back(in[i]);
            i += run;
        } else {
            int j = i;
            while (j < n && j - i < 128 && !(j + 2 < n && in[j] == in[j + 1] && in[j] == in[j + 2])) ++j;
            out.push_back(static_cast<uint8_t>(j - i - 1));
            out.insert(out.end(), in + i, in + j);
            i = j;
        }
    }
}

// 8-bit RGB (or with one channel, grey) Photoshop picture; version 2 is the large format, PSB.
Bytes psd8(bool packed, int channels = 3, int version = 1) {
    Bytes b = {'8', 'B', 'P', 'S'};
    put16be(b, version);
    b.insert(b.end(), 6, 0);
    put16be(b, channels);
    put32be(b, kH);
    put32be(b, kW);
    put16be(b, 8);
    put16be(b, channels == 3 ? 3 : 1);
    put32be(b, 0);
    put32be(b, 0);
    if (version == 2) put32be(b, 0); // PSB: the layer section's length takes eight bytes
    put32be(b, 0);
    put16be(b, packed ? 1 : 0);
    std::vector<std::vector<uint8_t>> planes(channels, std::vector<uint8_t>(static_cast<size_t>(kW) * kH));
    std::mt19937 r(3);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const uint32_t n = r();
            for (int c = 0; c < channels; ++c) planes[c][static_cast<size_t>(y) * kW + x] = sample(x, y, c, n);
        }
    if (!packed) {
        for (auto& p : planes) b.insert(b.end(), p.begin(), p.end());
        return b;
    }
    std::vector<Bytes> rows;
    for (auto& p : planes)
        for (int y = 0; y < kH; ++y) {
            Bytes row;
            packBits(&p[static_cast<size_t>(y) * kW], kW, row);
            rows.push_back(std::move(row));
        }
    for (auto& row : rows) (version == 2 ? put32be : put16be)(b, static_cast<uint32_t>(row.size()));
    for (auto& row : rows) b.insert(b.end(), row.begin(), row.end());
    return b;
}

// 8-bit RGB PNGs written by libspng's encoder (its adaptive filter choice, zlib's default level):
// photo-like, or screenshot-like (flat panels, lines of small glyphs, a photo in one corner).
Bytes png24(bool screenshot) {
    std::vector<uint8_t> rgb(static_cast<size_t>(kW) * kH * 3);
    std::mt19937 r(5);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            uint8_t* p = &rgb[(static_cast<size_t>(y) * kW + x) * 3];
            const uint32_t n = r();
            if (!screenshot || (x > kW * 3 / 4 && y > kH * 3 / 4)) {
                for (int c = 0; c < 3; ++c) p[c] = sample(x, y, c, n);
            } else if (y % 600 < 40) {
                p[0] = 40, p[1] = 70, p[2] = 120; // title bars
            } else {
                // Glyphs: each 8 x 14 cell of a text line inks a few of its pixels.
                const bool ink =
                    y % 20 < 14 && x % 8 < 6 && (x / 8 * 31 + y / 20 * 17 + (x % 8) * 5 + y % 20 * 3) % 7 < 2;
                p[0] = p[1] = p[2] = ink ? 30 : static_cast<uint8_t>(x / 1500 % 2 ? 250 : 236);
            }
        }
    std::unique_ptr<spng_ctx, void (*)(spng_ctx*)> enc(spng_ctx_new(SPNG_CTX_ENCODER), spng_ctx_free);
    spng_set_option(enc.get(), SPNG_ENCODE_TO_BUFFER, 1);
    spng_ihdr ihdr = {static_cast<uint32_t>(kW), static_cast<uint32_t>(kH), 8, SPNG_COLOR_TYPE_TRUECOLOR, 0, 0, 0};
    spng_set_ihdr(enc.get(), &ihdr);
    if (spng_encode_image(enc.get(), rgb.data(), rgb.size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE) != 0) std::exit(1);
    size_t size = 0;
    int error = 0;
    auto* png = static_cast<uint8_t*>(spng_get_png_buffer(enc.get(), &size, &error));
    if (png == nullptr) std::exit(1);
    Bytes b(png, png + size);
    std::free(png);
    return b;
}

// A photo-like JPEG from libjpeg-turbo's encoder (quality 90, 4:2:0 unless full chroma), with a
// restart marker at every row of blocks as some cameras write, or none as most encoders write.
Bytes jpeg24(int restartRows, int components = 3, bool fullChroma = false) {
    std::mt19937 r(6);
    return writeJpeg(
        kW, kH, components, components == 1 ? JCS_GRAYSCALE : JCS_RGB,
        [&](int y, uint8_t* row) {
            for (int x = 0; x < kW; ++x) {
                const uint32_t n = r();
                for (int k = 0; k < components; ++k) row[x * components + k] = sample(x, y, k, n);
            }
        },
        restartRows, {}, fullChroma);
}

void decodeWithSpng(const Bytes& file) {
    std::unique_ptr<spng_ctx, void (*)(spng_ctx*)> ctx(spng_ctx_new(0), spng_ctx_free);
    size_t bytes = 0;
    if (spng_set_png_buffer(ctx.get(), file.data(), file.size()) != 0 ||
        spng_decoded_image_size(ctx.get(), SPNG_FMT_RGBA8, &bytes) != 0)
        std::exit(1);
    std::unique_ptr<uint8_t[]> rgba(new uint8_t[bytes]); // not zero-filled
    if (spng_decode_image(ctx.get(), rgba.get(), bytes, SPNG_FMT_RGBA8, 0) != 0) {
        std::fprintf(stderr, "libspng refused a benchmark picture\n");
        std::exit(1);
    }
}

constexpr int kDds = 4096;

Bytes dds(const char* fourcc, uint32_t dxgi, size_t blockBytes, uint8_t (*firstByte)(std::mt19937&), int side = kDds) {
    Bytes b = {'D', 'D', 'S', ' '};
    put32le(b, 124);
    put32le(b, 0x1007);
    put32le(b, side);
    put32le(b, side);
    for (int i = 0; i < 2 + 1 + 11; ++i) put32le(b, 0);
    put32le(b, 32);
    put32le(b, 4);
    b.insert(b.end(), fourcc, fourcc + 4);
    for (int i = 0; i < 5; ++i) put32le(b, 0);
    put32le(b, 0x1000);
    for (int i = 0; i < 4; ++i) put32le(b, 0);
    if (dxgi != 0) {
        put32le(b, dxgi);
        put32le(b, 3);
        put32le(b, 0);
        put32le(b, 1);
        put32le(b, 0);
    }
    std::mt19937 r(4);
    const size_t blocks = static_cast<size_t>((side + 3) / 4) * ((side + 3) / 4);
    for (size_t i = 0; i < blocks; ++i) {
        const size_t at = b.size();
        for (size_t k = 0; k < blockBytes; ++k) b.push_back(static_cast<uint8_t>(r()));
        if (firstByte) b[at] = firstByte(r);
    }
    return b;
}

// BC7 blocks of every mode in turn; BC6H blocks of its valid mode numbers.
uint8_t bc7Mode(std::mt19937& r) {
    const unsigned mode = r() % 8;
    return static_cast<uint8_t>((1u << mode) | ((r() << (mode + 1)) & 0xFF));
}
uint8_t bc6hMode(std::mt19937& r) {
    static const uint8_t modes[] = {0x00, 0x01, 0x02, 0x06, 0x0A, 0x0E, 0x12, 0x16, 0x1A, 0x1E, 0x03, 0x07, 0x0B, 0x0F};
    const uint8_t m = modes[r() % 14];
    return static_cast<uint8_t>(m | (m & 3 ? ((r() & 7) << 5) : ((r() & 7) << 5)));
}

// The library reads VEK_THREADS on every call.
void setVariable(const char* name, const char* value) {
#ifdef _WIN32
    _putenv_s(name, value ? value : "");
#else
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
#endif
}

double seconds(const std::function<void()>& work) {
    const auto t0 = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void decodeWithLibrary(const Bytes& file) {
    VekError error;
    LibraryBitmap* b = decodeToBgra(nullptr, &file, error);
    if (b == nullptr) {
        std::fprintf(stderr, "the library refused a benchmark picture\n");
        std::exit(1);
    }
    vekFreeBitmap(b);
}

void decodeWithStb(const Bytes& file) {
    int w, h, c;
    stbi_uc* p = stbi_load_from_memory(file.data(), static_cast<int>(file.size()), &w, &h, &c, 4);
    if (p == nullptr) {
        std::fprintf(stderr, "stb_image refused a benchmark picture: %s\n", stbi_failure_reason());
        std::exit(1);
    }
    stbi_image_free(p);
}

#ifndef _WIN32
void decodeWithSquish(const Bytes& file, int flags) {
    std::unique_ptr<uint8_t[]> rgba(new uint8_t[static_cast<size_t>(kDds) * kDds * 4]); // not zero-filled
    squish::DecompressImage(rgba.get(), kDds, kDds, file.data() + 128, flags);
}

// Pillow's median load time of a DDS file, timed inside Python, whose allocator keeps freed blocks
// for reuse as ours does.
double pillowSeconds(const std::string& path, int rounds) {
    const std::string command =
        "GLIBC_TUNABLES=\"$GLIBC_TUNABLES:glibc.malloc.mmap_threshold=1073741824:glibc.malloc.trim_threshold="
        "1073741824\" "
        "/usr/bin/python3 -c \"import io,sys,time;from PIL import Image;d=open(sys.argv[1],'rb').read();t=[]\n"
        "for _ in range(int(sys.argv[2])):\n "
        "s=time.perf_counter();im=Image.open(io.BytesIO(d));im.load();t.append(time.perf_counter()-s)\n"
        "t.sort();print(t[len(t)//2])\" " +
        path + " " + std::to_string(rounds);
    FILE* p = popen(command.c_str(), "r");
    double s = 0;
    if (p == nullptr || std::fscanf(p, "%lf", &s) != 1) s = 0;
    if (p) pclose(p);
    return s;
}
#endif

struct Row {
    std::string name, peer;
    double ours, theirs;
};

} // namespace

int main(int argc, [[maybe_unused]] char** argv) {
#ifndef _WIN32
    hugePagesForBothSides(argv);
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
#endif
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 7;
    // VEK_BENCH_ONLY=TEXT times only the rows whose names hold TEXT.
    const char* only = std::getenv("VEK_BENCH_ONLY");
    auto wanted = [&](const std::string& name) { return only == nullptr || name.find(only) != std::string::npos; };
    setVariable("OMP_NUM_THREADS", "1");
    vekLibraryInit();
    // Against the peers, one thread each; what threads add is timed on its own below.
    setVariable("VEK_THREADS", "1");
    std::vector<Row> rows;
    auto compare = [&](const char* name, const char* peer, const Bytes& file, const std::function<void()>& theirs) {
        if (!wanted(name)) return;
        std::vector<double> a, b;
        decodeWithLibrary(file);
        theirs();
        for (int i = 0; i < rounds; ++i) {
            a.push_back(seconds([&] { decodeWithLibrary(file); }));
            b.push_back(seconds(theirs));
        }
        rows.push_back({name, peer, median(a), median(b)});
        std::fprintf(stderr, ".");
    };
    {
        const Bytes f = bmp24();
        compare("BMP 24-bit", "stb_image", f, [&] { decodeWithStb(f); });
    }
    for (bool rle : {false, true}) {
        const Bytes f = tga32(rle);
        compare(rle ? "TGA 32-bit RLE" : "TGA 32-bit raw", "stb_image", f, [&] { decodeWithStb(f); });
    }
    for (bool screenshot : {false, true}) {
        const Bytes f = png24(screenshot);
        compare(screenshot ? "PNG RGB screenshot-like" : "PNG RGB photo-like", "libspng to RGBA8", f,
                [&] { decodeWithSpng(f); });
    }
    for (bool packed : {false, true}) {
        const Bytes f = psd8(packed);
        compare(packed ? "PSD 8-bit RGB PackBits" : "PSD 8-bit RGB raw", "stb_image", f, [&] { decodeWithStb(f); });
    }
#ifndef _WIN32
    struct DdsCase {
        const char* name;
        const char* fourcc;
        uint32_t dxgi;
        size_t block;
        uint8_t (*first)(std::mt19937&);
        int squishFlags;
    } cases[] = {
        {"DDS DXT1 4096x4096", "DXT1", 0, 8, nullptr, squish::kDxt1},
        {"DDS DXT5 4096x4096", "DXT5", 0, 16, nullptr, squish::kDxt5},
        {"DDS BC7 4096x4096", "DX10", 98, 16, bc7Mode, 0},
        {"DDS BC6H 4096x4096", "DX10", 95, 16, bc6hMode, 0},
    };
    char dir[] = "/tmp/vek-reader-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) return 1;
    for (const DdsCase& c : cases) {
        if (!wanted(c.name)) continue;
        const Bytes f = dds(c.fourcc, c.dxgi, c.block, c.first);
        if (c.squishFlags) compare(c.name, "libsquish 1 thread", f, [&] { decodeWithSquish(f, c.squishFlags); });
        const std::string path = std::string(dir) + "/" + c.fourcc + std::to_string(c.dxgi) + ".dds";
        if (FILE* out = std::fopen(path.c_str(), "wb")) {
            std::fwrite(f.data(), 1, f.size(), out);
            std::fclose(out);
        }
        // Pillow in batches between ours, so that both sides see the same machine state.
        std::vector<double> a, b;
        for (int i = 0; i < 3; ++i) {
            for (int k = 0; k < rounds / 3 + 1; ++k) a.push_back(seconds([&] { decodeWithLibrary(f); }));
            b.push_back(pillowSeconds(path, rounds / 3 + 1));
        }
        if (median(b) > 0) rows.push_back({c.name, "Pillow BCn", median(a), median(b)});
        std::remove(path.c_str());
    }
    rmdir(dir);
#endif

    // Each block format through the library on textures of 0.26 and 0.5 megapixels, as the fastest
    // public block decoders are measured: megapixels a second, the median of rounds of many decodes.
    struct Throughput {
        std::string name;
        double megapixelsPerSecond;
    };
    std::vector<Throughput> blocks;
    const struct {
        const char* name;
        const char* fourcc;
        uint32_t dxgi;
        size_t block;
        uint8_t (*first)(std::mt19937&);
    } codecs[] = {{"BC1", "DXT1", 0, 8, nullptr},  {"BC2", "DXT3", 0, 16, nullptr}, {"BC3", "DXT5", 0, 16, nullptr},
                  {"BC4", "ATI1", 0, 8, nullptr},  {"BC5", "ATI2", 0, 16, nullptr}, {"BC6H", "DX10", 95, 16, bc6hMode},
                  {"BC7", "DX10", 98, 16, bc7Mode}};
    for (const auto& c : codecs) {
        if (!wanted(c.name)) continue;
        for (int side : {512, 724}) {
            const Bytes f = dds(c.fourcc, c.dxgi, c.block, c.first, side);
            const int repeats = 40;
            std::vector<double> t;
            decodeWithLibrary(f);
            for (int i = 0; i < rounds; ++i)
                t.push_back(seconds([&] {
                    for (int k = 0; k < repeats; ++k) decodeWithLibrary(f);
                }));
            blocks.push_back({std::string(c.name) + " " + std::to_string(side) + "x" + std::to_string(side),
                              double(side) * side * repeats / median(t) / 1e6});
        }
        std::fprintf(stderr, ".");
    }

    // Each reader that spreads bands over threads, on a large picture at one thread and at two
    // (VEK_THREADS), the runs taking turns.
    struct Scaling {
        std::string name;
        double one, two;
    };
    std::vector<Scaling> scaling;
    {
        std::vector<std::pair<const char*, Bytes>> large = {
            {"BMP 24-bit", bmp24()},
            {"TGA 32-bit raw", tga32(false)},
            {"PSD RGB raw", psd8(false)},
            {"PSD RGB PackBits", psd8(true)},
            {"PSB RGB PackBits", psd8(true, 3, 2)},
            {"PSD grey + conversion", psd8(false, 1)},
            {"DDS DXT1 4096x4096", dds("DXT1", 0, 8, nullptr)},
            {"DDS DXT5 4096x4096", dds("DXT5", 0, 16, nullptr)},
            {"DDS BC7 4096x4096", dds("DX10", 98, 16, bc7Mode)},
            {"DDS BC6H 4096x4096", dds("DX10", 95, 16, bc6hMode)},
            {"JPEG restart every row", jpeg24(1)},
            {"JPEG baseline 4:2:0", jpeg24(0)},
            {"JPEG baseline 4:4:4", jpeg24(0, 3, true)},
            {"JPEG baseline grey", jpeg24(0, 1)},
            {"PNG RGB photo-like", png24(false)},
        };
        // A layered PSD without a merged picture (bench/make_layered.js writes one), where given.
        if (const char* layered = std::getenv("VEK_BENCH_LAYERED")) {
            if (FILE* f = std::fopen(layered, "rb")) {
                Bytes bytes;
                uint8_t chunk[1 << 16];
                for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;)
                    bytes.insert(bytes.end(), chunk, chunk + n);
                std::fclose(f);
                large.emplace_back("PSD 12 layers drawn", std::move(bytes));
            }
        }
        for (const auto& [name, f] : large) {
            if (!wanted(name)) continue;
            std::vector<double> t[2];
            for (int i = 0; i <= rounds; ++i)
                for (int k = 0; k < 2; ++k) {
                    setVariable("VEK_THREADS", k ? "2" : "1");
                    const double s = seconds([&] { decodeWithLibrary(f); });
                    if (i > 0) t[k].push_back(s); // the first round warms both
                }
            scaling.push_back({name, median(t[0]), median(t[1])});
            std::fprintf(stderr, ".");
        }
        setVariable("VEK_THREADS", nullptr);
    }

    // Eight host threads decoding large pictures at once, the library choosing its own threads,
    // against one host thread decoding as many: the total throughput of each (medians of three
    // rounds after one that warms both; eight pictures at once cannot all reuse kept memory).
    double oneHost = 0, eightHosts = 0;
    if (only == nullptr) {
        const Bytes f = dds("DXT5", 0, 16, nullptr);
        const int each = 3;
        auto one = [&] {
            for (int i = 0; i < 8 * each; ++i) decodeWithLibrary(f);
        };
        auto eight = [&] {
            std::vector<std::thread> hosts;
            for (int t = 0; t < 8; ++t)
                hosts.emplace_back([&] {
                    for (int i = 0; i < each; ++i) decodeWithLibrary(f);
                });
            for (auto& h : hosts) h.join();
        };
        std::vector<double> a, b;
        for (int i = 0; i < 4; ++i) {
            const double x = seconds(one), y = seconds(eight);
            if (i > 0) a.push_back(x), b.push_back(y);
        }
        oneHost = median(a);
        eightHosts = median(b);
    }
    std::fprintf(stderr, "\n");
    std::printf("%-26s %-20s %12s %12s %8s\n", "work", "peer", "ours (ms)", "peer (ms)", "ratio");
    for (const Row& r : rows)
        std::printf("%-26s %-20s %12.1f %12.1f %8.2f\n", r.name.c_str(), r.peer.c_str(), r.ours * 1e3, r.theirs * 1e3,
                    r.theirs / r.ours);
    std::printf("\n%-26s %12s\n", "block format", "MP/s");
    for (const Throughput& b : blocks) std::printf("%-26s %12.0f\n", b.name.c_str(), b.megapixelsPerSecond);
    std::printf("\n%-26s %12s %12s %8s\n", "threads", "1 (ms)", "2 (ms)", "speed-up");
    for (const Scaling& r : scaling)
        std::printf("%-26s %12.1f %12.1f %8.2f\n", r.name.c_str(), r.one * 1e3, r.two * 1e3, r.one / r.two);
    if (only == nullptr)
        std::printf("\n24 DXT5 4096x4096 decodes: one host thread %.0f ms, eight at once %.0f ms (throughput %.2fx)\n",
                    oneHost * 1e3, eightHosts * 1e3, oneHost / eightHosts);
    vekLibraryExit();
    return 0;
}
