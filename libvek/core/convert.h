#pragma once

#include "libvek/core/image.h"

namespace vek {

// Writes one stored row of any layout as BGRA with straight alpha: palette colours with alpha 0 at
// the transparent index, indices past the palette black, grey opaque.
void rowToBgra(Layout layout, const uint8_t* in, uint8_t* out, int32_t width, const uint32_t* paletteBgra,
               simd::Level kernels);

// The 256 BGRA words an indexed picture's indices stand for.
void paletteWords(const uint8_t* palette, uint16_t entries, int16_t transparentIndex, uint32_t* words);

} // namespace vek
