// BC6H: half-float colours in fourteen modes of endpoints, deltas and one or two regions, clamped
// to 0..1 and reduced to 8 bits.
#include "libvek/core/pixels.h"
#include "libvek/formats/bcn_common.h"
#include "support/simd.h"

#ifdef VEK_SIMD_X86
#include <immintrin.h>
#endif

namespace vek::bcn {

using namespace detail;

namespace {

struct Bc6Mode {
    bool transformed;
    unsigned endpointBits;
    unsigned deltaBits[3];
    unsigned regions;
    unsigned fieldBits; // endpoint bits laid out by the table below
};
// Modes in the order their mode codes are listed: 0, 1 (two-bit codes), then the five-bit codes
// 2, 6, 10, 14, 18, 22, 26, 30, 3, 7, 11, 15.
constexpr Bc6Mode kBc6Modes[14] = {
    {true, 10, {5, 5, 5}, 2, 75}, {true, 7, {6, 6, 6}, 2, 75},      {true, 11, {5, 4, 4}, 2, 72},
    {true, 11, {4, 5, 4}, 2, 72}, {true, 11, {4, 4, 5}, 2, 72},     {true, 9, {5, 5, 5}, 2, 72},
    {true, 8, {6, 5, 5}, 2, 72},  {true, 8, {5, 6, 5}, 2, 72},      {true, 8, {5, 5, 6}, 2, 72},
    {false, 6, {6, 6, 6}, 2, 72}, {false, 10, {10, 10, 10}, 1, 60}, {true, 11, {9, 9, 9}, 1, 60},
    {true, 12, {8, 8, 8}, 1, 60}, {true, 16, {4, 4, 4}, 1, 60},
};
// Where each bit after the mode code goes: field (high nibble) and bit (low nibble). Fields are the
// red, green and blue of endpoints w, x, y and z: 0 rw, 1 gw, 2 bw, 3 rx, ..., 11 bz.
constexpr uint8_t kBc6Layout[14][75] = {
    {116, 132, 180, 0,   1,   2,   3,  4,  5,  6,  7,   8,   9,   16,  17,  18,  19,  20, 21,
     22,  23,  24,  25,  32,  33,  34, 35, 36, 37, 38,  39,  40,  41,  48,  49,  50,  51, 52,
     164, 112, 113, 114, 115, 64,  65, 66, 67, 68, 176, 160, 161, 162, 163, 80,  81,  82, 83,
     84,  177, 128, 129, 130, 131, 96, 97, 98, 99, 100, 178, 144, 145, 146, 147, 148, 179},
    {117, 164, 165, 0,   1,   2,   3,  4,  5,  6,  176, 177, 132, 16,  17,  18,  19,  20, 21,
     22,  133, 178, 116, 32,  33,  34, 35, 36, 37, 38,  179, 181, 180, 48,  49,  50,  51, 52,
     53,  112, 113, 114, 115, 64,  65, 66, 67, 68, 69,  160, 161, 162, 163, 80,  81,  82, 83,
     84,  85,  128, 129, 130, 131, 96, 97, 98, 99, 100, 101, 144, 145, 146, 147, 148, 149},
    {0,   1,   2,  3,  4,  5,  6,  7,   8,   9,   16,  17,  18,  19,  20,  21,  22,  23,  24,  25,  32,  33,  34,  35,
     36,  37,  38, 39, 40, 41, 48, 49,  50,  51,  52,  10,  112, 113, 114, 115, 64,  65,  66,  67,  26,  176, 160, 161,
     162, 163, 80, 81, 82, 83, 42, 177, 128, 129, 130, 131, 96,  97,  98,  99,  100, 178, 144, 145, 146, 147, 148, 179},
    {0,   1,   2,  3,  4,  5,  6,  7,   8,   9,   16,  17,  18,  19,  20,  21,  22,  23,  24,  25,  32,  33,  34,  35,
     36,  37,  38, 39, 40, 41, 48, 49,  50,  51,  10,  164, 112, 113, 114, 115, 64,  65,  66,  67,  68,  26,  160, 161,
     162, 163, 80, 81, 82, 83, 42, 177, 128, 129, 130, 131, 96,  97,  98,  99,  176, 178, 144, 145, 146, 147, 116, 179},
    {0,   1,   2,  3,  4,  5,  6,  7,  8,   9,   16,  17,  18,  19,  20,  21,  22,  23,  24,  25,  32,  33,  34,  35,
     36,  37,  38, 39, 40, 41, 48, 49, 50,  51,  10,  132, 112, 113, 114, 115, 64,  65,  66,  67,  26,  176, 160, 161,
     162, 163, 80, 81, 82, 83, 84, 42, 128, 129, 130, 131, 96,  97,  98,  99,  177, 178, 144, 145, 146, 147, 180, 179},
    {0,   1,   2,   3,   4,   5,   6,  7,  8,  132, 16,  17,  18,  19,  20,  21,  22,  23,
     24,  116, 32,  33,  34,  35,  36, 37, 38, 39,  40,  180, 48,  49,  50,  51,  52,  164,
     112, 113, 114, 115, 64,  65,  66, 67, 68, 176, 160, 161, 162, 163, 80,  81,  82,  83,
     84,  177, 128, 129, 130, 131, 96, 97, 98, 99,  100, 178, 144, 145, 146, 147, 148, 179},
    {0,   1,   2,   3,   4,   5,   6,  7,  164, 132, 16,  17,  18,  19,  20,  21,  22,  23,
     178, 116, 32,  33,  34,  35,  36, 37, 38,  39,  179, 180, 48,  49,  50,  51,  52,  53,
     112, 113, 114, 115, 64,  65,  66, 67, 68,  176, 160, 161, 162, 163, 80,  81,  82,  83,
     84,  177, 128, 129, 130, 131, 96, 97, 98,  99,  100, 101, 144, 145, 146, 147, 148, 149},
    {0,   1,   2,   3,   4,   5,   6,  7,  176, 132, 16,  17,  18,  19,  20,  21,  22,  23,
     117, 116, 32,  33,  34,  35,  36, 37, 38,  39,  165, 180, 48,  49,  50,  51,  52,  164,
     112, 113, 114, 115, 64,  65,  66, 67, 68,  69,  160, 161, 162, 163, 80,  81,  82,  83,
     84,  177, 128, 129, 130, 131, 96, 97, 98,  99,  100, 178, 144, 145, 146, 147, 148, 179},
    {0,   1,   2,   3,   4,   5,   6,  7,  177, 132, 16,  17,  18,  19,  20,  21,  22,  23,
     133, 116, 32,  33,  34,  35,  36, 37, 38,  39,  181, 180, 48,  49,  50,  51,  52,  164,
     112, 113, 114, 115, 64,  65,  66, 67, 68,  176, 160, 161, 162, 163, 80,  81,  82,  83,
     84,  85,  128, 129, 130, 131, 96, 97, 98,  99,  100, 178, 144, 145, 146, 147, 148, 179},
    {0,   1,   2,   3,   4,   5,   164, 176, 177, 132, 16,  17,  18,  19,  20,  21,  117, 133,
     178, 116, 32,  33,  34,  35,  36,  37,  165, 179, 181, 180, 48,  49,  50,  51,  52,  53,
     112, 113, 114, 115, 64,  65,  66,  67,  68,  69,  160, 161, 162, 163, 80,  81,  82,  83,
     84,  85,  128, 129, 130, 131, 96,  97,  98,  99,  100, 101, 144, 145, 146, 147, 148, 149},
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
    uint8_t field, firstBit, length, position; // position: from the first bit after the mode code
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
            r.runs[m][n++] =
                Bc6Run{static_cast<uint8_t>(where >> 4), static_cast<uint8_t>(where & 15), 1, static_cast<uint8_t>(i)};
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
    if (exponent == 31) return mantissa ? 0 : 255; // NaN to 0, infinity to 255
    float f;
    if (exponent == 0)
        f = static_cast<float>(mantissa) / 16777216.0f; // subnormal: m x 2^-24
    else
        f = (1.0f + static_cast<float>(mantissa) / 1024.0f) * static_cast<float>(1u << exponent) / 32768.0f;
    if (f >= 1.0f) return 255;
    return static_cast<uint8_t>(f * 255.0f); // truncated, as other BC6H decoders do
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

namespace {

// A block's endpoints, unquantized, and what places its pixels between them.
struct Bc6Block {
    int endpoints[4][3]; // w, x, y, z by channel
    uint64_t indices;    // as stored: one bit fewer at each anchor
    uint32_t subsetMap;
    unsigned anchors, indexBits;
    const uint8_t (*anchorPixels)[3];
};

// False for the reserved modes.
bool readBc6h(const uint8_t* block, bool isSigned, Bc6Block& out) {
    BitReader bits(block);
    unsigned code = bits.read(2);
    int modeIndex;
    if (code < 2) {
        modeIndex = static_cast<int>(code);
    } else {
        code |= bits.read(3) << 2;
        static const int kFiveBitModes[32] = {-1, -1, 2, 10, -1, -1, 3, 11, -1, -1, 4, 12, -1, -1, 5, 13,
                                              -1, -1, 6, -1, -1, -1, 7, -1, -1, -1, 8, -1, -1, -1, 9, -1};
        modeIndex = kFiveBitModes[code];
    }
    if (modeIndex < 0) return false;
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
    auto& endpoints = out.endpoints;
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
    for (unsigned e = endpointCount; e < 4; ++e)
        for (unsigned c = 0; c < 3; ++c) endpoints[e][c] = 0;
    out.indexBits = m.regions == 2 ? 3 : 4;
    // The indices fill the rest of the block: 46 or 63 bits, one word.
    out.indices = bits.peek64();
    out.subsetMap = kPartitions.subsets[m.regions - 1][partition];
    out.anchors = kPartitions.anchors[m.regions - 1][partition];
    out.anchorPixels = &kPartitions.anchorPixels[m.regions - 1][partition];
    return true;
}

void pixelsBc6h(const Bc6Block& b, bool isSigned, uint32_t* bgra) {
    const int* weights = weightsFor(b.indexBits);
    const uint8_t* bytes = halfBytes();
    unsigned used = 0;
    for (unsigned i = 0; i < 16; ++i) {
        const unsigned region = (b.subsetMap >> (2 * i)) & 3;
        const unsigned n = b.indexBits - ((b.anchors >> i) & 1);
        const int w = weights[(b.indices >> used) & ((1u << n) - 1)];
        used += n;
        unsigned out[3];
        for (unsigned c = 0; c < 3; ++c) {
            const int lo = b.endpoints[region * 2][c], hi = b.endpoints[region * 2 + 1][c];
            out[c] = halfByte(bytes, finishUnquantize(((64 - w) * lo + w * hi + 32) >> 6, isSigned));
        }
        bgra[i] = bgraWord(out[0], out[1], out[2], 255);
    }
}

#ifdef VEK_SIMD_X86
// Eight pixels a step for each channel, to the scalar path's bytes: the interpolation in integers,
// a non-negative half's bits made a float by a shift and an exact scaling, then clamped and scaled
// to a byte. (Halves below 2^-14, which a flush-to-zero mode would read as 0, give 0 either way.)
__attribute__((target("avx2"))) void pixelsBc6hAvx2(const Bc6Block& b, bool isSigned, uint32_t* bgra) {
    const unsigned n = b.indexBits;
    const uint64_t spread = spreadAnchors(b.indices, n, *b.anchorPixels);
    const __m256 scale = _mm256_castsi256_ps(_mm256_set1_epi32((127 + 112) << 23)), one = _mm256_set1_ps(1.0f),
                 byteTop = _mm256_set1_ps(255.0f);
    // The weight tables in registers: eight entries for three-bit indices, sixteen in two halves for four.
    const __m256i weightsLow = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(n == 3 ? kWeights3 : kWeights4));
    const __m256i weightsHigh = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kWeights4 + 8));
    const __m256i indexShifts =
        n == 3 ? _mm256_setr_epi32(0, 3, 6, 9, 12, 15, 18, 21) : _mm256_setr_epi32(0, 4, 8, 12, 16, 20, 24, 28);
    for (unsigned half = 0; half < 2; ++half) {
        // Eight pixels' indices from one 32-bit window of the spread indices.
        const auto window = static_cast<int>(static_cast<uint32_t>(spread >> (8 * n * half)));
        const __m256i index = _mm256_and_si256(_mm256_srlv_epi32(_mm256_set1_epi32(window), indexShifts),
                                               _mm256_set1_epi32(static_cast<int>((1u << n) - 1)));
        __m256i weight = _mm256_permutevar8x32_epi32(weightsLow, index);
        if (n == 4)
            weight = _mm256_blendv_epi8(weight, _mm256_permutevar8x32_epi32(weightsHigh, index),
                                        _mm256_cmpgt_epi32(index, _mm256_set1_epi32(7)));
        const __m256i shifts = _mm256_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14);
        const __m256i region =
            _mm256_and_si256(_mm256_srlv_epi32(_mm256_set1_epi32(static_cast<int>(b.subsetMap >> (16 * half))), shifts),
                             _mm256_set1_epi32(3));
        const __m256i second = _mm256_cmpeq_epi32(region, _mm256_set1_epi32(1));
        __m256i word = _mm256_set1_epi32(static_cast<int>(0xFF000000u));
        for (unsigned c = 0; c < 3; ++c) {
            const __m256i lo =
                _mm256_blendv_epi8(_mm256_set1_epi32(b.endpoints[0][c]), _mm256_set1_epi32(b.endpoints[2][c]), second);
            const __m256i hi =
                _mm256_blendv_epi8(_mm256_set1_epi32(b.endpoints[1][c]), _mm256_set1_epi32(b.endpoints[3][c]), second);
            // ((64 - w) lo + w hi + 32) >> 6, as lo + (w (hi - lo) + 32) >> 6.
            __m256i v = _mm256_add_epi32(
                lo,
                _mm256_srai_epi32(
                    _mm256_add_epi32(_mm256_mullo_epi32(weight, _mm256_sub_epi32(hi, lo)), _mm256_set1_epi32(32)), 6));
            // Negative values, signed only, are 0.
            const __m256i times31 =
                _mm256_mullo_epi32(_mm256_max_epi32(v, _mm256_setzero_si256()), _mm256_set1_epi32(31));
            const __m256i halfBits = isSigned ? _mm256_srli_epi32(times31, 5) : _mm256_srli_epi32(times31, 6);
            __m256 f = _mm256_mul_ps(_mm256_castsi256_ps(_mm256_slli_epi32(halfBits, 13)), scale);
            f = _mm256_mul_ps(_mm256_min_ps(f, one), byteTop);
            v = _mm256_cvttps_epi32(f);
            word = _mm256_or_si256(word, _mm256_slli_epi32(v, static_cast<int>(16 - 8 * c)));
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(bgra + 8 * half), word);
    }
}
#endif

// A block through the given pixel writer; reserved modes decode to black.
template <typename Pixels> inline void decodeWith(Pixels pixels, const uint8_t* block, uint32_t* bgra, bool isSigned) {
    Bc6Block b;
    if (readBc6h(block, isSigned, b))
        pixels(b, isSigned, bgra);
    else
        std::fill(bgra, bgra + 16, 0xFF000000u);
}

} // namespace

void decodeBc6h(const uint8_t* block, uint32_t* bgra, bool isSigned) { decodeWith(pixelsBc6h, block, bgra, isSigned); }

namespace detail {

void stripBc6h(Codec codec, const uint8_t* in, uint32_t across, uint8_t* const* rows, uint32_t rowCount, uint32_t width,
               bool grey, [[maybe_unused]] simd::Level kernels) {
    const bool isSigned = codec == Codec::Bc6hSigned;
#ifdef VEK_SIMD_X86
    if (simd::allows(kernels, simd::Level::Avx2)) {
        strip([isSigned](const uint8_t* b, uint32_t* o) { decodeWith(pixelsBc6hAvx2, b, o, isSigned); }, 16, in, across,
              rows, rowCount, width, grey, 0);
        return;
    }
#endif
    if (isSigned)
        strip([](const uint8_t* b, uint32_t* o) { decodeBc6h(b, o, true); }, 16, in, across, rows, rowCount, width,
              grey, 0);
    else
        strip([](const uint8_t* b, uint32_t* o) { decodeBc6h(b, o, false); }, 16, in, across, rows, rowCount, width,
              grey, 0);
}

} // namespace detail
} // namespace vek::bcn
