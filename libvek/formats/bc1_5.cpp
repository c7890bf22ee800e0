// BC1 to BC5: a colour half of two 5:6:5 endpoints and 2-bit indices (BC1, and under explicit or
// interpolated alpha BC2 and BC3), and BC4 and BC5's channels of two endpoints and 3-bit indices.
#include <cstring>

#include "libvek/core/pixels.h"
#include "libvek/formats/bcn_common.h"

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
        palette[2] =
            bgraWord((2 * e[0][0] + e[1][0]) / 3, (2 * e[0][1] + e[1][1]) / 3, (2 * e[0][2] + e[1][2]) / 3, 255);
        palette[3] =
            bgraWord((e[0][0] + 2 * e[1][0]) / 3, (e[0][1] + 2 * e[1][1]) / 3, (e[0][2] + 2 * e[1][2]) / 3, 255);
    } else {
        palette[2] = bgraWord((e[0][0] + e[1][0]) / 2, (e[0][1] + e[1][1]) / 2, (e[0][2] + e[1][2]) / 2, 255);
        palette[3] = 0; // punch-through: the fourth colour is transparent black
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
    for (int i = 0; i < 16; ++i, alphaIndices >>= 3, indices >>= 2)
        bgra[i] = palette[indices & 3] | alphas[alphaIndices & 7];
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

namespace detail {

void stripBc1To5(Codec codec, const uint8_t* in, uint32_t across, uint8_t* const* rows, uint32_t rowCount,
                 uint32_t width, bool grey, simd::Level kernels) {
    const size_t n = blockBytes(codec);
    uint32_t from = 0; // the first block for the scalar decoders
    // Whole blocks of whole strips take the vector path; a last column or strip cut short, and grey
    // pictures, the scalar one.
    if (rowCount == 4 && simd::allows(kernels, simd::Level::Ssse3)) {
        void (*vector)(const uint8_t*, uint32_t, uint8_t* const*) = nullptr;
        switch (codec) {
        case Codec::Bc1: vector = grey ? nullptr : stripBc1Vector; break;
        case Codec::Bc2: vector = grey ? nullptr : stripBc2Vector; break;
        case Codec::Bc3: vector = grey ? nullptr : stripBc3Vector; break;
        case Codec::Bc4: vector = grey ? stripBc4GreyVector : nullptr; break;
        case Codec::Bc5: vector = grey ? nullptr : stripBc5Vector; break;
        default: break;
        }
        if (vector != nullptr) {
            from = width / 4;
            vector(in, from, rows);
        }
    }
    auto run = [&](auto decode) { strip(decode, n, in, across, rows, rowCount, width, grey, from); };
    switch (codec) {
    case Codec::Bc1: run([](const uint8_t* b, uint32_t* o) { decodeBc1(b, o, true); }); break;
    case Codec::Bc2: run(decodeBc2); break;
    case Codec::Bc3: run(decodeBc3); break;
    case Codec::Bc4: run([](const uint8_t* b, uint32_t* o) { decodeBc4(b, o, false); }); break;
    case Codec::Bc4Signed: run([](const uint8_t* b, uint32_t* o) { decodeBc4(b, o, true); }); break;
    case Codec::Bc5: run([](const uint8_t* b, uint32_t* o) { decodeBc5(b, o, false); }); break;
    case Codec::Bc5Signed: run([](const uint8_t* b, uint32_t* o) { decodeBc5(b, o, true); }); break;
    default: break;
    }
}

} // namespace detail
} // namespace vek::bcn
