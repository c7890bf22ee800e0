#pragma once

#include <stdint.h>

#include "support/simd.h"

namespace imaging {

constexpr int kCheckerSquare = 8;
constexpr uint8_t kCheckerLight = 255;
constexpr uint8_t kCheckerDark = 204;

// Exact floor(x / 255) for every x up to 255 * 255 (tested exhaustively), without a division.
constexpr uint32_t divide255(uint32_t x) { return (x + 1 + (x >> 8)) >> 8; }

// One channel of a pixel with alpha a laid over a checker shade, truncated as the integer division
// (channel * a + (255 - a) * shade) / 255. Alpha 255 keeps the channel and 0 gives the shade.
constexpr uint8_t blendOverShade(uint32_t channel, uint32_t alpha, uint32_t shade) {
    return static_cast<uint8_t>(divide255(channel * alpha + (255 - alpha) * shade));
}

// The compositing loops at a level of vector instructions; the fastest one the processor runs is
// chosen once a picture. Exposed so that tests hold every level to the same results.
void checkerboardCompositeWith(simd::Level kernels, uint8_t* pixels, int32_t width, int32_t height);

} // namespace imaging

// Lays a bottom-up BGRA picture with straight alpha over a white and light-grey checkerboard of
// 8-pixel squares, in place. The top-left square as displayed is white. Alpha bytes never change.
void CheckerboardComposite(uint8_t* pixels, int32_t width, int32_t height);
