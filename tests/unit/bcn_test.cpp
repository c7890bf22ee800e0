// The BCn decoders' vector paths against their scalar ones, on random blocks of every mode and on
// blocks where the modes meet, in whole and cut-short strips.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <random>
#include <vector>

#include "libvek/formats/bcn.h"
#include "support/simd.h"

namespace {

using vek::bcn::Codec;

std::vector<uint8_t> randomBlocks(Codec codec, size_t count, uint32_t seed) {
    const size_t bytes = vek::bcn::blockBytes(codec);
    std::mt19937 random(seed);
    std::vector<uint8_t> data(count * bytes);
    for (uint8_t& b : data) b = static_cast<uint8_t>(random());
    for (size_t i = 0; i < count; ++i) {
        uint8_t* block = &data[i * bytes];
        if (codec == Codec::Bc7) {
            // Each of the eight modes (the lowest set bit of the first byte), and now and then the
            // reserved ninth.
            const unsigned mode = i % 9;
            block[0] = mode == 8 ? 0 : static_cast<uint8_t>((1u << mode) | ((block[0] << (mode + 1)) & 0xFF));
            continue;
        }
        // Every few blocks, endpoints equal or ordered the other way round.
        uint8_t* colour = codec == Codec::Bc3 || codec == Codec::Bc2 || codec == Codec::Bc5 ? block + 8 : block;
        switch (i % 5) {
        case 1: std::memcpy(colour + 2, colour, 2); break;
        case 2: block[1] = block[0]; break;
        case 3: std::swap(colour[0], colour[2]), std::swap(colour[1], colour[3]); break;
        case 4: block[0] = 0, block[1] = 255; break;
        }
    }
    return data;
}

struct Case {
    Codec codec;
    uint32_t width, rowCount;
    bool grey = false; // one byte a pixel, as BC4 loads
};

void PrintTo(const Case& c, std::ostream* os) {
    const char* names[] = {"BC1", "BC2", "BC3", "BC4", "BC4 signed", "BC5", "BC5 signed", "BC6H", "BC6H signed", "BC7"};
    *os << names[static_cast<int>(c.codec)] << (c.grey ? " as grey, " : ", ") << c.width << " wide, " << c.rowCount
        << " rows";
}

// A strip decoded into rows with a guard byte after each, which must survive.
std::vector<std::vector<uint8_t>> decode(const Case& c, const std::vector<uint8_t>& blocks, simd::Level kernels) {
    const uint32_t bytes = c.grey ? 1 : 4;
    std::vector<std::vector<uint8_t>> picture(c.rowCount, std::vector<uint8_t>(c.width * bytes + 1, 0xA5));
    uint8_t* rows[4] = {};
    for (uint32_t y = 0; y < c.rowCount; ++y) rows[y] = picture[y].data();
    vek::bcn::decodeStrip(c.codec, blocks.data(), (c.width + 3) / 4, rows, c.rowCount, c.width, c.grey, kernels);
    return picture;
}

class StripTest : public ::testing::TestWithParam<Case> {};

TEST_P(StripTest, EveryLevelAgreesWithScalar) {
    const Case c = GetParam();
    const std::vector<uint8_t> blocks = randomBlocks(c.codec, (c.width + 3) / 4, c.width * 7 + c.rowCount);
    const auto scalar = decode(c, blocks, simd::Level::Scalar);
    const uint32_t bytes = c.grey ? 1 : 4;
    for (simd::Level level : simd::runnable()) {
        const auto vector = decode(c, blocks, level);
        for (uint32_t y = 0; y < c.rowCount; ++y) {
            EXPECT_EQ(vector[y][c.width * bytes], 0xA5) << "row " << y << ", " << simd::nameOf(level);
            for (uint32_t x = 0; x < c.width; ++x)
                ASSERT_EQ(0, std::memcmp(&vector[y][x * bytes], &scalar[y][x * bytes], bytes))
                    << "row " << y << ", column " << x << ", " << simd::nameOf(level);
        }
    }
}

// Every codec with a vector path, in whole strips, with a last block cut short, and in strips of
// fewer than four rows (which take the scalar path throughout).
std::vector<Case> cases() {
    std::vector<Case> out;
    for (const auto& [codec, grey] : {std::pair{Codec::Bc1, false},
                                      {Codec::Bc2, false},
                                      {Codec::Bc3, false},
                                      {Codec::Bc4, true},
                                      {Codec::Bc5, false},
                                      {Codec::Bc6h, false},
                                      {Codec::Bc6hSigned, false},
                                      {Codec::Bc7, false}})
        for (const auto& [width, rows] :
             {std::pair{4096u, 4u}, {29u, 4u}, {13u, 4u}, {3u, 4u}, {2u, 4u}, {20u, 3u}, {21u, 1u}})
            out.push_back({codec, width, rows, grey});
    return out;
}

INSTANTIATE_TEST_SUITE_P(Strips, StripTest, ::testing::ValuesIn(cases()));

} // namespace
