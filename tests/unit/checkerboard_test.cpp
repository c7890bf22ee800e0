#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "imaging/checkerboard.h"

namespace {

// The compositing rule written as plainly as it is stated, with a real division.
void referenceComposite(std::vector<uint8_t>& p, int width, int height) {
    if (width <= 0 || height <= 0) return;
    const int r0 = 16 - (height & 15);
    size_t index = 0;
    for (int row = r0; row < r0 + height; ++row) {
        for (int c = 0; c < width; ++c, ++index) {
            uint8_t* px = &p[index * 4];
            const int a = px[3];
            if (a == 255) continue;
            const int shade = ((row ^ c) & 8) ? 255 : 204;
            for (int k = 0; k < 3; ++k)
                px[k] = static_cast<uint8_t>(a == 0 ? shade : (px[k] * a + (255 - a) * shade) / 255);
        }
    }
}

std::vector<uint8_t> filled(int width, int height, uint8_t b, uint8_t g, uint8_t r, uint8_t a) {
    std::vector<uint8_t> p(static_cast<size_t>(width) * height * 4);
    for (size_t i = 0; i < p.size(); i += 4) {
        p[i] = b;
        p[i + 1] = g;
        p[i + 2] = r;
        p[i + 3] = a;
    }
    return p;
}

const uint8_t* at(const std::vector<uint8_t>& p, int width, int memoryRow, int column) {
    return &p[(static_cast<size_t>(memoryRow) * width + column) * 4];
}

TEST(Checkerboard, BlendMatchesTheIntegerDivisionForEveryInput) {
    for (uint32_t shade : {204u, 255u})
        for (uint32_t alpha = 0; alpha < 256; ++alpha)
            for (uint32_t channel = 0; channel < 256; ++channel)
                ASSERT_EQ(imaging::blendOverShade(channel, alpha, shade),
                          (channel * alpha + (255 - alpha) * shade) / 255)
                    << "channel " << channel << " alpha " << alpha << " shade " << shade;
}

TEST(Checkerboard, NothingHappensWithoutAPicture) {
    for (auto [w, h] : {std::pair{0, 4}, {4, 0}, {-1, 4}, {4, -3}, {-5, -5}}) {
        auto p = filled(4, 4, 1, 2, 3, 0);
        const auto before = p;
        CheckerboardComposite(p.data(), w, h);
        EXPECT_EQ(p, before) << w << " x " << h;
    }
    CheckerboardComposite(nullptr, 4, 4); // no picture at all: refused, not a fault
}

TEST(Checkerboard, OnePixelFullyTransparentBecomesWhite) {
    auto p = filled(1, 1, 9, 8, 7, 0);
    CheckerboardComposite(p.data(), 1, 1);
    EXPECT_EQ(p, (std::vector<uint8_t>{255, 255, 255, 0}));
}

TEST(Checkerboard, SixteenSquareGivesFourSquaresWhiteAtTopLeft) {
    auto p = filled(16, 16, 0, 0, 0, 0);
    CheckerboardComposite(p.data(), 16, 16);
    // Rows are stored bottom-up: memory row 15 is the top row as displayed.
    EXPECT_EQ(at(p, 16, 15, 0)[0], 255);
    EXPECT_EQ(at(p, 16, 15, 8)[0], 204);
    EXPECT_EQ(at(p, 16, 0, 0)[0], 204);
    EXPECT_EQ(at(p, 16, 0, 8)[0], 255);
    EXPECT_EQ(at(p, 16, 8, 7)[0], 255);
    EXPECT_EQ(at(p, 16, 7, 7)[0], 204);
    for (size_t i = 3; i < p.size(); i += 4) ASSERT_EQ(p[i], 0) << "alpha changed";
}

TEST(Checkerboard, HeightTwentyStillStartsWhiteAtTheTopLeft) {
    auto p = filled(16, 20, 0, 0, 0, 0);
    CheckerboardComposite(p.data(), 16, 20);
    for (int row = 12; row < 20; ++row) EXPECT_EQ(at(p, 16, row, 0)[0], 255) << "top band, row " << row;
    for (int row = 4; row < 12; ++row) EXPECT_EQ(at(p, 16, row, 0)[0], 204) << "second band, row " << row;
    for (int row = 0; row < 4; ++row) {
        EXPECT_EQ(at(p, 16, row, 0)[0], 255) << "third band starts as the first, row " << row;
        EXPECT_EQ(at(p, 16, row, 8)[0], 204) << "row " << row;
    }
}

TEST(Checkerboard, HandComputedBlends) {
    struct Case {
        int column; // in a 16-wide, 16-high picture's top row: 0 is over white, 8 over grey
        std::vector<uint8_t> in;
        std::vector<uint8_t> out;
    };
    const Case cases[] = {
        {0, {0, 0, 255, 128}, {127, 127, 255, 128}}, {8, {0, 0, 255, 128}, {101, 101, 229, 128}},
        {8, {0, 0, 0, 1}, {203, 203, 203, 1}},       {8, {10, 20, 30, 255}, {10, 20, 30, 255}},
        {0, {10, 20, 30, 0}, {255, 255, 255, 0}},    {8, {10, 20, 30, 0}, {204, 204, 204, 0}},
    };
    for (const Case& c : cases) {
        auto p = filled(16, 16, 0, 0, 0, 255);
        std::copy(c.in.begin(), c.in.end(), p.begin() + (15 * 16 + c.column) * 4);
        CheckerboardComposite(p.data(), 16, 16);
        const uint8_t* px = at(p, 16, 15, c.column);
        EXPECT_EQ(std::vector<uint8_t>(px, px + 4), c.out) << "column " << c.column;
    }
}

class CheckerboardKernel : public ::testing::TestWithParam<simd::Level> {};

// Random pixels with runs of opaque and of fully transparent ones, so that every kernel's fast
// paths and its blend are all exercised.
std::vector<uint8_t> randomPicture(std::mt19937& random, int w, int h) {
    std::vector<uint8_t> p(static_cast<size_t>(w) * h * 4);
    for (auto& b : p) b = static_cast<uint8_t>(random());
    const size_t pixels = p.size() / 4;
    for (size_t i = 0; i < pixels; ++i) {
        const size_t run = (i / 8) % 5;
        if (run == 1) p[i * 4 + 3] = 255;
        if (run == 2) p[i * 4 + 3] = 0;
    }
    return p;
}

TEST_P(CheckerboardKernel, MatchesThePlainRuleOnRandomPicturesOfAwkwardSizes) {
    if (GetParam() > simd::detect()) GTEST_SKIP() << "not on this processor";
    std::mt19937 random(7);
    for (auto [w, h] : {std::pair{37, 23}, {1, 40}, {40, 1}, {8, 8}, {17, 33}, {100, 3}, {256, 20}, {7, 7}}) {
        auto p = randomPicture(random, w, h);
        auto expected = p;
        referenceComposite(expected, w, h);
        imaging::checkerboardCompositeWith(GetParam(), p.data(), w, h);
        EXPECT_EQ(p, expected) << w << " x " << h;
    }
}

TEST_P(CheckerboardKernel, EveryChannelAndAlphaOverBothShades) {
    if (GetParam() > simd::detect()) GTEST_SKIP() << "not on this processor";
    // One row of 256 x 256 pixels per shade pair: every channel value against every alpha.
    const int w = 256 * 16;
    for (int h : {16, 8}) {
        std::vector<uint8_t> p(static_cast<size_t>(w) * h * 4);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                uint8_t* px = &p[(static_cast<size_t>(y) * w + x) * 4];
                px[0] = static_cast<uint8_t>(x);
                px[1] = static_cast<uint8_t>(x + y);
                px[2] = static_cast<uint8_t>(255 - x);
                px[3] = static_cast<uint8_t>(x / 16 + y);
            }
        auto expected = p;
        referenceComposite(expected, w, h);
        imaging::checkerboardCompositeWith(GetParam(), p.data(), w, h);
        EXPECT_EQ(p, expected) << "height " << h;
    }
}

INSTANTIATE_TEST_SUITE_P(AllKernels, CheckerboardKernel,
                         ::testing::Values(simd::Level::Scalar, simd::Level::Sse2, simd::Level::Ssse3,
                                           simd::Level::Avx2),
                         [](const auto& param) { return std::string(simd::nameOf(param.param)); });

TEST(Checkerboard, TheChosenKernelMatchesThePlainRule) {
    std::mt19937 random(11);
    auto p = randomPicture(random, 61, 29);
    auto expected = p;
    referenceComposite(expected, 61, 29);
    CheckerboardComposite(p.data(), 61, 29);
    EXPECT_EQ(p, expected);
}

} // namespace
