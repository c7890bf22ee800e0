// BC6H: half-float colours in fourteen modes of endpoints, deltas and one or two regions, clamped
// to 0..1 and reduced to 8 bits.
#include "libvek/core/pixels.h"
#include "libvek/formats/bcn_common.h"

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

void decodeBc6h(const uint8_t* block, uint32_t* bgra, bool isSigned) {
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
    int endpoints[4][3]; // w, x, y, z by channel
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

namespace detail {

void stripBc6h(Codec codec, const uint8_t* in, uint32_t across, uint8_t* const* rows, uint32_t rowCount, uint32_t width,
               bool grey) {
    if (codec == Codec::Bc6hSigned)
        strip([](const uint8_t* b, uint32_t* o) { decodeBc6h(b, o, true); }, 16, in, across, rows, rowCount, width,
              grey, 0);
    else
        strip([](const uint8_t* b, uint32_t* o) { decodeBc6h(b, o, false); }, 16, in, across, rows, rowCount, width,
              grey, 0);
}

} // namespace detail
} // namespace vek::bcn
