// Block-compressed texture formats: each call decodes one 4 x 4 block into 16 BGRA pixels (words
// whose bytes are blue, green, red, alpha), in rows of four, top row first.
#pragma once

#include <cstddef>
#include <cstdint>

#include "support/simd.h"

namespace vek::bcn {

void decodeBc1(const uint8_t* block, uint32_t* bgra, bool punchThrough);
void decodeBc2(const uint8_t* block, uint32_t* bgra);
void decodeBc3(const uint8_t* block, uint32_t* bgra);
// One channel: grey for BC4, red and green (blue 0) for BC5. Signed blocks run -127 to 127.
void decodeBc4(const uint8_t* block, uint32_t* bgra, bool isSigned);
void decodeBc5(const uint8_t* block, uint32_t* bgra, bool isSigned);
// HDR: half-float colours clamped to 0..1, then to 8 bits.
void decodeBc6h(const uint8_t* block, uint32_t* bgra, bool isSigned);
void decodeBc7(const uint8_t* block, uint32_t* bgra);

enum class Codec { Bc1, Bc2, Bc3, Bc4, Bc4Signed, Bc5, Bc5Signed, Bc6h, Bc6hSigned, Bc7 };

size_t blockBytes(Codec codec);

// One row of blocks: `across` blocks from `in` into the (up to) four picture rows given, `width`
// pixels wide; with grey, one byte a pixel (the blue channel) instead of four; vector paths as the
// level allows.
void decodeStrip(Codec codec, const uint8_t* in, uint32_t across, uint8_t* const* rows, uint32_t rowCount,
                 uint32_t width, bool grey, simd::Level kernels);

// Half-float bits to an 8-bit channel: clamped to 0..1, scaled to 255 and truncated.
uint8_t halfToByte(uint16_t half);

} // namespace vek::bcn
