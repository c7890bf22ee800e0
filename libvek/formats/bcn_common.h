// What the block decoders share: a reader of a block's bits, the partition and weight tables of
// BC6H and BC7, the strip loop each family instantiates with its block decoder, and the vector
// kernels' entry points.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "libvek/base/bytes.h"
#include "libvek/formats/bcn.h"

namespace vek::bcn::detail {

// Bits of a 128-bit block, least significant first, up to 32 at a read.
class BitReader {
public:
    explicit BitReader(const uint8_t* block)
        : low_(loadU32le(block) | (uint64_t{loadU32le(block + 4)} << 32)),
          high_(loadU32le(block + 8) | (uint64_t{loadU32le(block + 12)} << 32)) {}
    unsigned read(unsigned n) {
        if (n == 0) return 0;
        const uint64_t v = peek64();
        position_ += n;
        return static_cast<unsigned>(v & ((uint64_t{1} << n) - 1));
    }
    unsigned bit() { return read(1); }
    // The next 64 bits (fewer at the block's end, zero-filled), without consuming them.
    uint64_t peek64() const { return from(position_); }
    // The same from an absolute position.
    uint64_t from64(unsigned position) const { return from(position); }
    void skip(unsigned n) { position_ += n; }
    // n bits (at most 32) from an absolute position, without moving.
    unsigned at(unsigned position, unsigned n) const {
        return static_cast<unsigned>(from(position) & ((uint64_t{1} << n) - 1));
    }

private:
    uint64_t from(unsigned position) const {
        if (position == 0) return low_;
        if (position < 64) return (low_ >> position) | (high_ << (64 - position));
        return position < 128 ? high_ >> (position - 64) : 0;
    }

    uint64_t low_, high_;
    unsigned position_ = 0;
};

// Partition tables shared by BC6H and BC7: for two subsets one bit a pixel, for three two bits.
inline constexpr uint16_t kPartition2[64] = {
    0xcccc, 0x8888, 0xeeee, 0xecc8, 0xc880, 0xfeec, 0xfec8, 0xec80, 0xc800, 0xffec, 0xfe80, 0xe800, 0xffe8,
    0xff00, 0xfff0, 0xf000, 0xf710, 0x008e, 0x7100, 0x08ce, 0x008c, 0x7310, 0x3100, 0x8cce, 0x088c, 0x3110,
    0x6666, 0x366c, 0x17e8, 0x0ff0, 0x718e, 0x399c, 0xaaaa, 0xf0f0, 0x5a5a, 0x33cc, 0x3c3c, 0x55aa, 0x9696,
    0xa55a, 0x73ce, 0x13c8, 0x324c, 0x3bdc, 0x6996, 0xc33c, 0x9966, 0x0660, 0x0272, 0x04e4, 0x4e40, 0x2720,
    0xc936, 0x936c, 0x39c6, 0x639c, 0x9336, 0x9cc6, 0x817e, 0xe718, 0xccf0, 0x0fcc, 0x7744, 0xee22,
};
inline constexpr uint32_t kPartition3[64] = {
    0xaa685050, 0x6a5a5040, 0x5a5a4200, 0x5450a0a8, 0xa5a50000, 0xa0a05050, 0x5555a0a0, 0x5a5a5050,
    0xaa550000, 0xaa555500, 0xaaaa5500, 0x90909090, 0x94949494, 0xa4a4a4a4, 0xa9a59450, 0x2a0a4250,
    0xa5945040, 0x0a425054, 0xa5a5a500, 0x55a0a0a0, 0xa8a85454, 0x6a6a4040, 0xa4a45000, 0x1a1a0500,
    0x0050a4a4, 0xaaa59090, 0x14696914, 0x69691400, 0xa08585a0, 0xaa821414, 0x50a4a450, 0x6a5a0200,
    0xa9a58000, 0x5090a0a8, 0xa8a09050, 0x24242424, 0x00aa5500, 0x24924924, 0x24499224, 0x50a50a50,
    0x500aa550, 0xaaaa4444, 0x66660000, 0xa5a0a5a0, 0x50a050a0, 0x69286928, 0x44aaaa44, 0x66666600,
    0xaa444444, 0x54a854a8, 0x95809580, 0x96969600, 0xa85454a8, 0x80959580, 0xaa141414, 0x96960000,
    0xaaaa1414, 0xa05050a0, 0xa0a5a5a0, 0x96000000, 0x40804080, 0xa9a8a9a8, 0xaaaaaa44, 0x2a4a5254,
};
// The pixel whose index loses its top bit, per subset after the first (whose anchor is pixel 0).
inline constexpr uint8_t kAnchor2[64] = {
    15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 2,  8, 2,  2, 8,
    8,  15, 2,  8,  2,  2,  8,  8,  2,  2,  15, 15, 6,  8,  2,  8,  15, 15, 2, 8,  2, 2,
    2,  15, 15, 6,  6,  2,  6,  8,  15, 15, 2,  2,  15, 15, 15, 15, 15, 2,  2, 15,
};
inline constexpr uint8_t kAnchor3Second[64] = {
    3, 3,  15, 15, 8, 3,  15, 15, 8,  8, 6,  6, 6,  5,  3,  3,  3, 3,  8, 15, 3, 3, 6, 10, 5, 8,  8, 6,  8,  5,  15, 15,
    8, 15, 3,  5,  6, 10, 8,  15, 15, 3, 15, 5, 15, 15, 15, 15, 3, 15, 5, 5,  5, 8, 5, 10, 5, 10, 8, 13, 15, 12, 3,  3,
};
inline constexpr uint8_t kAnchor3Third[64] = {
    15, 8, 8, 3,  15, 15, 3,  8,  15, 15, 15, 15, 15, 15, 15, 8,  15, 8,  15, 3,  15, 8,
    15, 8, 3, 15, 6,  10, 15, 15, 10, 8,  15, 3,  15, 10, 10, 8,  9,  10, 6,  15, 8,  15,
    3,  6, 6, 8,  15, 3,  15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 3,  15, 15, 8,
};

inline constexpr int kWeights2[4] = {0, 21, 43, 64};
inline constexpr int kWeights3[8] = {0, 9, 18, 27, 37, 46, 55, 64};
inline constexpr int kWeights4[16] = {0, 4, 9, 13, 17, 21, 26, 30, 34, 38, 43, 47, 51, 55, 60, 64};

constexpr const int* weightsFor(unsigned bits) { return bits == 2 ? kWeights2 : bits == 3 ? kWeights3 : kWeights4; }

// Per count of subsets and partition: each pixel's subset in two bits (pixel i at bit 2i), and the
// anchor pixels as a mask, so that neither takes a branch per pixel.
// The anchors are also listed as pixels in ascending order, 16 for none, for spreadAnchors.
struct PartitionTables {
    uint32_t subsets[3][64];
    uint16_t anchors[3][64];
    uint8_t anchorPixels[3][64][3];
};
constexpr PartitionTables makePartitionTables() {
    PartitionTables t{};
    for (unsigned p = 0; p < 64; ++p) {
        t.anchors[0][p] = 1;
        for (unsigned i = 0; i < 16; ++i) t.subsets[1][p] |= ((kPartition2[p] >> i) & 1u) << (2 * i);
        t.anchors[1][p] = static_cast<uint16_t>(1u | (1u << kAnchor2[p]));
        t.subsets[2][p] = kPartition3[p];
        t.anchors[2][p] = static_cast<uint16_t>(1u | (1u << kAnchor3Second[p]) | (1u << kAnchor3Third[p]));
        for (unsigned subsets = 0; subsets < 3; ++subsets) {
            unsigned n = 0;
            for (unsigned i = 0; i < 16; ++i)
                if ((t.anchors[subsets][p] >> i) & 1u) t.anchorPixels[subsets][p][n++] = static_cast<uint8_t>(i);
            while (n < 3) t.anchorPixels[subsets][p][n++] = 16;
        }
    }
    return t;
}
inline constexpr PartitionTables kPartitions = makePartitionTables();

// A set of sixteen indices as stored, n bits each but one bit fewer at each anchor pixel (whose top
// bit is 0), spread to n bits each: pixel i at bit n x i. At most 64 bits. The anchors come as
// anchorPixels lists them: three steps whatever their number, so that blocks of mixed modes take no
// branch on it (a step for "none" leaves the word as it is).
inline uint64_t spreadAnchors(uint64_t stored, unsigned n, const uint8_t (&pixels)[3]) {
#pragma GCC unroll 3
    for (const unsigned pixel : pixels) {
        // Pixel 16 keeps every bit: its top bit's place, masked to the word, is ignored.
        const uint64_t below =
            ((uint64_t{1} << ((pixel * n + n - 1) & 63)) - 1) | (uint64_t{0} - static_cast<uint64_t>(pixel >> 4));
        stored = (stored & below) | ((stored & ~below) << 1);
    }
    return stored;
}
// Pixel 0 alone: the anchors of one subset, and of BC7's second index set.
inline constexpr const uint8_t (&kFirstPixelOnly)[3] = kPartitions.anchorPixels[0][0];

// BC7's eight modes: their subsets and the widths of their fields.
struct Bc7Mode {
    unsigned subsets, partitionBits, rotationBits, selectorBits, colourBits, alphaBits, endpointPBits, sharedPBits,
        indexBits, secondIndexBits;
};
constexpr Bc7Mode kBc7Modes[8] = {
    {3, 4, 0, 0, 4, 0, 1, 0, 3, 0}, {2, 6, 0, 0, 6, 0, 0, 1, 3, 0}, {3, 6, 0, 0, 5, 0, 0, 0, 2, 0},
    {2, 6, 0, 0, 7, 0, 1, 0, 2, 0}, {1, 0, 2, 1, 5, 6, 0, 0, 2, 3}, {1, 0, 2, 0, 7, 8, 0, 0, 2, 2},
    {1, 0, 0, 0, 7, 7, 1, 0, 4, 0}, {2, 6, 0, 0, 5, 5, 1, 0, 2, 0},
};

// One strip, from block `from` on, with the block decoder fixed at compile time, so that it is
// inlined into the loop.
template <typename Decode> inline void strip(Decode decode, size_t bytes, const uint8_t* in, uint32_t across,
                                             uint8_t* const* rows, uint32_t rowCount, uint32_t width, bool grey,
                                             uint32_t from) {
    uint32_t block[16];
    in += from * bytes;
    for (uint32_t bx = from; bx < across; ++bx, in += bytes) {
        decode(in, block);
        // Blocks reach past sizes that are not multiples of 4; those pixels are dropped.
        const uint32_t columns = std::min<uint32_t>(4, width - bx * 4);
        for (uint32_t y = 0; y < rowCount; ++y) {
            if (grey) {
                for (uint32_t x = 0; x < columns; ++x) rows[y][bx * 4 + x] = static_cast<uint8_t>(block[y * 4 + x]);
            } else if (columns == 4) {
                std::memcpy(rows[y] + static_cast<size_t>(bx) * 16, block + y * 4, 16);
            } else {
                std::memcpy(rows[y] + static_cast<size_t>(bx) * 16, block + y * 4, columns * 4);
            }
        }
    }
}

// The strips of one family, from its own file, where the block decoder is inlined into the loop.
void stripBc1To5(Codec codec, const uint8_t* in, uint32_t across, uint8_t* const* rows, uint32_t rowCount,
                 uint32_t width, bool grey, simd::Level kernels);
void stripBc6h(Codec codec, const uint8_t* in, uint32_t across, uint8_t* const* rows, uint32_t rowCount, uint32_t width,
               bool grey, simd::Level kernels);
void stripBc7(const uint8_t* in, uint32_t across, uint8_t* const* rows, uint32_t rowCount, uint32_t width, bool grey,
              simd::Level kernels);

// The vector kernels, taken at SSSE3 and above.
// Whole blocks of a whole strip of four rows: BC1, BC2, BC3 and unsigned BC5 as BGRA, unsigned BC4
// as grey bytes.
void stripBc1Vector(const uint8_t* in, uint32_t blocks, uint8_t* const* rows);
void stripBc2Vector(const uint8_t* in, uint32_t blocks, uint8_t* const* rows);
void stripBc3Vector(const uint8_t* in, uint32_t blocks, uint8_t* const* rows);
void stripBc4GreyVector(const uint8_t* in, uint32_t blocks, uint8_t* const* rows);
void stripBc5Vector(const uint8_t* in, uint32_t blocks, uint8_t* const* rows);
// BC7's pixels from endpoint bytes (per subset blue, green, red, alpha at 4 x subset), subsets in two
// bits a pixel, and per pixel a colour index and an alpha index of the widths given (spread, pixel i
// at bits x i), into four rows at byte `at`.
// Whole BC7 blocks of a whole strip of four rows, the mode read at run time (AVX2).
void stripBc7Avx2(const uint8_t* in, uint32_t blocks, uint8_t* const* rows);
void mixBc7(const uint8_t (&ends)[2][16], uint32_t subsetMap, uint64_t colourIndices, unsigned colourIndexBits,
            uint64_t alphaIndices, unsigned alphaIndexBits, unsigned rotation, uint8_t* const* rows, size_t at);

} // namespace vek::bcn::detail
