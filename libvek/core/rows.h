// Row kernels the readers and the conversion share: one row of one pixel form into BGRA (straight
// alpha, 255 opaque), with SSSE3 where the processor has it and the scalar loop for the rest.
#pragma once

#include <cstddef>
#include <cstdint>

#include "support/simd.h"

namespace vek::rows {

// Blue, green, red (BMP, TGA) to BGRA.
void bgrToBgra(const uint8_t* in, uint8_t* out, size_t pixels, simd::Level kernels);
// Red, green, blue (PNG) to BGRA.
void rgbToBgra(const uint8_t* in, uint8_t* out, size_t pixels, simd::Level kernels);
// Red, green, blue, alpha to BGRA, in place or not.
void rgbaToBgra(const uint8_t* in, uint8_t* out, size_t pixels, simd::Level kernels);
// Grey to opaque BGRA.
void greyToBgra(const uint8_t* in, uint8_t* out, size_t pixels, simd::Level kernels);
// Palette indices through 256 BGRA words.
void indexedToBgra(const uint8_t* in, uint8_t* out, size_t pixels, const uint32_t* words);

} // namespace vek::rows
