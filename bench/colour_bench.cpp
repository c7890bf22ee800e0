// Our colour transforms against LittleCMS's cmsDoTransform on the same 24-megapixel picture, one
// thread, for each kind of profile; and what converting a tagged JPEG adds to its decode through
// the library.
//   colour_bench [ROUNDS]            (medians of ROUNDS, default 5; LittleCMS gets three)
#include <lcms2.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "bench/jpeg_writer.h"
#include "libvek/colour/colour.h"
#include "tests/library_decode.h"

namespace {

using vek::colour::Space;
constexpr int kW = 6000, kH = 4000;
constexpr size_t kPixels = size_t{kW} * kH;

double seconds(const std::function<void()>& work) {
    const auto t0 = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double median(int rounds, const std::function<void()>& work) {
    std::vector<double> t;
    for (int i = 0; i < rounds; ++i) t.push_back(seconds(work));
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

std::vector<uint8_t> profile(const char* name) {
    std::ifstream in(std::string("/usr/share/color/icc/") + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A photograph's worth of values: smooth ramps with noise, four bytes a pixel.
std::vector<uint8_t> photo() {
    std::vector<uint8_t> p(kPixels * 4);
    std::mt19937 r(3);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            uint8_t* q = &p[(static_cast<size_t>(y) * kW + static_cast<size_t>(x)) * 4];
            const uint32_t n = r();
            q[0] = static_cast<uint8_t>(x * 255 / kW + (n & 15));
            q[1] = static_cast<uint8_t>(y * 255 / kH + (n >> 8 & 15));
            q[2] = static_cast<uint8_t>((x + y) * 255 / (kW + kH) + (n >> 16 & 15));
            q[3] = static_cast<uint8_t>(n >> 24);
        }
    return p;
}

std::vector<uint8_t> jpeg(const std::vector<uint8_t>& bgrx, const std::vector<uint8_t>& icc) {
    return writeJpeg(
        kW, kH, 4, JCS_EXT_BGRX,
        [&](int y, uint8_t* row) { std::memcpy(row, &bgrx[static_cast<size_t>(y) * kW * 4], kW * size_t{4}); }, 0, icc);
}

void decode(const std::vector<uint8_t>& file) {
    VekError error;
    LibraryBitmap* b = decodeToBgra(nullptr, &file, error);
    if (b == nullptr) {
        std::fprintf(stderr, "the library refused a benchmark picture\n");
        std::exit(1);
    }
    vekFreeBitmap(b);
}

struct Case {
    const char* what;
    const char* profile;
    Space space;
    bool grid;
};

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    setenv("VEK_THREADS", "1", 1);
    const std::vector<uint8_t> source = photo();
    std::vector<uint8_t> work(source.size()), lcmsOut(source.size() * (1 + 3));
    const Case cases[] = {
        {"curves and a matrix (Adobe RGB)", "colord/AdobeRGB1998.icc", Space::Rgb, false},
        {"curves and a matrix (ProPhoto)", "colord/ProPhotoRGB.icc", Space::Rgb, false},
        {"RGB grid (Adobe RGB as a table)", "colord/AdobeRGB1998.icc", Space::Rgb, true},
        {"grey (CIE L*)", "Gray-CIE_L.icc", Space::Grey, false},
        {"CMYK grid (ghostscript)", "ghostscript/default_cmyk.icc", Space::Cmyk, false},
    };
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    std::printf("24 MP, one thread; megapixels a second (medians of %d; LittleCMS of 3)\n", rounds);
    std::printf("%-34s %10s %10s %7s\n", "profile", "ours", "LittleCMS", "ratio");
    for (const Case& c : cases) {
        const std::vector<uint8_t> bytes = profile(c.profile);
        vek::colour::Description d;
        d.setProfile(bytes.data(), bytes.size());
        d.space = c.space;
        const auto t = vek::colour::build(d, c.space, c.grid);
        cmsHPROFILE p = cmsOpenProfileFromMem(bytes.data(), static_cast<cmsUInt32Number>(bytes.size()));
        const cmsUInt32Number in = c.space == Space::Rgb    ? TYPE_BGRA_8
                                   : c.space == Space::Grey ? TYPE_GRAY_8
                                                            : TYPE_CMYK_8;
        cmsHTRANSFORM lcms = cmsCreateTransform(p, in, srgb, TYPE_BGRA_8, cmsGetHeaderRenderingIntent(p),
                                                c.grid ? cmsFLAGS_FORCE_CLUT : 0);
        if (t == nullptr || lcms == nullptr) {
            std::printf("%-34s no transform\n", c.what);
            continue;
        }
        const double ours = median(rounds, [&] {
            std::memcpy(work.data(), source.data(), work.size());
            if (c.space == Space::Rgb) t->bgraRow(work.data(), kPixels, simd::detect());
            if (c.space == Space::Grey) t->greyRow(work.data(), kPixels);
            if (c.space == Space::Cmyk) t->cmykRow(work.data(), work.data(), kPixels, true, simd::detect());
        });
        const double theirs = median(3, [&] {
            std::memcpy(work.data(), source.data(), work.size());
            cmsDoTransform(lcms, work.data(), lcmsOut.data(), static_cast<cmsUInt32Number>(kPixels));
        });
        // The copy both sides make is taken out.
        const double copy = median(rounds, [&] { std::memcpy(work.data(), source.data(), work.size()); });
        std::printf("%-34s %10.0f %10.0f %6.1fx\n", c.what, kPixels / (ours - copy) / 1e6,
                    kPixels / (theirs - copy) / 1e6, (theirs - copy) / (ours - copy));
        cmsDeleteTransform(lcms);
        cmsCloseProfile(p);
    }
    cmsCloseProfile(srgb);

    const std::vector<uint8_t> plain = jpeg(source, {}), tagged = jpeg(source, profile("colord/AdobeRGB1998.icc"));
    decode(tagged); // the transform is built once, kept for the rest
    std::printf("\n24 MP JPEG through the library, untagged and Adobe RGB (converted in the bands that decode it):\n");
    for (const char* threads : {static_cast<const char*>("1"), static_cast<const char*>(nullptr)}) {
        if (threads != nullptr)
            setenv("VEK_THREADS", threads, 1);
        else
            unsetenv("VEK_THREADS");
        const double a = median(rounds, [&] { decode(plain); }), b = median(rounds, [&] { decode(tagged); });
        std::printf("  %-16s untagged %.0f ms, Adobe RGB %.0f ms (%.2fx)\n",
                    threads != nullptr ? "one thread:" : "default threads:", a * 1e3, b * 1e3, b / a);
    }
    return 0;
}
