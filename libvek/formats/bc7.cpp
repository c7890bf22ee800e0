// BC7: eight modes of one to three subsets, their endpoints, p-bits, rotations and index sets.
#include <cstring>
#include <type_traits>

#include "libvek/core/pixels.h"
#include "libvek/formats/bcn_common.h"
#include "support/simd.h"

#ifdef VEK_SIMD_X86
#include <immintrin.h>
#endif

namespace vek::bcn {
namespace {

using namespace detail;

struct Bc7Mode {
    unsigned subsets, partitionBits, rotationBits, selectorBits, colourBits, alphaBits, endpointPBits, sharedPBits,
        indexBits, secondIndexBits;
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

// Where a block's pixels go: sixteen words (the scalar path, whose strip copies them on), or
// straight into four rows of a strip (the vector path, whole blocks only).
struct ToWords {
    uint32_t* bgra;
};
struct ToRows {
    uint8_t* const* rows;
    size_t at;
};

#ifdef VEK_SIMD_X86
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
__attribute__((target("avx2"))) void bc7EndsAvx2(const Bc7Tables& t, const uint8_t* block, uint8_t (&ends)[2][16]) {
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
    const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi16(out[0], out[1]), 0xD8);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(&ends[0][0]), packed);
}
#endif

// The helpers below are forced inline: the mode's widths must stay known inside them, as they were
// when the block was one function, or the unrolled loops become loops again.
using Bc7Endpoints = unsigned[3][2][4]; // subset, endpoint, channel (r, g, b, a)

// The endpoints as stored, then their p-bits appended, then each expanded to 8 bits.
template <unsigned Mode> [[gnu::always_inline]] inline void readBc7Endpoints(BitReader& bits, Bc7Endpoints& endpoints) {
    constexpr Bc7Mode m = kBc7Modes[Mode];
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
}

struct Bc7Indices {
    uint64_t colour, alpha;
    unsigned colourBits, alphaBits;
};

// The indices: one set (two in modes 4 and 5), each pixel's fewer by a bit at its subset's anchor;
// a set is at most 63 bits as stored and 64 spread, so one word holds it. In modes 4 and 5 the
// selector bit swaps which set drives the colour and which the alpha.
template <unsigned Mode>
[[gnu::always_inline]] inline Bc7Indices readBc7Indices(BitReader& bits, unsigned partition, unsigned selector) {
    constexpr Bc7Mode m = kBc7Modes[Mode];
    auto read = [&](unsigned width, const uint8_t(&anchors)[3], unsigned anchorCount) {
        const unsigned stored = 16 * width - anchorCount;
        const uint64_t spread = spreadAnchors(bits.peek64(), width, anchors);
        bits.skip(stored);
        return 16 * width == 64 ? spread : spread & ((uint64_t{1} << (16 * width)) - 1);
    };
    const uint64_t primary = read(m.indexBits, kPartitions.anchorPixels[m.subsets - 1][partition], m.subsets);
    Bc7Indices indices{primary, primary, m.indexBits, m.indexBits};
    if constexpr (m.secondIndexBits != 0) {
        const uint64_t secondary = read(m.secondIndexBits, kFirstPixelOnly, 1);
        (selector ? indices.colour : indices.alpha) = secondary;
        (selector ? indices.colourBits : indices.alphaBits) = m.secondIndexBits;
    }
    return indices;
}

inline unsigned bc7Index(uint64_t word, unsigned width, unsigned i) {
    return static_cast<unsigned>((word >> (width * i)) & ((1u << width) - 1));
}

inline unsigned mixChannel(const unsigned* e0, const unsigned* e1, int weight, unsigned c) {
    return interpolate(e0[c], e1[c], weight);
}

// One set drives colour and alpha alike: a palette of whole words per subset, one lookup a pixel.
template <unsigned Mode> [[gnu::always_inline]] inline void paletteBc7(const Bc7Endpoints& endpoints,
                                                                       uint32_t subsetMap, uint64_t indices,
                                                                       uint32_t* bgra) {
    constexpr Bc7Mode m = kBc7Modes[Mode];
    const int* weights = weightsFor(m.indexBits);
    uint32_t palette[3][16];
    for (unsigned s = 0; s < m.subsets; ++s) {
        const unsigned* e0 = endpoints[s][0];
        const unsigned* e1 = endpoints[s][1];
        for (unsigned k = 0; k < (1u << m.indexBits); ++k) {
            const int w = weights[k];
            palette[s][k] = bgraWord(mixChannel(e0, e1, w, 0), mixChannel(e0, e1, w, 1), mixChannel(e0, e1, w, 2),
                                     mixChannel(e0, e1, w, 3));
        }
    }
    for (unsigned i = 0; i < 16; ++i) bgra[i] = palette[(subsetMap >> (2 * i)) & 3][bc7Index(indices, m.indexBits, i)];
}

// Modes 4 and 5: one subset, colour and alpha from their own sets; rotation then swaps alpha with
// red, green or blue.
[[gnu::always_inline]] inline void rotatedBc7(const unsigned (&ends)[2][4], const Bc7Indices& indices,
                                              unsigned rotation, uint32_t* bgra) {
    const int* colourWeights = weightsFor(indices.colourBits);
    const int* alphaWeights = weightsFor(indices.alphaBits);
    const unsigned* e0 = ends[0];
    const unsigned* e1 = ends[1];
    uint32_t colours[8], alphas[8];
    for (unsigned k = 0; k < (1u << indices.colourBits); ++k) {
        const int w = colourWeights[k];
        colours[k] = bgraWord(mixChannel(e0, e1, w, 0), mixChannel(e0, e1, w, 1), mixChannel(e0, e1, w, 2), 0);
    }
    for (unsigned k = 0; k < (1u << indices.alphaBits); ++k) alphas[k] = mixChannel(e0, e1, alphaWeights[k], 3) << 24;
    const unsigned shift = 24 - 8 * rotation; // red, green and blue sit at bits 16, 8 and 0
    for (unsigned i = 0; i < 16; ++i) {
        uint32_t px = colours[bc7Index(indices.colour, indices.colourBits, i)] |
                      alphas[bc7Index(indices.alpha, indices.alphaBits, i)];
        if (rotation) {
            const uint32_t a = px >> 24, c = (px >> shift) & 0xFF;
            px = (px & ~((0xFFu << 24) | (0xFFu << shift))) | (c << 24) | (a << shift);
        }
        bgra[i] = px;
    }
}

// BC7, one mode at a time: its widths known when compiling, the loops unroll and the only branch
// on the data is the choice of mode. Pixels by the vector path, or per subset a palette of every
// index value's colour and one lookup a pixel.
template <unsigned Mode, typename Out> void decodeBc7Mode(const uint8_t* block, Out out) {
    constexpr Bc7Mode m = kBc7Modes[Mode];
    BitReader bits(block);
    bits.skip(Mode + 1);
    const unsigned partition = bits.read(m.partitionBits);
    const unsigned rotation = bits.read(m.rotationBits);
    const unsigned selector = bits.read(m.selectorBits);
    Bc7Endpoints endpoints = {};
    readBc7Endpoints<Mode>(bits, endpoints);
    const uint32_t subsetMap = kPartitions.subsets[m.subsets - 1][partition];
    const Bc7Indices indices = readBc7Indices<Mode>(bits, partition, selector);
    if constexpr (std::is_same_v<Out, ToRows>) {
        uint8_t ends[2][16] = {};
        for (unsigned s = 0; s < m.subsets; ++s)
            for (unsigned e = 0; e < 2; ++e)
                for (unsigned c = 0; c < 4; ++c) // blue, green, red, alpha from red, green, blue, alpha
                    ends[e][4 * s + c] = static_cast<uint8_t>(endpoints[s][e][c == 3 ? 3 : 2 - c]);
        detail::mixBc7(ends, subsetMap, indices.colour, indices.colourBits, indices.alpha, indices.alphaBits, rotation,
                       out.rows, out.at);
    } else if constexpr (m.secondIndexBits == 0) {
        paletteBc7<Mode>(endpoints, subsetMap, indices.colour, out.bgra);
    } else {
        rotatedBc7(endpoints[0], indices, rotation, out.bgra);
    }
}

template <typename Out> void decodeBc7Block(const uint8_t* block, Out out) {
    switch (block[0] == 0 ? 8 : __builtin_ctz(block[0])) {
    case 0: return decodeBc7Mode<0>(block, out);
    case 1: return decodeBc7Mode<1>(block, out);
    case 2: return decodeBc7Mode<2>(block, out);
    case 3: return decodeBc7Mode<3>(block, out);
    case 4: return decodeBc7Mode<4>(block, out);
    case 5: return decodeBc7Mode<5>(block, out);
    case 6: return decodeBc7Mode<6>(block, out);
    case 7: return decodeBc7Mode<7>(block, out);
    }
    // Reserved: a block of transparent black.
    if constexpr (std::is_same_v<Out, ToRows>) {
        for (int y = 0; y < 4; ++y) std::memset(out.rows[y] + out.at, 0, 16);
    } else {
        std::memset(out.bgra, 0, 64);
    }
}

#ifdef VEK_SIMD_X86
// A whole block into four rows with the mode read at run time: the fields' widths and positions
// come from tables rather than from code per mode, so that blocks of mixed modes do not mispredict
// their way through eight different decoders.
__attribute__((target("avx2"))) void decodeBc7Avx2(const uint8_t* block, uint8_t* const* rows, size_t at) {
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
    uint8_t ends[2][16];
    bc7EndsAvx2(t, block, ends);
    const unsigned stored = 16 * m.indexBits - m.subsets;
    uint64_t colourIndices =
        spreadAnchors(bits.from64(position), m.indexBits, kPartitions.anchorPixels[m.subsets - 1][partition]);
    if (m.indexBits < 4) colourIndices &= (uint64_t{1} << (16 * m.indexBits)) - 1;
    uint64_t alphaIndices = colourIndices;
    unsigned colourBits = m.indexBits, alphaBits = m.indexBits;
    if (m.secondIndexBits != 0) {
        // Modes 4 and 5: the second set's only anchor is pixel 0; the selector swaps the sets' roles.
        const uint64_t second = spreadAnchors(bits.from64(position + stored), m.secondIndexBits, kFirstPixelOnly) &
                                ((uint64_t{1} << (16 * m.secondIndexBits)) - 1);
        (selector ? colourIndices : alphaIndices) = second;
        (selector ? colourBits : alphaBits) = m.secondIndexBits;
    }
    detail::mixBc7(ends, kPartitions.subsets[m.subsets - 1][partition], colourIndices, colourBits, alphaIndices,
                   alphaBits, rotation, rows, at);
}
#endif

} // namespace

void decodeBc7(const uint8_t* block, uint32_t* bgra) { decodeBc7Block(block, ToWords{bgra}); }

namespace detail {

// Whole blocks of a whole strip straight into its rows by the vector path; the rest through words.
void stripBc7(const uint8_t* in, uint32_t across, uint8_t* const* rows, uint32_t rowCount, uint32_t width, bool grey) {
    uint32_t from = 0;
    if (rowCount == 4 && !grey && vectorPaths()) {
        from = width / 4;
#ifdef VEK_SIMD_X86
        if (simd::supports(simd::Feature::Avx2)) {
            for (uint32_t bx = 0; bx < from; ++bx) decodeBc7Avx2(in + bx * 16, rows, static_cast<size_t>(bx) * 16);
            return strip(decodeBc7, 16, in, across, rows, rowCount, width, grey, from);
        }
#endif
        for (uint32_t bx = 0; bx < from; ++bx) decodeBc7Block(in + bx * 16, ToRows{rows, static_cast<size_t>(bx) * 16});
    }
    strip(decodeBc7, 16, in, across, rows, rowCount, width, grey, from);
}

} // namespace detail
} // namespace vek::bcn
