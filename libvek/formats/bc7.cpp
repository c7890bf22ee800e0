// BC7: eight modes of one to three subsets, their endpoints, p-bits, rotations and index sets.
#include <cstring>
#include <type_traits>

#include "libvek/core/pixels.h"
#include "libvek/formats/bcn_common.h"
#include "support/simd.h"

namespace vek::bcn {
namespace {

using namespace detail;

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

} // namespace

void decodeBc7(const uint8_t* block, uint32_t* bgra) { decodeBc7Block(block, ToWords{bgra}); }

namespace detail {

// Whole blocks of a whole strip straight into its rows by the vector path; the rest through words.
void stripBc7(const uint8_t* in, uint32_t across, uint8_t* const* rows, uint32_t rowCount, uint32_t width, bool grey,
              simd::Level kernels) {
    uint32_t from = 0;
    if (rowCount == 4 && !grey && simd::allows(kernels, simd::Level::Ssse3)) {
        from = width / 4;
#ifdef VEK_SIMD_X86
        if (simd::allows(kernels, simd::Level::Avx2)) {
            stripBc7Avx2(in, from, rows);
            return strip(decodeBc7, 16, in, across, rows, rowCount, width, grey, from);
        }
#endif
        for (uint32_t bx = 0; bx < from; ++bx) decodeBc7Block(in + bx * 16, ToRows{rows, static_cast<size_t>(bx) * 16});
    }
    strip(decodeBc7, 16, in, across, rows, rowCount, width, grey, from);
}

} // namespace detail
} // namespace vek::bcn
