// The row kernels' vector paths against their scalar loops, at widths around each vector step, with
// a guard byte after the row that must survive.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "libvek/core/rows.h"
#include "libvek/formats/png_filter.h"
#include "support/simd.h"

namespace {

using Kernel = void (*)(const uint8_t*, uint8_t*, size_t, simd::Level);
struct Row {
    const char* name;
    Kernel kernel;
    size_t inBytes; // a pixel's bytes in
};
const Row kRows[] = {{"bgr", vek::rows::bgrToBgra, 3},
                     {"rgb", vek::rows::rgbToBgra, 3},
                     {"rgba", vek::rows::rgbaToBgra, 4},
                     {"grey", vek::rows::greyToBgra, 1}};

std::vector<uint8_t> run(const Row& r, const std::vector<uint8_t>& in, size_t width, simd::Level kernels) {
    std::vector<uint8_t> out(width * 4 + 1, 0xA5);
    r.kernel(in.data(), out.data(), width, kernels);
    return out;
}

TEST(RowKernels, EveryLevelAgreesWithScalarAtEveryTail) {
    std::mt19937 random(7);
    for (const Row& r : kRows)
        for (size_t width : {0, 1, 3, 4, 15, 16, 17, 31, 32, 33, 47, 63, 64, 65, 1001}) {
            std::vector<uint8_t> in(width * r.inBytes);
            for (uint8_t& b : in) b = static_cast<uint8_t>(random());
            const auto scalar = run(r, in, width, simd::Level::Scalar);
            for (simd::Level level : simd::runnable()) {
                const auto out = run(r, in, width, level);
                EXPECT_EQ(out, scalar) << r.name << ", " << width << " wide, " << simd::nameOf(level);
                EXPECT_EQ(0xA5, out.back()) << r.name << ", " << width << " wide, " << simd::nameOf(level);
            }
            // The scalar loop itself: the first pixel's blue is where the form puts it.
            if (width > 0) {
                EXPECT_EQ(r.name[0] == 'r' ? in[2] : in[0], scalar[0]) << r.name;
            }
        }
}

TEST(RowKernels, RgbaSwapsInPlace) {
    std::vector<uint8_t> p = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
    vek::rows::rgbaToBgra(p.data(), p.data(), 5, simd::detect());
    EXPECT_EQ((std::vector<uint8_t>{3, 2, 1, 4, 7, 6, 5, 8, 11, 10, 9, 12, 15, 14, 13, 16, 19, 18, 17, 20}), p);
}

} // namespace

namespace {

// PNG unfiltering: every filter on pixels of one to four bytes, vector against scalar, rows of
// random bytes under random rows above, with a guard byte after the padding the kernels may use.
TEST(RowKernels, PngUnfilterAgreesAtEveryLevel) {
    std::mt19937 random(11);
    for (size_t bpp = 1; bpp <= 4; ++bpp)
        for (size_t pixels : {1, 2, 5, 16, 33, 257})
            for (uint8_t filter = 0; filter <= 4; ++filter) {
                const size_t n = pixels * bpp;
                std::vector<uint8_t> in(n + 1 + vek::png::kUnfilterPadding), prev(n + vek::png::kUnfilterPadding);
                for (uint8_t& b : in) b = static_cast<uint8_t>(random());
                for (uint8_t& b : prev) b = static_cast<uint8_t>(random());
                in[0] = filter;
                std::vector<uint8_t> rows[4];
                for (simd::Level level : simd::runnable()) {
                    auto& row = rows[static_cast<size_t>(level)];
                    row.assign(n + vek::png::kUnfilterPadding + 1, 0xA5);
                    EXPECT_TRUE(vek::png::unfilter(in.data(), prev.data(), row.data(), n, bpp, level));
                    EXPECT_EQ(0xA5, row.back());
                    row.resize(n);
                    EXPECT_EQ(rows[0], row) << "filter " << int(filter) << ", " << bpp << " bytes a pixel, " << pixels
                                            << ", " << simd::nameOf(level);
                }
                // Up and None need nothing to their left: the first bytes say they were applied.
                if (filter == 2) {
                    EXPECT_EQ(static_cast<uint8_t>(in[1] + prev[0]), rows[0][0]);
                }
            }
    const uint8_t bad[2] = {5, 0}, zero[16] = {};
    uint8_t out[16];
    EXPECT_FALSE(vek::png::unfilter(bad, zero, out, 1, 1, simd::detect()));
}

} // namespace
