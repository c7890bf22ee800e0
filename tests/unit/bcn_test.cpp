// Strips of BC1 and BC3 blocks, whichever path the machine takes for them, against the one-block
// decoders, on random blocks of both modes and on the blocks where the modes meet.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <random>
#include <vector>

#include "libvek/formats/bcn.h"

namespace {

using vek::bcn::Codec;

std::vector<uint8_t> randomBlocks(size_t count, size_t bytes, uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<uint8_t> data(count * bytes);
    for (uint8_t& b : data) b = static_cast<uint8_t>(random());
    // Every few blocks, endpoints equal or ordered the other way round.
    for (size_t i = 0; i < count; ++i) {
        uint8_t* block = &data[i * bytes];
        uint8_t* colour = bytes == 16 ? block + 8 : block;
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
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << (c.codec == Codec::Bc1 ? "BC1 " : "BC3 ") << c.width << " wide, " << c.rowCount << " rows";
}

class StripTest : public ::testing::TestWithParam<Case> {};

TEST_P(StripTest, MatchesOneBlockDecoder) {
    const Case c = GetParam();
    const size_t bytes = vek::bcn::blockBytes(c.codec);
    const uint32_t across = (c.width + 3) / 4;
    const std::vector<uint8_t> blocks = randomBlocks(across, bytes, c.width * 7 + c.rowCount);
    // A guard byte after each row catches a write past the picture's width.
    std::vector<std::vector<uint8_t>> picture(c.rowCount, std::vector<uint8_t>(c.width * 4 + 1, 0xA5));
    uint8_t* rows[4] = {};
    for (uint32_t y = 0; y < c.rowCount; ++y) rows[y] = picture[y].data();
    vek::bcn::decodeStrip(c.codec, blocks.data(), across, rows, c.rowCount, c.width, false);

    for (uint32_t bx = 0; bx < across; ++bx) {
        uint32_t expected[16];
        if (c.codec == Codec::Bc1)
            vek::bcn::decodeBc1(&blocks[bx * bytes], expected, true);
        else
            vek::bcn::decodeBc3(&blocks[bx * bytes], expected);
        for (uint32_t y = 0; y < c.rowCount; ++y)
            for (uint32_t x = bx * 4; x < std::min(c.width, bx * 4 + 4); ++x) {
                uint32_t got;
                std::memcpy(&got, &picture[y][x * 4], 4);
                ASSERT_EQ(got, expected[y * 4 + x - bx * 4]) << "block " << bx << ", row " << y << ", column " << x;
            }
    }
    for (uint32_t y = 0; y < c.rowCount; ++y) EXPECT_EQ(picture[y][c.width * 4], 0xA5) << "row " << y;
}

INSTANTIATE_TEST_SUITE_P(Strips, StripTest,
                         ::testing::Values(Case{Codec::Bc1, 4096, 4}, Case{Codec::Bc3, 4096, 4}, Case{Codec::Bc1, 13, 4},
                                           Case{Codec::Bc3, 13, 4}, Case{Codec::Bc1, 3, 4}, Case{Codec::Bc3, 2, 4},
                                           Case{Codec::Bc1, 20, 3}, Case{Codec::Bc3, 21, 1}));

} // namespace
