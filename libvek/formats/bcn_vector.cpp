// The block formats' SSSE3 kernels: byte shuffles as table lookups. BC1 and BC3 palettes built in
// 16-bit lanes, sixteen indices spread to bytes at once, each row of four pixels one shuffle of the
// palette; BC7's channels as multiply-adds of endpoint and weight bytes (with AVX2, the whole block
// from tables and two rows a step). Every division is an exact multiply-high for the ranges that
// occur, so the pixels are the scalar decoders' to the bit.
#include <cstring>

#include "libvek/base/bytes.h"
#include "libvek/formats/bcn_common.h"
#include "support/simd.h"

#ifdef VEK_SIMD_X86
#include <immintrin.h>
#endif

namespace vek::bcn {
namespace {

using namespace detail;

#ifdef VEK_SIMD_X86

// Shuffles for the pixels of row (or group) g: its four bytes each spread over a word, the same
// without the alpha byte, and only into the alpha byte.
constexpr uint8_t kNone = 0x80;
struct RowShuffles {
    alignas(32) uint8_t spread[4][16], colour[4][16], alpha[4][16];
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
constexpr uint16_t kColourDivide[2] = {21846, 32768}; // x/3, x/2 as (x * d) >> 16
alignas(16) constexpr uint32_t kColourAlpha[2][4] = {{0xFF000000u, 0xFF000000u, 0xFF000000u, 0xFF000000u},
                                                     {0xFF000000u, 0xFF000000u, 0xFF000000u, 0}};
// Alpha palettes by mode: a0 > a1 interpolates six values, otherwise four and then 0 and 255.
alignas(16) constexpr uint16_t kAlphaWeight0[2][8] = {{7, 0, 6, 5, 4, 3, 2, 1}, {5, 0, 4, 3, 2, 1, 0, 0}};
alignas(16) constexpr uint16_t kAlphaWeight1[2][8] = {{0, 7, 1, 2, 3, 4, 5, 6}, {0, 5, 1, 2, 3, 4, 0, 0}};
constexpr uint16_t kAlphaDivide[2] = {9363, 13108}; // x/7, x/5
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
    // so that they land in bits 8 to 10. Only the block's eight bytes are loaded: a BC4 block or
    // BC5's second half may end the file, and byte 8 never reaches the three bits kept.
    const __m128i raw = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(block));
    const __m128i lo = _mm_shuffle_epi8(raw, _mm_setr_epi8(2, 3, 2, 3, 2, 3, 3, 4, 3, 4, 3, 4, 4, 5, 4, 5));
    const __m128i hi = _mm_shuffle_epi8(raw, _mm_setr_epi8(5, 6, 5, 6, 5, 6, 6, 7, 6, 7, 6, 7, 7, 8, 7, 8));
    const __m128i shifts = _mm_setr_epi16(256, 32, 4, 128, 16, 2, 64, 8);
    const __m128i seven = _mm_set1_epi16(7);
    const __m128i index = _mm_packus_epi16(_mm_and_si128(_mm_srli_epi16(_mm_mullo_epi16(lo, shifts), 8), seven),
                                           _mm_and_si128(_mm_srli_epi16(_mm_mullo_epi16(hi, shifts), 8), seven));
    return _mm_shuffle_epi8(table, index);
}

// BC2's explicit alpha: sixteen 4-bit values, pixel i in byte i, each times 17.
__attribute__((target("ssse3"))) inline __m128i explicitAlphaBytes(const uint8_t* block) {
    const __m128i raw = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(block));
    const __m128i low = _mm_set1_epi8(0x0F);
    const __m128i nibbles = _mm_unpacklo_epi8(_mm_and_si128(raw, low), _mm_and_si128(_mm_srli_epi16(raw, 4), low));
    return _mm_or_si128(nibbles, _mm_slli_epi16(nibbles, 4));
}

enum class Colour { Bc1, Bc2, Bc3 };

template <Colour C> __attribute__((target("ssse3"))) void stripSsse3(const uint8_t* in, uint32_t blocks,
                                                                     uint8_t* const* rows, bool punchThrough) {
    constexpr bool kBc1 = C == Colour::Bc1;
    constexpr size_t kBytes = kBc1 ? 8 : 16;
    const __m128i lanes = _mm_set1_epi32(0x03020100);
    uint8_t* const out[4] = {rows[0], rows[1], rows[2], rows[3]};
    for (uint32_t bx = 0; bx < blocks; ++bx, in += kBytes) {
        const uint8_t* colour = kBc1 ? in : in + 8;
        const __m128i palette = colourPaletteVector<kBc1>(colour, punchThrough);
        const __m128i offsets = colourOffsets(loadU32le(colour + 4));
        __m128i alpha = _mm_setzero_si128();
        if constexpr (C == Colour::Bc2) alpha = explicitAlphaBytes(in);
        if constexpr (C == Colour::Bc3) alpha = alphaBytes(in);
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC unroll 4
#endif
        for (int y = 0; y < 4; ++y) {
            const __m128i select = _mm_or_si128(_mm_shuffle_epi8(offsets, load128(kRows.spread[y])), lanes);
            __m128i row = _mm_shuffle_epi8(palette, select);
            if constexpr (!kBc1) row = _mm_or_si128(row, _mm_shuffle_epi8(alpha, load128(kRows.alpha[y])));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out[y] + static_cast<size_t>(bx) * 16), row);
        }
    }
}

// BC4 as grey bytes: the eight values of each block and its sixteen indices, as BC3's alpha. Four
// blocks a step, turned from block order (four rows of one block a register) to row order (a row
// of four blocks a register): one 16-byte store a row.
__attribute__((target("ssse3"))) void stripBc4Ssse3(const uint8_t* in, uint32_t blocks, uint8_t* const* rows) {
    uint8_t* const out[4] = {rows[0], rows[1], rows[2], rows[3]};
    uint32_t bx = 0;
    for (; bx + 4 <= blocks; bx += 4, in += 32) {
        const __m128i g0 = alphaBytes(in), g1 = alphaBytes(in + 8), g2 = alphaBytes(in + 16), g3 = alphaBytes(in + 24);
        const __m128i r01a = _mm_unpacklo_epi32(g0, g1), r01b = _mm_unpackhi_epi32(g0, g1);
        const __m128i r23a = _mm_unpacklo_epi32(g2, g3), r23b = _mm_unpackhi_epi32(g2, g3);
        const size_t at = static_cast<size_t>(bx) * 4;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out[0] + at), _mm_unpacklo_epi64(r01a, r23a));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out[1] + at), _mm_unpackhi_epi64(r01a, r23a));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out[2] + at), _mm_unpacklo_epi64(r01b, r23b));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out[3] + at), _mm_unpackhi_epi64(r01b, r23b));
    }
    for (; bx < blocks; ++bx, in += 8) {
        alignas(16) uint8_t grey[16];
        _mm_store_si128(reinterpret_cast<__m128i*>(grey), alphaBytes(in));
        for (int y = 0; y < 4; ++y) std::memcpy(out[y] + static_cast<size_t>(bx) * 4, grey + 4 * y, 4);
    }
}

// BC5 as blue 0, green, red and opaque alpha: two BC4 halves, red first.
__attribute__((target("ssse3"))) void stripBc5Ssse3(const uint8_t* in, uint32_t blocks, uint8_t* const* rows) {
    const __m128i opaque = _mm_set1_epi8(static_cast<char>(0xFF)), zero = _mm_setzero_si128();
    for (uint32_t bx = 0; bx < blocks; ++bx, in += 16) {
        const __m128i red = alphaBytes(in), green = alphaBytes(in + 8);
        const __m128i bg0 = _mm_unpacklo_epi8(zero, green), bg1 = _mm_unpackhi_epi8(zero, green);
        const __m128i ra0 = _mm_unpacklo_epi8(red, opaque), ra1 = _mm_unpackhi_epi8(red, opaque);
        const size_t at = static_cast<size_t>(bx) * 16;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(rows[0] + at), _mm_unpacklo_epi16(bg0, ra0));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(rows[1] + at), _mm_unpackhi_epi16(bg0, ra0));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(rows[2] + at), _mm_unpacklo_epi16(bg1, ra1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(rows[3] + at), _mm_unpackhi_epi16(bg1, ra1));
    }
}

// BC7's pixels from endpoint bytes (per subset blue, green, red, alpha at 4 x subset), subsets in
// two bits a pixel, and per pixel a colour index and an alpha index into their weights: each channel
// ((64 - w) x e0 + w x e1 + 32) >> 6, two channels a multiply-add; rotation swaps alpha with red,
// green or blue afterwards.
struct WeightBytes {
    alignas(16) uint8_t bytes[3][16];
};
constexpr WeightBytes makeWeightBytes() {
    WeightBytes w{};
    for (unsigned bits = 2; bits <= 4; ++bits)
        for (unsigned i = 0; i < (1u << bits); ++i) w.bytes[bits - 2][i] = static_cast<uint8_t>(weightsFor(bits)[i]);
    return w;
}
constexpr WeightBytes kWeightTable = makeWeightBytes();
constexpr const uint8_t (&kWeightBytes)[3][16] = kWeightTable.bytes;
alignas(16) constexpr uint8_t kRotations[4][16] = {{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
                                                   {0, 1, 3, 2, 4, 5, 7, 6, 8, 9, 11, 10, 12, 13, 15, 14},
                                                   {0, 3, 2, 1, 4, 7, 6, 5, 8, 11, 10, 9, 12, 15, 14, 13},
                                                   {3, 1, 2, 0, 7, 5, 6, 4, 11, 9, 10, 8, 15, 13, 14, 12}};

// Sixteen indices of 2, 3 or 4 bits (pixel i at bits x i), pixel i in byte i, the same way for
// every width (a branch on the width mispredicts on blocks of mixed modes): each pixel's 16-bit lane
// takes the two bytes that hold its index, a multiply brings the index to the lane's high byte, and
// the lanes are masked and packed.
struct IndexSpread {
    alignas(16) uint8_t low[16], high[16]; // the bytes for pixels 0-7 and 8-15
    alignas(16) uint16_t shift[8], mask[8];
};
constexpr IndexSpread makeIndexSpread(unsigned bits) {
    IndexSpread s{};
    for (unsigned i = 0; i < 16; ++i) {
        const unsigned at = i * bits, byte = at / 8;
        uint8_t* to = i < 8 ? s.low : s.high;
        to[2 * (i % 8)] = static_cast<uint8_t>(byte);
        to[2 * (i % 8) + 1] = static_cast<uint8_t>(byte + 1);
        if (i < 8) {
            s.shift[i] = static_cast<uint16_t>(1u << (8 - at % 8));
            s.mask[i] = static_cast<uint16_t>((1u << bits) - 1);
        }
    }
    return s;
}
constexpr IndexSpread kIndexSpread[3] = {makeIndexSpread(2), makeIndexSpread(3), makeIndexSpread(4)};

__attribute__((target("ssse3"))) inline __m128i indexBytes(uint64_t word, unsigned bits) {
    const IndexSpread& s = kIndexSpread[bits - 2];
    const __m128i v = _mm_set_epi32(0, 0, static_cast<int>(word >> 32), static_cast<int>(word));
    const __m128i shift = load128(s.shift), mask = load128(s.mask);
    const __m128i low =
        _mm_and_si128(_mm_srli_epi16(_mm_mullo_epi16(_mm_shuffle_epi8(v, load128(s.low)), shift), 8), mask);
    const __m128i high =
        _mm_and_si128(_mm_srli_epi16(_mm_mullo_epi16(_mm_shuffle_epi8(v, load128(s.high)), shift), 8), mask);
    return _mm_packus_epi16(low, high);
}

__attribute__((target("ssse3"))) void mixBc7Ssse3(const uint8_t (&ends)[2][16], uint32_t subsetMap,
                                                  uint64_t colourIndices, unsigned colourBits, uint64_t alphaIndices,
                                                  unsigned alphaBits, unsigned rotation, uint8_t* const* rows,
                                                  size_t at) {
    const __m128i e0Table = load128(ends[0]), e1Table = load128(ends[1]);
    const __m128i offsets = colourOffsets(subsetMap); // 4 x subset, pixel i in byte i
    const __m128i colourIndexBytes = indexBytes(colourIndices, colourBits);
    const __m128i colourW = _mm_shuffle_epi8(load128(kWeightBytes[colourBits - 2]), colourIndexBytes);
    // Both sets spread whether or not they differ, and the rotation applied even when it is none:
    // branches on the mode mispredict on blocks of mixed modes.
    const __m128i alphaW = _mm_shuffle_epi8(load128(kWeightBytes[alphaBits - 2]), indexBytes(alphaIndices, alphaBits));
    const __m128i rotate = load128(kRotations[rotation]);
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
        __m128i out =
            _mm_packus_epi16(_mm_srli_epi16(_mm_add_epi16(low, half), 6), _mm_srli_epi16(_mm_add_epi16(high, half), 6));
        out = _mm_shuffle_epi8(out, rotate);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(rows[g] + at), out);
    }
}

// Per mode, where the vector path's endpoint table comes from, as vectors of sixteen 16-bit lanes
// for each half (endpoint 0, then 1; per subset blue, green, red, alpha): the block's two bytes
// that hold a lane's field and its p-bit, the multipliers that bring each to the lane's high byte,
// the masks, and the multipliers that expand the bits to 8.
struct Bc7Tables {
    alignas(32) uint8_t fieldBytes[2][32], pBytes[2][32];
    alignas(32) uint16_t fieldShift[2][16], fieldMask[2][16], pShift[2][16], pMask[2][16], pAppend[2][16],
        expandUp[2][16], expandDown[2][16], opaque[2][16];
    unsigned endpointBits; // all endpoint fields and p-bits, after the mode's header
};

constexpr Bc7Tables makeBc7Tables(unsigned mode) {
    const Bc7Mode m = kBc7Modes[mode];
    const unsigned start = mode + 1 + m.partitionBits + m.rotationBits + m.selectorBits;
    const unsigned alphaStart = start + 3 * m.subsets * 2 * m.colourBits;
    const unsigned pStart = alphaStart + m.subsets * 2 * m.alphaBits;
    const unsigned pCount = m.endpointPBits ? m.subsets * 2 : m.sharedPBits ? m.subsets : 0;
    Bc7Tables t{};
    t.endpointBits = pStart + pCount - start;
    for (unsigned j = 0; j < 32; ++j) {
        const unsigned e = j / 16, s = j % 16 / 4, c = j % 4, k = j % 16;
        // Lanes past the mode's subsets stay 0; alpha of a mode without alpha is 255.
        const bool used = s < m.subsets && (c < 3 || m.alphaBits != 0), hasP = used && pCount != 0;
        const unsigned width = !used ? 0 : c == 3 ? m.alphaBits : m.colourBits;
        const unsigned position = !used    ? 0
                                  : c == 3 ? alphaStart + (s * 2 + e) * m.alphaBits
                                           : start + (((2 - c) * m.subsets + s) * 2 + e) * m.colourBits;
        const unsigned p = !hasP ? 0 : m.endpointPBits ? pStart + s * 2 + e : pStart + s;
        const unsigned bits = used ? width + (hasP ? 1 : 0) : 8;
        // Lanes 0-7 of a half sit in its low 128 bits, 8-15 in its high ones; both hold the block.
        t.fieldBytes[e][2 * k] = static_cast<uint8_t>(position / 8);
        t.fieldBytes[e][2 * k + 1] = static_cast<uint8_t>(position / 8 + 1);
        t.fieldShift[e][k] = static_cast<uint16_t>(1u << (8 - position % 8));
        t.fieldMask[e][k] = static_cast<uint16_t>((1u << width) - 1);
        t.pBytes[e][2 * k] = static_cast<uint8_t>(p / 8);
        t.pBytes[e][2 * k + 1] = static_cast<uint8_t>(p / 8 + 1);
        t.pShift[e][k] = static_cast<uint16_t>(1u << (8 - p % 8));
        t.pMask[e][k] = hasP ? 1 : 0;
        t.pAppend[e][k] = hasP ? 2 : 1;
        t.expandUp[e][k] = static_cast<uint16_t>(1u << (8 - bits));
        t.expandDown[e][k] = static_cast<uint16_t>(1u << (16 - bits));
        t.opaque[e][k] = s < m.subsets && c == 3 && m.alphaBits == 0 ? 0xFF : 0;
    }
    return t;
}

constexpr Bc7Tables kBc7Tables[8] = {makeBc7Tables(0), makeBc7Tables(1), makeBc7Tables(2), makeBc7Tables(3),
                                     makeBc7Tables(4), makeBc7Tables(5), makeBc7Tables(6), makeBc7Tables(7)};

__attribute__((target("avx2"))) inline __m256i load(const void* p) {
    return _mm256_load_si256(static_cast<const __m256i*>(p));
}

// The endpoint table of the vector path, every field at once: each lane takes the two block bytes
// that hold its field, a multiply brings the field to the lane's high byte, the p-bit is appended
// the same way, and the bits are expanded to 8 by a multiply up and a high multiply down.
// Endpoint 0's table in the low half, endpoint 1's in the high one.
__attribute__((target("avx2"))) inline __m256i bc7EndsAvx2(const Bc7Tables& t, const uint8_t* block) {
    const __m256i bytes = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block)));
    __m256i out[2];
    // Both halves in line: kept as a loop, the compiler steps its table pointers and runs slower.
#pragma GCC unroll 2
    for (int half = 0; half < 2; ++half) {
        const __m256i field = _mm256_and_si256(
            _mm256_srli_epi16(
                _mm256_mullo_epi16(_mm256_shuffle_epi8(bytes, load(t.fieldBytes[half])), load(t.fieldShift[half])), 8),
            load(t.fieldMask[half]));
        const __m256i p = _mm256_and_si256(
            _mm256_srli_epi16(
                _mm256_mullo_epi16(_mm256_shuffle_epi8(bytes, load(t.pBytes[half])), load(t.pShift[half])), 8),
            load(t.pMask[half]));
        const __m256i v = _mm256_or_si256(_mm256_mullo_epi16(field, load(t.pAppend[half])), p);
        const __m256i up = _mm256_mullo_epi16(v, load(t.expandUp[half]));
        out[half] = _mm256_or_si256(_mm256_or_si256(up, _mm256_mulhi_epu16(up, load(t.expandDown[half]))),
                                    load(t.opaque[half]));
    }
    return _mm256_permute4x64_epi64(_mm256_packus_epi16(out[0], out[1]), 0xD8);
}

__attribute__((target("avx2"))) inline __m256i both(__m128i v) { return _mm256_broadcastsi128_si256(v); }

// indexBytes for both sets at once, the colour set's in the low half and the alpha set's in the
// high one, with the weights looked up: a table per pair of widths.
struct PairSpread {
    alignas(32) uint8_t low[32], high[32], weights[32];
    alignas(32) uint16_t shift[16], mask[16];
};
constexpr PairSpread makePairSpread(unsigned colourBits, unsigned alphaBits) {
    PairSpread p{};
    for (unsigned half = 0; half < 2; ++half) {
        const unsigned bits = half ? alphaBits : colourBits;
        const IndexSpread s = makeIndexSpread(bits);
        for (unsigned i = 0; i < 16; ++i) {
            p.low[16 * half + i] = s.low[i];
            p.high[16 * half + i] = s.high[i];
            p.weights[16 * half + i] = kWeightBytes[bits - 2][i];
        }
        for (unsigned i = 0; i < 8; ++i) {
            p.shift[8 * half + i] = s.shift[i];
            p.mask[8 * half + i] = s.mask[i];
        }
    }
    return p;
}
constexpr PairSpread makePairSpread(unsigned pair) { return makePairSpread(2 + pair / 3, 2 + pair % 3); }
constexpr PairSpread kPairSpread[9] = {makePairSpread(0), makePairSpread(1), makePairSpread(2),
                                       makePairSpread(3), makePairSpread(4), makePairSpread(5),
                                       makePairSpread(6), makePairSpread(7), makePairSpread(8)};

__attribute__((target("avx2"))) inline __m256i weightPair(uint64_t colourIndices, unsigned colourBits,
                                                          uint64_t alphaIndices, unsigned alphaBits) {
    const PairSpread& s = kPairSpread[(colourBits - 2) * 3 + alphaBits - 2];
    const __m256i v =
        _mm256_set_epi64x(0, static_cast<long long>(alphaIndices), 0, static_cast<long long>(colourIndices));
    const __m256i shift = load(s.shift), mask = load(s.mask);
    const __m256i low =
        _mm256_and_si256(_mm256_srli_epi16(_mm256_mullo_epi16(_mm256_shuffle_epi8(v, load(s.low)), shift), 8), mask);
    const __m256i high =
        _mm256_and_si256(_mm256_srli_epi16(_mm256_mullo_epi16(_mm256_shuffle_epi8(v, load(s.high)), shift), 8), mask);
    return _mm256_shuffle_epi8(load(s.weights), _mm256_packus_epi16(low, high));
}

// The SSSE3 mixer's work two rows at a time, one row in each half of the registers.
__attribute__((target("avx2"))) inline void mixBc7Avx2(__m256i ends, uint32_t subsetMap, uint64_t colourIndices,
                                                       unsigned colourBits, uint64_t alphaIndices, unsigned alphaBits,
                                                       unsigned rotation, uint8_t* const* rows, size_t at) {
    const __m256i e0Table = _mm256_permute2x128_si256(ends, ends, 0x00);
    const __m256i e1Table = _mm256_permute2x128_si256(ends, ends, 0x11);
    const __m256i offsets = both(colourOffsets(subsetMap));
    const __m256i weights = weightPair(colourIndices, colourBits, alphaIndices, alphaBits);
    const __m256i colourW = _mm256_permute2x128_si256(weights, weights, 0x00);
    const __m256i alphaW = _mm256_permute2x128_si256(weights, weights, 0x11);
    const __m256i rotate = both(load128(kRotations[rotation]));
    const __m256i lanes = _mm256_set1_epi32(0x03020100);
    const __m256i sixtyFour = _mm256_set1_epi8(64), half = _mm256_set1_epi16(32);
    for (int g = 0; g < 4; g += 2) {
        const __m256i select = _mm256_or_si256(_mm256_shuffle_epi8(offsets, load(kRows.spread[g])), lanes);
        const __m256i e0 = _mm256_shuffle_epi8(e0Table, select), e1 = _mm256_shuffle_epi8(e1Table, select);
        const __m256i w = _mm256_or_si256(_mm256_shuffle_epi8(colourW, load(kRows.colour[g])),
                                          _mm256_shuffle_epi8(alphaW, load(kRows.alpha[g])));
        const __m256i inverse = _mm256_sub_epi8(sixtyFour, w);
        const __m256i low = _mm256_maddubs_epi16(_mm256_unpacklo_epi8(e0, e1), _mm256_unpacklo_epi8(inverse, w));
        const __m256i high = _mm256_maddubs_epi16(_mm256_unpackhi_epi8(e0, e1), _mm256_unpackhi_epi8(inverse, w));
        const __m256i out = _mm256_shuffle_epi8(_mm256_packus_epi16(_mm256_srli_epi16(_mm256_add_epi16(low, half), 6),
                                                                    _mm256_srli_epi16(_mm256_add_epi16(high, half), 6)),
                                                rotate);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(rows[g] + at), _mm256_castsi256_si128(out));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(rows[g + 1] + at), _mm256_extracti128_si256(out, 1));
    }
}

// A whole block into four rows with the mode read at run time: the fields' widths and positions
// come from tables rather than from code per mode, so that blocks of mixed modes do not mispredict
// their way through eight different decoders.
__attribute__((target("avx2"), always_inline)) inline void decodeBc7Avx2(const uint8_t* block, uint8_t* const* rows,
                                                                         size_t at) {
    if (block[0] == 0) {
        for (int y = 0; y < 4; ++y) std::memset(rows[y] + at, 0, 16);
        return;
    }
    const auto mode = static_cast<unsigned>(__builtin_ctz(block[0]));
    const Bc7Mode& m = kBc7Modes[mode];
    const Bc7Tables& t = kBc7Tables[mode];
    BitReader bits(block);
    unsigned position = mode + 1;
    const unsigned partition = bits.at(position, m.partitionBits);
    position += m.partitionBits;
    const unsigned rotation = bits.at(position, m.rotationBits);
    position += m.rotationBits;
    const unsigned selector = bits.at(position, m.selectorBits);
    position += m.selectorBits + t.endpointBits;
    const __m256i ends = bc7EndsAvx2(t, block);
    const unsigned stored = 16 * m.indexBits - m.subsets;
    // A set of 16 x 4 bits takes the whole word; the mask is made without a branch on the mode.
    uint64_t colourIndices =
        spreadAnchors(bits.from64(position), m.indexBits, kPartitions.anchorPixels[m.subsets - 1][partition]) &
        (~uint64_t{0} >> (64 - 16 * m.indexBits));
    uint64_t alphaIndices = colourIndices;
    unsigned colourBits = m.indexBits, alphaBits = m.indexBits;
    if (m.secondIndexBits != 0) {
        // Modes 4 and 5: the second set's only anchor is pixel 0; the selector swaps the sets' roles.
        const uint64_t second = spreadAnchors(bits.from64(position + stored), m.secondIndexBits, kFirstPixelOnly) &
                                ((uint64_t{1} << (16 * m.secondIndexBits)) - 1);
        (selector ? colourIndices : alphaIndices) = second;
        (selector ? colourBits : alphaBits) = m.secondIndexBits;
    }
    mixBc7Avx2(ends, kPartitions.subsets[m.subsets - 1][partition], colourIndices, colourBits, alphaIndices, alphaBits,
               rotation, rows, at);
}
#endif

} // namespace

namespace detail {

#ifdef VEK_SIMD_X86
void stripBc1Vector(const uint8_t* in, uint32_t blocks, uint8_t* const* rows) {
    stripSsse3<Colour::Bc1>(in, blocks, rows, true);
}
void stripBc2Vector(const uint8_t* in, uint32_t blocks, uint8_t* const* rows) {
    stripSsse3<Colour::Bc2>(in, blocks, rows, false);
}
void stripBc3Vector(const uint8_t* in, uint32_t blocks, uint8_t* const* rows) {
    stripSsse3<Colour::Bc3>(in, blocks, rows, false);
}
void stripBc4GreyVector(const uint8_t* in, uint32_t blocks, uint8_t* const* rows) { stripBc4Ssse3(in, blocks, rows); }
void stripBc5Vector(const uint8_t* in, uint32_t blocks, uint8_t* const* rows) { stripBc5Ssse3(in, blocks, rows); }

void mixBc7(const uint8_t (&ends)[2][16], uint32_t subsetMap, uint64_t colourIndices, unsigned colourIndexBits,
            uint64_t alphaIndices, unsigned alphaIndexBits, unsigned rotation, uint8_t* const* rows, size_t at) {
    mixBc7Ssse3(ends, subsetMap, colourIndices, colourIndexBits, alphaIndices, alphaIndexBits, rotation, rows, at);
}
__attribute__((target("avx2"))) void stripBc7Avx2(const uint8_t* in, uint32_t blocks, uint8_t* const* rows) {
    for (uint32_t bx = 0; bx < blocks; ++bx) decodeBc7Avx2(in + bx * 16, rows, static_cast<size_t>(bx) * 16);
}
#else
// Never chosen: no processor without these instructions runs at SSSE3.
void stripBc1Vector(const uint8_t*, uint32_t, uint8_t* const*) {}
void stripBc2Vector(const uint8_t*, uint32_t, uint8_t* const*) {}
void stripBc3Vector(const uint8_t*, uint32_t, uint8_t* const*) {}
void stripBc4GreyVector(const uint8_t*, uint32_t, uint8_t* const*) {}
void stripBc5Vector(const uint8_t*, uint32_t, uint8_t* const*) {}
void mixBc7(const uint8_t (&)[2][16], uint32_t, uint64_t, unsigned, uint64_t, unsigned, unsigned, uint8_t* const*,
            size_t) {}
void stripBc7Avx2(const uint8_t*, uint32_t, uint8_t* const*) {}
#endif

} // namespace detail

} // namespace vek::bcn
