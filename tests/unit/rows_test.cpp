// The row kernels' vector paths against their scalar loops, at widths around each vector step, with
// a guard byte after the row that must survive.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "libvek/core/rows.h"
#include "support/simd.h"

namespace {

using Kernel = void (*)(const uint8_t*, uint8_t*, size_t);
struct Row {
    const char* name;
    Kernel kernel;
    size_t inBytes; // a pixel's bytes in
};
const Row kRows[] = {{"bgr", vek::rows::bgrToBgra, 3},
                     {"rgb", vek::rows::rgbToBgra, 3},
                     {"rgba", vek::rows::rgbaToBgra, 4},
                     {"grey", vek::rows::greyToBgra, 1}};

std::vector<uint8_t> run(const Row& r, const std::vector<uint8_t>& in, size_t width, bool vector) {
    std::vector<uint8_t> out(width * 4 + 1, 0xA5);
    simd::allowVectors(vector);
    r.kernel(in.data(), out.data(), width);
    simd::allowVectors(true);
    return out;
}

TEST(RowKernels, VectorAndScalarAgreeAtEveryTail) {
    std::mt19937 random(7);
    for (const Row& r : kRows)
        for (size_t width : {0, 1, 3, 4, 15, 16, 17, 31, 32, 33, 47, 63, 64, 65, 1001}) {
            std::vector<uint8_t> in(width * r.inBytes);
            for (uint8_t& b : in) b = static_cast<uint8_t>(random());
            const auto vector = run(r, in, width, true), scalar = run(r, in, width, false);
            EXPECT_EQ(vector, scalar) << r.name << ", " << width << " wide";
            EXPECT_EQ(0xA5, vector.back()) << r.name << ", " << width << " wide";
            // The scalar loop itself: the first pixel's blue is where the form puts it.
            if (width > 0) {
                EXPECT_EQ(r.name[0] == 'r' ? in[2] : in[0], scalar[0]) << r.name;
            }
        }
}

TEST(RowKernels, RgbaSwapsInPlace) {
    std::vector<uint8_t> p = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
    vek::rows::rgbaToBgra(p.data(), p.data(), 5);
    EXPECT_EQ((std::vector<uint8_t>{3, 2, 1, 4, 7, 6, 5, 8, 11, 10, 9, 12, 15, 14, 13, 16, 19, 18, 17, 20}), p);
}

} // namespace
