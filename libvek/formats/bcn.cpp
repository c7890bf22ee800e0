#include "libvek/formats/bcn.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "libvek/core/bytes.h"
#include "libvek/core/pixels.h"

#if defined(__x86_64__) || defined(__i386__)
#include <tmmintrin.h>
#endif

namespace vek::bcn {
namespace {

void rgb565(uint16_t v, unsigned* rgb) {
    rgb[0] = expand5((v >> 11) & 31);
    rgb[1] = expand6((v >> 5) & 63);
    rgb[2] = expand5(v & 31);
}

// The four colours of the colour half shared by BC1, BC2 and BC3, as BGRA words. Interpolated
// colours truncate, as most decoders do.
inline void colourPalette(const uint8_t* block, uint32_t* palette, bool threeColourMode) {
    const uint16_t c0 = loadU16le(block), c1 = loadU16le(block + 2);
    unsigned e[2][3];
    rgb565(c0, e[0]);
    rgb565(c1, e[1]);
    const bool four = !threeColourMode || c0 > c1;
    palette[0] = bgraWord(e[0][0], e[0][1], e[0][2], 255);
    palette[1] = bgraWord(e[1][0], e[1][1], e[1][2], 255);
    if (four) {
        palette[2] = bgraWord((2 * e[0][0] + e[1][0]) / 3, (2 * e[0][1] + e[1][1]) / 3, (2 * e[0][2] + e[1][2]) / 3, 255);
        palette[3] = bgraWord((e[0][0] + 2 * e[1][0]) / 3, (e[0][1] + 2 * e[1][1]) / 3, (e[0][2] + 2 * e[1][2]) / 3, 255);
    } else {
        palette[2] = bgraWord((e[0][0] + e[1][0]) / 2, (e[0][1] + e[1][1]) / 2, (e[0][2] + e[1][2]) / 2, 255);
        palette[3] = 0;  // punch-through: the fourth colour is transparent black
    }
}

// Eight values from two endpoints and 3-bit indices: BC3's alpha and BC4/BC5's channels. Returns
// the 48 index bits; palette gets the eight values.
uint64_t valueBlock(const uint8_t* block, int* palette, bool isSigned) {
    int e0 = isSigned ? static_cast<int8_t>(block[0]) : block[0];
    int e1 = isSigned ? static_cast<int8_t>(block[1]) : block[1];
    if (isSigned) {
        // -128 stands for -127 in signed blocks.
        if (e0 == -128) e0 = -127;
        if (e1 == -128) e1 = -127;
    }
    palette[0] = e0;
    palette[1] = e1;
    if (e0 > e1) {
        for (int i = 1; i < 7; ++i) palette[i + 1] = ((7 - i) * e0 + i * e1) / 7;
    } else {
        for (int i = 1; i < 5; ++i) palette[i + 1] = ((5 - i) * e0 + i * e1) / 5;
        palette[6] = isSigned ? -127 : 0;
        palette[7] = isSigned ? 127 : 255;
    }
    uint64_t bits = 0;
    for (int i = 0; i < 6; ++i) bits |= static_cast<uint64_t>(block[2 + i]) << (8 * i);
    return bits;
}

uint8_t signedToByte(int v) { return static_cast<uint8_t>(((v + 127) * 255 + 127) / 254); }

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
constexpr uint16_t kPartition2[64] = {
    0xcccc, 0x8888, 0xeeee, 0xecc8, 0xc880, 0xfeec, 0xfec8, 0xec80, 0xc800, 0xffec, 0xfe80, 0xe800, 0xffe8,
    0xff00, 0xfff0, 0xf000, 0xf710, 0x008e, 0x7100, 0x08ce, 0x008c, 0x7310, 0x3100, 0x8cce, 0x088c, 0x3110,
    0x6666, 0x366c, 0x17e8, 0x0ff0, 0x718e, 0x399c, 0xaaaa, 0xf0f0, 0x5a5a, 0x33cc, 0x3c3c, 0x55aa, 0x9696,
    0xa55a, 0x73ce, 0x13c8, 0x324c, 0x3bdc, 0x6996, 0xc33c, 0x9966, 0x0660, 0x0272, 0x04e4, 0x4e40, 0x2720,
    0xc936, 0x936c, 0x39c6, 0x639c, 0x9336, 0x9cc6, 0x817e, 0xe718, 0xccf0, 0x0fcc, 0x7744, 0xee22,
};
constexpr uint32_t kPartition3[64] = {
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
constexpr uint8_t kAnchor2[64] = {
    15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 2,  8, 2,  2, 8,  8,  15, 2,  8,  2,  2,
    8,  8,  2,  2,  15, 15, 6,  8,  2,  8,  15, 15, 2,  8,  2,  2,  2,  15, 15, 6, 6,  2, 6,  8,  15, 15, 2,  2,
    15, 15, 15, 15, 15, 2,  2,  15,
};
constexpr uint8_t kAnchor3Second[64] = {
    3,  3,  15, 15, 8,  3,  15, 15, 8, 8,  6,  6, 6,  5,  3, 3,  3, 3, 8,  15, 3,  3,
    6,  10, 5,  8,  8,  6,  8,  5,  15, 15, 8, 15, 3,  5, 6,  10, 8, 15, 15, 3, 15, 5,
    15, 15, 15, 15, 3,  15, 5,  5,  5,  8,  5, 10, 5,  10, 8, 13, 15, 12, 3,  3,
};
constexpr uint8_t kAnchor3Third[64] = {
    15, 8,  8,  3,  15, 15, 3,  8,  15, 15, 15, 15, 15, 15, 15, 8,  15, 8,  15, 3,  15, 8,
    15, 8,  3,  15, 6,  10, 15, 15, 10, 8,  15, 3,  15, 10, 10, 8,  9,  10, 6,  15, 8,  15,
    3,  6,  6,  8,  15, 3,  15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 3,  15, 15, 8,
};

const int kWeights2[4] = {0, 21, 43, 64};
const int kWeights3[8] = {0, 9, 18, 27, 37, 46, 55, 64};
const int kWeights4[16] = {0, 4, 9, 13, 17, 21, 26, 30, 34, 38, 43, 47, 51, 55, 60, 64};

const int* weightsFor(unsigned bits) { return bits == 2 ? kWeights2 : bits == 3 ? kWeights3 : kWeights4; }

// Per count of subsets and partition: each pixel's subset in two bits (pixel i at bit 2i), and the
// anchor pixels as a mask, so that neither takes a branch per pixel.
struct PartitionTables {
    uint32_t subsets[3][64];
    uint16_t anchors[3][64];
};
constexpr PartitionTables makePartitionTables() {
    PartitionTables t{};
    for (unsigned p = 0; p < 64; ++p) {
        t.anchors[0][p] = 1;
        for (unsigned i = 0; i < 16; ++i) t.subsets[1][p] |= ((kPartition2[p] >> i) & 1u) << (2 * i);
        t.anchors[1][p] = static_cast<uint16_t>(1u | (1u << kAnchor2[p]));
        t.subsets[2][p] = kPartition3[p];
        t.anchors[2][p] = static_cast<uint16_t>(1u | (1u << kAnchor3Second[p]) | (1u << kAnchor3Third[p]));
    }
    return t;
}
constexpr PartitionTables kPartitions = makePartitionTables();

struct Bc7Mode {
    unsigned subsets, partitionBits, rotationBits, selectorBits, colourBits, alphaBits, endpointPBits,
        sharedPBits, indexBits, secondIndexBits;
};
constexpr Bc7Mode kBc7Modes[8] = {
    {3, 4, 0, 0, 4, 0, 1, 0, 3, 0}, {2, 6, 0, 0, 6, 0, 0, 1, 3, 0}, {3, 6, 0, 0, 5, 0, 0, 0, 2, 0},
    {2, 6, 0, 0, 7, 0, 1, 0, 2, 0}, {1, 0, 2, 1, 5, 6, 0, 0, 2, 3}, {1, 0, 2, 0, 7, 8, 0, 0, 2, 2},
    {1, 0, 0, 0, 7, 7, 1, 0, 4, 0}, {2, 6, 0, 0, 5, 5, 1, 0, 2, 0},
};

unsigned expandBits(unsigned v, unsigned bits) { return bits >= 8 ? v : (v << (8 - bits)) | (v >> (2 * bits - 8)); }

unsigned interpolate(unsigned e0, unsigned e1, int weight) {
    return static_cast<unsigned>(((64 - weight) * static_cast<int>(e0) + weight * static_cast<int>(e1) + 32) >> 6);
}

} // namespace

void decodeBc1(const uint8_t* block, uint32_t* bgra, bool punchThrough) {
    uint32_t palette[4];
    colourPalette(block, palette, punchThrough);
    uint32_t indices = loadU32le(block + 4);
    for (int i = 0; i < 16; ++i, indices >>= 2) bgra[i] = palette[indices & 3];
}

void decodeBc2(const uint8_t* block, uint32_t* bgra) {
    uint32_t palette[4];
    colourPalette(block + 8, palette, false);
    uint64_t alpha = loadU32le(block) | (uint64_t{loadU32le(block + 4)} << 32);
    uint32_t indices = loadU32le(block + 12);
    for (int i = 0; i < 16; ++i, alpha >>= 4, indices >>= 2)
        bgra[i] = (palette[indices & 3] & 0x00FFFFFFu) | (static_cast<uint32_t>((alpha & 15) * 17) << 24);
}

void decodeBc3(const uint8_t* block, uint32_t* bgra) {
    // The alpha half's eight values, already in place as the top byte of a word.
    const unsigned a0 = block[0], a1 = block[1];
    uint32_t alphas[8] = {a0 << 24, a1 << 24};
    if (a0 > a1) {
        for (unsigned i = 1; i < 7; ++i) alphas[i + 1] = (((7 - i) * a0 + i * a1) / 7) << 24;
    } else {
        for (unsigned i = 1; i < 5; ++i) alphas[i + 1] = (((5 - i) * a0 + i * a1) / 5) << 24;
        alphas[6] = 0;
        alphas[7] = 0xFF000000u;
    }
    uint64_t alphaIndices = loadU16le(block + 2) | (uint64_t{loadU32le(block + 4)} << 16);
    uint32_t palette[4];
    colourPalette(block + 8, palette, false);
    for (uint32_t& p : palette) p &= 0x00FFFFFFu;
    uint32_t indices = loadU32le(block + 12);
    for (int i = 0; i < 16; ++i, alphaIndices >>= 3, indices >>= 2) bgra[i] = palette[indices & 3] | alphas[alphaIndices & 7];
}

void decodeBc4(const uint8_t* block, uint32_t* bgra, bool isSigned) {
    int palette[8];
    uint64_t indices = valueBlock(block, palette, isSigned);
    uint32_t grey[8];
    for (int i = 0; i < 8; ++i) {
        const unsigned g = isSigned ? signedToByte(palette[i]) : static_cast<unsigned>(palette[i]);
        grey[i] = bgraWord(g, g, g, 255);
    }
    for (int i = 0; i < 16; ++i, indices >>= 3) bgra[i] = grey[indices & 7];
}

void decodeBc5(const uint8_t* block, uint32_t* bgra, bool isSigned) {
    int red[8], green[8];
    uint64_t r = valueBlock(block, red, isSigned);
    uint64_t g = valueBlock(block + 8, green, isSigned);
    for (int i = 0; i < 8; ++i) {
        red[i] = isSigned ? signedToByte(red[i]) : red[i];
        green[i] = isSigned ? signedToByte(green[i]) : green[i];
    }
    for (int i = 0; i < 16; ++i, r >>= 3, g >>= 3)
        bgra[i] = bgraWord(static_cast<unsigned>(red[r & 7]), static_cast<unsigned>(green[g & 7]), 0, 255);
}

namespace {

#if defined(__x86_64__) || defined(__i386__)
// BC1 and BC3, the common texture formats, with SSSE3's byte shuffles as table lookups: palettes
// built in 16-bit lanes, sixteen indices spread to bytes at once, each row of four pixels one
// shuffle of the palette. Chosen at run time; every division is an exact multiply-high for the
// ranges that occur, so the pixels are the scalar decoder's to the bit.
#define VEK_BCN_SSSE3 1

// Shuffles for the pixels of row (or group) g: its four bytes each spread over a word, the same
// without the alpha byte, and only into the alpha byte.
constexpr uint8_t kNone = 0x80;
struct RowShuffles {
    alignas(16) uint8_t spread[4][16], colour[4][16], alpha[4][16];
};
constexpr RowShuffles makeRowShuffles() {
    RowShuffles r{};
    for (int g = 0; g < 4; ++g)
        for (int i = 0; i < 16; ++i) {
            const auto pixel = static_cast<uint8_t>(4 * g + i / 4);
            r.spread[g][i] = pixel;
            r.colour[g][i] = i % 4 == 3 ? kNone : pixel;
            r.alpha[g][i] = i % 4 == 3 ? pixel : kNone;
        }
    return r;
}
constexpr RowShuffles kRows = makeRowShuffles();

// Colour palettes by mode: four colours, or (BC1 with c0 <= c1) three and transparent black.
alignas(16) constexpr uint16_t kColourWeight0[2][8] = {{2, 2, 2, 0, 1, 1, 1, 0}, {1, 1, 1, 0, 0, 0, 0, 0}};
alignas(16) constexpr uint16_t kColourWeight1[2][8] = {{1, 1, 1, 0, 2, 2, 2, 0}, {1, 1, 1, 0, 0, 0, 0, 0}};
constexpr uint16_t kColourDivide[2] = {21846, 32768};  // x/3, x/2 as (x * d) >> 16
alignas(16) constexpr uint32_t kColourAlpha[2][4] = {{0xFF000000u, 0xFF000000u, 0xFF000000u, 0xFF000000u},
                                                     {0xFF000000u, 0xFF000000u, 0xFF000000u, 0}};
// Alpha palettes by mode: a0 > a1 interpolates six values, otherwise four and then 0 and 255.
alignas(16) constexpr uint16_t kAlphaWeight0[2][8] = {{7, 0, 6, 5, 4, 3, 2, 1}, {5, 0, 4, 3, 2, 1, 0, 0}};
alignas(16) constexpr uint16_t kAlphaWeight1[2][8] = {{0, 7, 1, 2, 3, 4, 5, 6}, {0, 5, 1, 2, 3, 4, 0, 0}};
constexpr uint16_t kAlphaDivide[2] = {9363, 13108};  // x/7, x/5
alignas(16) constexpr uint16_t kAlphaTop[2][8] = {{0, 0, 0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 255}};

__attribute__((target("ssse3"))) inline __m128i load128(const void* p) {
    return _mm_loadu_si128(static_cast<const __m128i*>(p));
}

// The four palette words of a colour half: BC1's with their alpha, BC3's with alpha zero.
template <bool Bc1>
__attribute__((target("ssse3"))) inline __m128i colourPaletteVector(const uint8_t* half, bool punchThrough) {
    const uint32_t ends = loadU32le(half);
    const int mode = Bc1 && punchThrough && (ends & 0xFFFF) <= (ends >> 16) ? 1 : 0;
    const __m128i c = _mm_shuffle_epi8(_mm_cvtsi32_si128(static_cast<int>(ends)),
                                       _mm_setr_epi8(0, 1, 0, 1, 0, 1, 0, 1, 2, 3, 2, 3, 2, 3, 2, 3));
    // Each field moved to the top of its lane, then widened to 8 bits by repeating its top bits.
    const __m128i top = _mm_and_si128(_mm_mullo_epi16(c, _mm_setr_epi16(2048, 32, 1, 0, 2048, 32, 1, 0)),
                                      _mm_setr_epi16(-2048, -1024, -2048, 0, -2048, -1024, -2048, 0));
    const __m128i ends8 =
        _mm_or_si128(_mm_srli_epi16(top, 8), _mm_mulhi_epu16(top, _mm_setr_epi16(8, 4, 8, 0, 8, 4, 8, 0)));
    const __m128i e0 = _mm_unpacklo_epi64(ends8, ends8), e1 = _mm_unpackhi_epi64(ends8, ends8);
    const __m128i sum = _mm_add_epi16(_mm_mullo_epi16(e0, load128(kColourWeight0[mode])),
                                      _mm_mullo_epi16(e1, load128(kColourWeight1[mode])));
    const __m128i mixed = _mm_mulhi_epu16(sum, _mm_set1_epi16(static_cast<short>(kColourDivide[mode])));
    const __m128i words = _mm_packus_epi16(ends8, mixed);
    return Bc1 ? _mm_or_si128(words, load128(kColourAlpha[mode])) : words;
}

// Sixteen 2-bit indices as byte offsets into the palette (index x 4), pixel i in byte i.
__attribute__((target("ssse3"))) inline __m128i colourOffsets(uint32_t indices) {
    const __m128i v = _mm_cvtsi32_si128(static_cast<int>(indices));
    const __m128i shifts = _mm_setr_epi16(64, 16, 4, 1, 64, 16, 4, 1);
    const __m128i lo = _mm_shuffle_epi8(v, _mm_setr_epi8(0, -1, 0, -1, 0, -1, 0, -1, 1, -1, 1, -1, 1, -1, 1, -1));
    const __m128i hi = _mm_shuffle_epi8(v, _mm_setr_epi8(2, -1, 2, -1, 2, -1, 2, -1, 3, -1, 3, -1, 3, -1, 3, -1));
    const __m128i twelve = _mm_set1_epi16(12);
    return _mm_packus_epi16(_mm_and_si128(_mm_srli_epi16(_mm_mullo_epi16(lo, shifts), 4), twelve),
                            _mm_and_si128(_mm_srli_epi16(_mm_mullo_epi16(hi, shifts), 4), twelve));
}

// A BC3 block's sixteen alpha values, pixel i in byte i.
__attribute__((target("ssse3"))) inline __m128i alphaBytes(const uint8_t* block) {
    const int mode = block[0] > block[1] ? 0 : 1;
    const __m128i a0 = _mm_set1_epi16(block[0]), a1 = _mm_set1_epi16(block[1]);
    const __m128i sum = _mm_add_epi16(_mm_mullo_epi16(a0, load128(kAlphaWeight0[mode])),
                                      _mm_mullo_epi16(a1, load128(kAlphaWeight1[mode])));
    const __m128i values = _mm_or_si128(_mm_mulhi_epu16(sum, _mm_set1_epi16(static_cast<short>(kAlphaDivide[mode]))),
                                        load128(kAlphaTop[mode]));
    const __m128i table = _mm_packus_epi16(values, values);
    // Pixel i's three bits start at bit 3i of the six index bytes: the 16-bit word there, moved up
    // so that they land in bits 8 to 10.
    const __m128i raw = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block));
    const __m128i lo = _mm_shuffle_epi8(raw, _mm_setr_epi8(2, 3, 2, 3, 2, 3, 3, 4, 3, 4, 3, 4, 4, 5, 4, 5));
    const __m128i hi = _mm_shuffle_epi8(raw, _mm_setr_epi8(5, 6, 5, 6, 5, 6, 6, 7, 6, 7, 6, 7, 7, 8, 7, 8));
    const __m128i shifts = _mm_setr_epi16(256, 32, 4, 128, 16, 2, 64, 8);
    const __m128i seven = _mm_set1_epi16(7);
    const __m128i index = _mm_packus_epi16(_mm_and_si128(_mm_srli_epi16(_mm_mullo_epi16(lo, shifts), 8), seven),
                                           _mm_and_si128(_mm_srli_epi16(_mm_mullo_epi16(hi, shifts), 8), seven));
    return _mm_shuffle_epi8(table, index);
}

template <bool Bc1>
__attribute__((target("ssse3"))) void stripSsse3(const uint8_t* in, uint32_t blocks, uint8_t* const* rows,
                                                 bool punchThrough) {
    constexpr size_t kBytes = Bc1 ? 8 : 16;
    const __m128i lanes = _mm_set1_epi32(0x03020100);
    uint8_t* const out[4] = {rows[0], rows[1], rows[2], rows[3]};
    for (uint32_t bx = 0; bx < blocks; ++bx, in += kBytes) {
        const uint8_t* colour = Bc1 ? in : in + 8;
        const __m128i palette = colourPaletteVector<Bc1>(colour, punchThrough);
        const __m128i offsets = colourOffsets(loadU32le(colour + 4));
        __m128i alpha = _mm_setzero_si128();
        if constexpr (!Bc1) alpha = alphaBytes(in);
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC unroll 4
#endif
        for (int y = 0; y < 4; ++y) {
            const __m128i select = _mm_or_si128(_mm_shuffle_epi8(offsets, load128(kRows.spread[y])), lanes);
            __m128i row = _mm_shuffle_epi8(palette, select);
            if constexpr (!Bc1) row = _mm_or_si128(row, _mm_shuffle_epi8(alpha, load128(kRows.alpha[y])));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out[y] + static_cast<size_t>(bx) * 16), row);
        }
    }
}

// BC7's pixels from endpoint bytes (per subset blue, green, red, alpha at 4 x subset), subsets in
// two bits a pixel, and per pixel a colour index and an alpha index into their weights: each channel
// ((64 - w) x e0 + w x e1 + 32) >> 6, two channels a multiply-add; rotation swaps alpha with red,
// green or blue afterwards.
alignas(16) constexpr uint8_t kWeightBytes[3][16] = {
    {0, 21, 43, 64}, {0, 9, 18, 27, 37, 46, 55, 64}, {0, 4, 9, 13, 17, 21, 26, 30, 34, 38, 43, 47, 51, 55, 60, 64}};
alignas(16) constexpr uint8_t kRotations[4][16] = {
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
    {0, 1, 3, 2, 4, 5, 7, 6, 8, 9, 11, 10, 12, 13, 15, 14},
    {0, 3, 2, 1, 4, 7, 6, 5, 8, 11, 10, 9, 12, 15, 14, 13},
    {3, 1, 2, 0, 7, 5, 6, 4, 11, 9, 10, 8, 15, 13, 14, 12}};

__attribute__((target("ssse3"))) void mixBc7(const uint8_t (&ends)[2][16], uint32_t subsetMap,
                                             const uint8_t* colourIndices, const uint8_t* colourWeights,
                                             const uint8_t* alphaIndices, const uint8_t* alphaWeights,
                                             unsigned rotation, uint32_t* bgra) {
    const __m128i e0Table = load128(ends[0]), e1Table = load128(ends[1]);
    const __m128i offsets = colourOffsets(subsetMap);  // 4 x subset, pixel i in byte i
    const __m128i colourW = _mm_shuffle_epi8(load128(colourWeights), load128(colourIndices));
    const __m128i alphaW = _mm_shuffle_epi8(load128(alphaWeights), load128(alphaIndices));
    const __m128i lanes = _mm_set1_epi32(0x03020100);
    const __m128i sixtyFour = _mm_set1_epi8(64), half = _mm_set1_epi16(32);
    for (int g = 0; g < 4; ++g) {
        const __m128i select = _mm_or_si128(_mm_shuffle_epi8(offsets, load128(kRows.spread[g])), lanes);
        const __m128i e0 = _mm_shuffle_epi8(e0Table, select), e1 = _mm_shuffle_epi8(e1Table, select);
        const __m128i w = _mm_or_si128(_mm_shuffle_epi8(colourW, load128(kRows.colour[g])),
                                       _mm_shuffle_epi8(alphaW, load128(kRows.alpha[g])));
        const __m128i inverse = _mm_sub_epi8(sixtyFour, w);
        const __m128i low = _mm_maddubs_epi16(_mm_unpacklo_epi8(e0, e1), _mm_unpacklo_epi8(inverse, w));
        const __m128i high = _mm_maddubs_epi16(_mm_unpackhi_epi8(e0, e1), _mm_unpackhi_epi8(inverse, w));
        __m128i out = _mm_packus_epi16(_mm_srli_epi16(_mm_add_epi16(low, half), 6),
                                       _mm_srli_epi16(_mm_add_epi16(high, half), 6));
        if (rotation) out = _mm_shuffle_epi8(out, load128(kRotations[rotation]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(bgra + 4 * g), out);
    }
}

std::atomic<bool> vectorPathsAllowed{true};

// SSSE3 is there and the tests have not turned the vector paths off.
bool vectorPaths() {
    static const bool have = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("ssse3") != 0;
    }();
    return have && vectorPathsAllowed.load(std::memory_order_relaxed);
}
#endif

// BC7, one mode at a time: its widths known when compiling, the loops unroll and the only branch
// on the data is the choice of mode. Pixels by the vector path where there is one, else per subset
// a palette of every index value's colour and one lookup a pixel.
template <unsigned Mode>
void decodeBc7Mode(const uint8_t* block, uint32_t* bgra) {
    constexpr Bc7Mode m = kBc7Modes[Mode];
    BitReader bits(block);
    bits.skip(Mode + 1);
    const unsigned partition = bits.read(m.partitionBits);
    const unsigned rotation = bits.read(m.rotationBits);
    const unsigned selector = bits.read(m.selectorBits);
    unsigned endpoints[3][2][4] = {};  // subset, endpoint, channel (r, g, b, a)
    for (unsigned c = 0; c < 3; ++c)
        for (unsigned s = 0; s < m.subsets; ++s)
            for (unsigned e = 0; e < 2; ++e) endpoints[s][e][c] = bits.read(m.colourBits);
    if (m.alphaBits)
        for (unsigned s = 0; s < m.subsets; ++s)
            for (unsigned e = 0; e < 2; ++e) endpoints[s][e][3] = bits.read(m.alphaBits);
    unsigned colourBits = m.colourBits, alphaBits = m.alphaBits;
    if (m.endpointPBits || m.sharedPBits) {
        for (unsigned s = 0; s < m.subsets; ++s) {
            const unsigned p0 = bits.bit(), p1 = m.endpointPBits ? bits.bit() : p0;
            for (unsigned c = 0; c < 4; ++c) {
                endpoints[s][0][c] = (endpoints[s][0][c] << 1) | p0;
                endpoints[s][1][c] = (endpoints[s][1][c] << 1) | p1;
            }
        }
        ++colourBits;
        if (alphaBits) ++alphaBits;
    }
    for (unsigned s = 0; s < m.subsets; ++s)
        for (unsigned e = 0; e < 2; ++e) {
            for (unsigned c = 0; c < 3; ++c) endpoints[s][e][c] = expandBits(endpoints[s][e][c], colourBits);
            endpoints[s][e][3] = alphaBits ? expandBits(endpoints[s][e][3], alphaBits) : 255;
        }

    // The indices: one set (two in modes 4 and 5), each pixel's fewer by a bit at its subset's
    // anchor; a set is at most 63 bits, so one word holds it.
    const uint32_t subsetMap = kPartitions.subsets[m.subsets - 1][partition];
    auto readIndices = [&](uint8_t* out, unsigned width, unsigned anchors) {
        const uint64_t word = bits.peek64();
        unsigned used = 0;
        for (unsigned i = 0; i < 16; ++i) {
            const unsigned n = width - ((anchors >> i) & 1);
            out[i] = static_cast<uint8_t>((word >> used) & ((1u << n) - 1));
            used += n;
        }
        bits.skip(used);
    };
    auto mix = [](const unsigned* e0, const unsigned* e1, int w, unsigned c) { return interpolate(e0[c], e1[c], w); };
    uint8_t primary[16], secondary[16];
    readIndices(primary, m.indexBits, kPartitions.anchors[m.subsets - 1][partition]);
    // Modes 4 and 5 have a second set; the selector bit swaps which set drives the colour and which
    // the alpha.
    const uint8_t* colourIndices = primary;
    const uint8_t* alphaIndices = primary;
    unsigned colourIndexBits = m.indexBits, alphaIndexBits = m.indexBits;
    if constexpr (m.secondIndexBits != 0) {
        readIndices(secondary, m.secondIndexBits, 1);
        (selector ? colourIndices : alphaIndices) = secondary;
        (selector ? colourIndexBits : alphaIndexBits) = m.secondIndexBits;
    }
#ifdef VEK_BCN_SSSE3
    if (vectorPaths()) {
        uint8_t ends[2][16] = {};
        for (unsigned s = 0; s < m.subsets; ++s)
            for (unsigned e = 0; e < 2; ++e)
                for (unsigned c = 0; c < 4; ++c)  // blue, green, red, alpha from red, green, blue, alpha
                    ends[e][4 * s + c] = static_cast<uint8_t>(endpoints[s][e][c == 3 ? 3 : 2 - c]);
        mixBc7(ends, subsetMap, colourIndices, kWeightBytes[colourIndexBits - 2], alphaIndices,
               kWeightBytes[alphaIndexBits - 2], rotation, bgra);
        return;
    }
#endif
    if (!m.secondIndexBits) {
        // One set drives colour and alpha alike: a palette of whole words per subset.
        const int* weights = weightsFor(m.indexBits);
        uint32_t palette[3][16];
        for (unsigned s = 0; s < m.subsets; ++s) {
            const unsigned* e0 = endpoints[s][0];
            const unsigned* e1 = endpoints[s][1];
            for (unsigned k = 0; k < (1u << m.indexBits); ++k) {
                const int w = weights[k];
                palette[s][k] = bgraWord(mix(e0, e1, w, 0), mix(e0, e1, w, 1), mix(e0, e1, w, 2), mix(e0, e1, w, 3));
            }
        }
        for (unsigned i = 0; i < 16; ++i) bgra[i] = palette[(subsetMap >> (2 * i)) & 3][primary[i]];
        return;
    }

    // Modes 4 and 5: one subset, colour and alpha from their own sets; rotation then swaps alpha
    // with red, green or blue.
    const int* colourWeights = weightsFor(colourIndexBits);
    const int* alphaWeights = weightsFor(alphaIndexBits);
    const unsigned* e0 = endpoints[0][0];
    const unsigned* e1 = endpoints[0][1];
    uint32_t colours[8], alphas[8];
    for (unsigned k = 0; k < (1u << colourIndexBits); ++k) {
        const int w = colourWeights[k];
        colours[k] = bgraWord(mix(e0, e1, w, 0), mix(e0, e1, w, 1), mix(e0, e1, w, 2), 0);
    }
    for (unsigned k = 0; k < (1u << alphaIndexBits); ++k) alphas[k] = mix(e0, e1, alphaWeights[k], 3) << 24;
    const unsigned shift = 24 - 8 * rotation;  // red, green and blue sit at bits 16, 8 and 0
    for (unsigned i = 0; i < 16; ++i) {
        uint32_t px = colours[colourIndices[i]] | alphas[alphaIndices[i]];
        if (rotation) {
            const uint32_t a = px >> 24, c = (px >> shift) & 0xFF;
            px = (px & ~((0xFFu << 24) | (0xFFu << shift))) | (c << 24) | (a << shift);
        }
        bgra[i] = px;
    }
}

} // namespace

void decodeBc7(const uint8_t* block, uint32_t* bgra) {
    switch (block[0] == 0 ? 8 : __builtin_ctz(block[0])) {
    case 0: return decodeBc7Mode<0>(block, bgra);
    case 1: return decodeBc7Mode<1>(block, bgra);
    case 2: return decodeBc7Mode<2>(block, bgra);
    case 3: return decodeBc7Mode<3>(block, bgra);
    case 4: return decodeBc7Mode<4>(block, bgra);
    case 5: return decodeBc7Mode<5>(block, bgra);
    case 6: return decodeBc7Mode<6>(block, bgra);
    case 7: return decodeBc7Mode<7>(block, bgra);
    default: std::memset(bgra, 0, 64);  // reserved: a block of transparent black
    }
}

// ---------------------------------------------------------------- BC6H

namespace {

struct Bc6Mode {
    bool transformed;
    unsigned endpointBits;
    unsigned deltaBits[3];
    unsigned regions;
    unsigned fieldBits;  // endpoint bits laid out by the table below
};
// Modes in the order their mode codes are listed: 0, 1 (two-bit codes), then the five-bit codes
// 2, 6, 10, 14, 18, 22, 26, 30, 3, 7, 11, 15.
constexpr Bc6Mode kBc6Modes[14] = {
    {true, 10, {5, 5, 5}, 2, 75}, {true, 7, {6, 6, 6}, 2, 75},    {true, 11, {5, 4, 4}, 2, 72},
    {true, 11, {4, 5, 4}, 2, 72}, {true, 11, {4, 4, 5}, 2, 72},   {true, 9, {5, 5, 5}, 2, 72},
    {true, 8, {6, 5, 5}, 2, 72},  {true, 8, {5, 6, 5}, 2, 72},    {true, 8, {5, 5, 6}, 2, 72},
    {false, 6, {6, 6, 6}, 2, 72}, {false, 10, {10, 10, 10}, 1, 60}, {true, 11, {9, 9, 9}, 1, 60},
    {true, 12, {8, 8, 8}, 1, 60}, {true, 16, {4, 4, 4}, 1, 60},
};
// Where each bit after the mode code goes: field (high nibble) and bit (low nibble). Fields are the
// red, green and blue of endpoints w, x, y and z: 0 rw, 1 gw, 2 bw, 3 rx, ..., 11 bz.
constexpr uint8_t kBc6Layout[14][75] = {
    {116, 132, 180, 0,   1,   2,   3,   4,   5,   6,   7,   8,   9,   16,  17,  18,  19,  20,  21,
     22,  23,  24,  25,  32,  33,  34,  35,  36,  37,  38,  39,  40,  41,  48,  49,  50,  51,  52,
     164, 112, 113, 114, 115, 64,  65,  66,  67,  68,  176, 160, 161, 162, 163, 80,  81,  82,  83,
     84,  177, 128, 129, 130, 131, 96,  97,  98,  99,  100, 178, 144, 145, 146, 147, 148, 179},
    {117, 164, 165, 0,   1,   2,   3,   4,   5,   6,   176, 177, 132, 16,  17,  18,  19,  20,  21,
     22,  133, 178, 116, 32,  33,  34,  35,  36,  37,  38,  179, 181, 180, 48,  49,  50,  51,  52,
     53,  112, 113, 114, 115, 64,  65,  66,  67,  68,  69,  160, 161, 162, 163, 80,  81,  82,  83,
     84,  85,  128, 129, 130, 131, 96,  97,  98,  99,  100, 101, 144, 145, 146, 147, 148, 149},
    {0,   1,   2,   3,   4,   5,   6,   7,   8,   9,   16,  17,  18,  19,  20,  21,  22,  23,  24,
     25,  32,  33,  34,  35,  36,  37,  38,  39,  40,  41,  48,  49,  50,  51,  52,  10,  112, 113,
     114, 115, 64,  65,  66,  67,  26,  176, 160, 161, 162, 163, 80,  81,  82,  83,  42,  177, 128,
     129, 130, 131, 96,  97,  98,  99,  100, 178, 144, 145, 146, 147, 148, 179},
    {0,   1,   2,   3,   4,   5,   6,   7,   8,   9,   16,  17,  18,  19,  20,  21,  22,  23,  24,
     25,  32,  33,  34,  35,  36,  37,  38,  39,  40,  41,  48,  49,  50,  51,  10,  164, 112, 113,
     114, 115, 64,  65,  66,  67,  68,  26,  160, 161, 162, 163, 80,  81,  82,  83,  42,  177, 128,
     129, 130, 131, 96,  97,  98,  99,  176, 178, 144, 145, 146, 147, 116, 179},
    {0,   1,   2,   3,   4,   5,   6,   7,   8,   9,   16,  17,  18,  19,  20,  21,  22,  23,  24,
     25,  32,  33,  34,  35,  36,  37,  38,  39,  40,  41,  48,  49,  50,  51,  10,  132, 112, 113,
     114, 115, 64,  65,  66,  67,  26,  176, 160, 161, 162, 163, 80,  81,  82,  83,  84,  42,  128,
     129, 130, 131, 96,  97,  98,  99,  177, 178, 144, 145, 146, 147, 180, 179},
    {0,   1,   2,   3,   4,   5,   6,   7,   8,   132, 16,  17,  18,  19,  20,  21,  22,  23,  24,
     116, 32,  33,  34,  35,  36,  37,  38,  39,  40,  180, 48,  49,  50,  51,  52,  164, 112, 113,
     114, 115, 64,  65,  66,  67,  68,  176, 160, 161, 162, 163, 80,  81,  82,  83,  84,  177, 128,
     129, 130, 131, 96,  97,  98,  99,  100, 178, 144, 145, 146, 147, 148, 179},
    {0,   1,   2,   3,   4,   5,   6,   7,   164, 132, 16,  17,  18,  19,  20,  21,  22,  23,  178,
     116, 32,  33,  34,  35,  36,  37,  38,  39,  179, 180, 48,  49,  50,  51,  52,  53,  112, 113,
     114, 115, 64,  65,  66,  67,  68,  176, 160, 161, 162, 163, 80,  81,  82,  83,  84,  177, 128,
     129, 130, 131, 96,  97,  98,  99,  100, 101, 144, 145, 146, 147, 148, 149},
    {0,   1,   2,   3,   4,   5,   6,   7,   176, 132, 16,  17,  18,  19,  20,  21,  22,  23,  117,
     116, 32,  33,  34,  35,  36,  37,  38,  39,  165, 180, 48,  49,  50,  51,  52,  164, 112, 113,
     114, 115, 64,  65,  66,  67,  68,  69,  160, 161, 162, 163, 80,  81,  82,  83,  84,  177, 128,
     129, 130, 131, 96,  97,  98,  99,  100, 178, 144, 145, 146, 147, 148, 179},
    {0,   1,   2,   3,   4,   5,   6,   7,   177, 132, 16,  17,  18,  19,  20,  21,  22,  23,  133,
     116, 32,  33,  34,  35,  36,  37,  38,  39,  181, 180, 48,  49,  50,  51,  52,  164, 112, 113,
     114, 115, 64,  65,  66,  67,  68,  176, 160, 161, 162, 163, 80,  81,  82,  83,  84,  85,  128,
     129, 130, 131, 96,  97,  98,  99,  100, 178, 144, 145, 146, 147, 148, 179},
    {0,   1,   2,   3,   4,   5,   164, 176, 177, 132, 16,  17,  18,  19,  20,  21,  117, 133, 178,
     116, 32,  33,  34,  35,  36,  37,  165, 179, 181, 180, 48,  49,  50,  51,  52,  53,  112, 113,
     114, 115, 64,  65,  66,  67,  68,  69,  160, 161, 162, 163, 80,  81,  82,  83,  84,  85,  128,
     129, 130, 131, 96,  97,  98,  99,  100, 101, 144, 145, 146, 147, 148, 149},
    {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  16, 17, 18, 19, 20, 21, 22, 23, 24, 25,
     32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 48, 49, 50, 51, 52, 53, 54, 55, 56, 57,
     64, 65, 66, 67, 68, 69, 70, 71, 72, 73, 80, 81, 82, 83, 84, 85, 86, 87, 88, 89},
    {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  16, 17, 18, 19, 20, 21, 22, 23, 24, 25,
     32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 48, 49, 50, 51, 52, 53, 54, 55, 56, 10,
     64, 65, 66, 67, 68, 69, 70, 71, 72, 26, 80, 81, 82, 83, 84, 85, 86, 87, 88, 42},
    {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  16, 17, 18, 19, 20, 21, 22, 23, 24, 25,
     32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 48, 49, 50, 51, 52, 53, 54, 55, 11, 10,
     64, 65, 66, 67, 68, 69, 70, 71, 27, 26, 80, 81, 82, 83, 84, 85, 86, 87, 43, 42},
    {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  16, 17, 18, 19, 20, 21, 22, 23, 24, 25,
     32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 48, 49, 50, 51, 15, 14, 13, 12, 11, 10,
     64, 65, 66, 67, 31, 30, 29, 28, 27, 26, 80, 81, 82, 83, 47, 46, 45, 44, 43, 42},
};

// The layout as runs of consecutive bits of one field, read a run at a time.
struct Bc6Run {
    uint8_t field, firstBit, length, position;  // position: from the first bit after the mode code
};
struct Bc6Runs {
    Bc6Run runs[14][75];
    uint8_t count[14];
};
constexpr Bc6Runs makeBc6Runs() {
    Bc6Runs r{};
    for (unsigned m = 0; m < 14; ++m) {
        unsigned n = 0;
        for (unsigned i = 0; i < kBc6Modes[m].fieldBits; ++i) {
            const uint8_t where = kBc6Layout[m][i];
            if (n > 0) {
                Bc6Run& last = r.runs[m][n - 1];
                if (where >> 4 == last.field && (where & 15) == last.firstBit + last.length) {
                    ++last.length;
                    continue;
                }
            }
            r.runs[m][n++] = Bc6Run{static_cast<uint8_t>(where >> 4), static_cast<uint8_t>(where & 15), 1,
                                    static_cast<uint8_t>(i)};
        }
        r.count[m] = static_cast<uint8_t>(n);
    }
    return r;
}
constexpr Bc6Runs kBc6Runs = makeBc6Runs();

int signExtend(unsigned v, unsigned bits) {
    const unsigned sign = 1u << (bits - 1);
    return static_cast<int>((v & (sign - 1)) - (v & sign));
}

int unquantize(int v, unsigned bits, bool isSigned) {
    if (!isSigned) {
        if (bits >= 15) return v;
        if (v == 0) return 0;
        if (v == static_cast<int>((1u << bits) - 1)) return 0xFFFF;
        return ((v << 16) + 0x8000) >> bits;
    }
    if (bits >= 16) return v;
    const bool negative = v < 0;
    int magnitude = negative ? -v : v;
    int q;
    if (magnitude == 0)
        q = 0;
    else if (magnitude >= static_cast<int>((1u << (bits - 1)) - 1))
        q = 0x7FFF;
    else
        q = ((magnitude << 15) + 0x4000) >> (bits - 1);
    return negative ? -q : q;
}

// Back to half-float bits after interpolation: 31/64 of the unsigned range, 31/32 of the signed.
uint16_t finishUnquantize(int v, bool isSigned) {
    if (!isSigned) return static_cast<uint16_t>((v * 31) >> 6);
    if (v < 0) return static_cast<uint16_t>(0x8000 | (((-v) * 31) >> 5));
    return static_cast<uint16_t>((v * 31) >> 5);
}

} // namespace

namespace {

uint8_t computeHalfToByte(unsigned half) {
    const unsigned exponent = (half >> 10) & 31, mantissa = half & 1023;
    if (exponent == 31) return mantissa ? 0 : 255;  // NaN to 0, infinity to 255
    float f;
    if (exponent == 0)
        f = static_cast<float>(mantissa) / 16777216.0f;  // subnormal: m x 2^-24
    else
        f = (1.0f + static_cast<float>(mantissa) / 1024.0f) * static_cast<float>(1u << exponent) / 32768.0f;
    if (f >= 1.0f) return 255;
    return static_cast<uint8_t>(f * 255.0f);  // truncated, as other BC6H decoders do
}

// Every non-negative half's byte, worked out once: three lookups a pixel instead of float work.
const uint8_t* halfBytes() {
    static const struct Table {
        uint8_t value[32768];
        Table() : value() {
            for (unsigned h = 0; h < 32768; ++h) value[h] = computeHalfToByte(h);
        }
    } table;
    return table.value;
}

// Negative halves, and negative zero, are 0.
inline uint8_t halfByte(const uint8_t* table, uint16_t half) { return half & 0x8000 ? 0 : table[half]; }

} // namespace

uint8_t halfToByte(uint16_t half) { return halfByte(halfBytes(), half); }

void decodeBc6h(const uint8_t* block, uint32_t* bgra, bool isSigned) {
    BitReader bits(block);
    unsigned code = bits.read(2);
    int modeIndex;
    if (code < 2) {
        modeIndex = static_cast<int>(code);
    } else {
        code |= bits.read(3) << 2;
        static const int kFiveBitModes[32] = {-1, -1, 2,  10, -1, -1, 3, 11, -1, -1, 4,  12, -1, -1, 5, 13,
                                              -1, -1, 6,  -1, -1, -1, 7, -1, -1, -1, 8,  -1, -1, -1, 9, -1};
        modeIndex = kFiveBitModes[code];
    }
    if (modeIndex < 0) {
        // Reserved modes decode to black.
        for (int i = 0; i < 16; ++i) bgra[i] = 0xFF000000u;
        return;
    }
    const Bc6Mode& m = kBc6Modes[modeIndex];
    unsigned fields[12] = {};
    const unsigned codeBits = modeIndex < 2 ? 2 : 5;
    for (unsigned i = 0; i < kBc6Runs.count[modeIndex]; ++i) {
        const Bc6Run& run = kBc6Runs.runs[modeIndex][i];
        fields[run.field] |= bits.at(codeBits + run.position, run.length) << run.firstBit;
    }
    bits.skip(m.fieldBits);
    const unsigned partition = m.regions == 2 ? bits.read(5) : 0;
    const unsigned endpointCount = m.regions * 2;
    int endpoints[4][3];  // w, x, y, z by channel
    for (unsigned e = 0; e < endpointCount; ++e)
        for (unsigned c = 0; c < 3; ++c) endpoints[e][c] = static_cast<int>(fields[e * 3 + c]);
    const int mask = static_cast<int>((1u << m.endpointBits) - 1);
    for (unsigned c = 0; c < 3; ++c) {
        if (isSigned) endpoints[0][c] = signExtend(static_cast<unsigned>(endpoints[0][c]), m.endpointBits);
        for (unsigned e = 1; e < endpointCount; ++e) {
            if (m.transformed) {
                // The other endpoints are signed deltas from the first.
                const int delta = signExtend(static_cast<unsigned>(endpoints[e][c]), m.deltaBits[c]);
                endpoints[e][c] = (endpoints[0][c] + delta) & mask;
                if (isSigned) endpoints[e][c] = signExtend(static_cast<unsigned>(endpoints[e][c]), m.endpointBits);
            } else if (isSigned) {
                endpoints[e][c] = signExtend(static_cast<unsigned>(endpoints[e][c]), m.endpointBits);
            }
        }
    }
    for (unsigned e = 0; e < endpointCount; ++e)
        for (unsigned c = 0; c < 3; ++c) endpoints[e][c] = unquantize(endpoints[e][c], m.endpointBits, isSigned);
    const unsigned indexBits = m.regions == 2 ? 3 : 4;
    const int* weights = weightsFor(indexBits);
    // The indices fill the rest of the block: 46 or 63 bits, one word.
    const uint64_t indices = bits.peek64();
    const uint32_t subsetMap = kPartitions.subsets[m.regions - 1][partition];
    const unsigned anchors = kPartitions.anchors[m.regions - 1][partition];
    const uint8_t* bytes = halfBytes();
    unsigned used = 0;
    for (unsigned i = 0; i < 16; ++i) {
        const unsigned region = (subsetMap >> (2 * i)) & 3;
        const unsigned n = indexBits - ((anchors >> i) & 1);
        const int w = weights[(indices >> used) & ((1u << n) - 1)];
        used += n;
        unsigned out[3];
        for (unsigned c = 0; c < 3; ++c) {
            const int a = endpoints[region * 2][c], b = endpoints[region * 2 + 1][c];
            out[c] = halfByte(bytes, finishUnquantize(((64 - w) * a + w * b + 32) >> 6, isSigned));
        }
        bgra[i] = bgraWord(out[0], out[1], out[2], 255);
    }
}

size_t blockBytes(Codec c) { return c == Codec::Bc1 || c == Codec::Bc4 || c == Codec::Bc4Signed ? 8 : 16; }

namespace {

// One strip, from block `from` on, with the block decoder fixed at compile time, so that it is
// inlined into the loop.
template <typename Decode>
void strip(Decode decode, size_t bytes, const uint8_t* in, uint32_t across, uint8_t* const* rows, uint32_t rowCount,
           uint32_t width, bool grey, uint32_t from) {
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

} // namespace

void decodeStrip(Codec codec, const uint8_t* in, uint32_t across, uint8_t* const* rows, uint32_t rowCount, uint32_t width,
                 bool grey) {
    const size_t n = blockBytes(codec);
    uint32_t from = 0;  // the first block for the scalar decoders
#ifdef VEK_BCN_SSSE3
    // Whole blocks of whole strips take the vector path; a last column or strip cut short, and grey
    // pictures, the scalar one.
    if ((codec == Codec::Bc1 || codec == Codec::Bc3) && rowCount == 4 && !grey && vectorPaths()) {
        from = width / 4;
        if (codec == Codec::Bc1)
            stripSsse3<true>(in, from, rows, true);
        else
            stripSsse3<false>(in, from, rows, false);
    }
#endif
    auto run = [&](auto decode) { strip(decode, n, in, across, rows, rowCount, width, grey, from); };
    switch (codec) {
    case Codec::Bc1: run([](const uint8_t* b, uint32_t* o) { decodeBc1(b, o, true); }); break;
    case Codec::Bc2: run(decodeBc2); break;
    case Codec::Bc3: run(decodeBc3); break;
    case Codec::Bc4: run([](const uint8_t* b, uint32_t* o) { decodeBc4(b, o, false); }); break;
    case Codec::Bc4Signed: run([](const uint8_t* b, uint32_t* o) { decodeBc4(b, o, true); }); break;
    case Codec::Bc5: run([](const uint8_t* b, uint32_t* o) { decodeBc5(b, o, false); }); break;
    case Codec::Bc5Signed: run([](const uint8_t* b, uint32_t* o) { decodeBc5(b, o, true); }); break;
    case Codec::Bc6h: run([](const uint8_t* b, uint32_t* o) { decodeBc6h(b, o, false); }); break;
    case Codec::Bc6hSigned: run([](const uint8_t* b, uint32_t* o) { decodeBc6h(b, o, true); }); break;
    case Codec::Bc7: run(decodeBc7); break;
    }
}

void allowVectorPaths([[maybe_unused]] bool allow) {
#ifdef VEK_BCN_SSSE3
    vectorPathsAllowed.store(allow, std::memory_order_relaxed);
#endif
}

} // namespace vek::bcn
