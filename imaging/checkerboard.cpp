#include "imaging/checkerboard.h"

#include <cstddef>
#include <cstring>

using imaging::blendOverShade;

namespace {

// The blend formula gives the channel itself at alpha 255 and the shade at alpha 0, so one
// branch-free expression covers every pixel; a run of opaque pixels is still skipped cheaply.
inline void compositeSpan(uint8_t* p, int32_t count, uint32_t shade) {
    for (int32_t i = 0; i < count; ++i, p += 4) {
        const uint32_t a = p[3];
        if (a == 255) continue;
        p[0] = blendOverShade(p[0], a, shade);
        p[1] = blendOverShade(p[1], a, shade);
        p[2] = blendOverShade(p[2], a, shade);
    }
}

} // namespace

void CheckerboardComposite(uint8_t* pixels, int32_t width, int32_t height) {
    if (pixels == nullptr || width <= 0 || height <= 0) return;
    // The top row, last in memory, gets a counter of 15 mod 16, so the pattern starts at the top
    // left as the picture is displayed.
    const uint32_t firstRow = 16u - (static_cast<uint32_t>(height) & 15u);
    const size_t rowBytes = static_cast<size_t>(width) * 4;
    for (int32_t y = 0; y < height; ++y) {
        const uint32_t rowBit = (firstRow + static_cast<uint32_t>(y)) & 8u;
        uint8_t* row = pixels + rowBytes * static_cast<size_t>(y);
        for (int32_t x = 0; x < width; x += imaging::kCheckerSquare) {
            const int32_t span = width - x < imaging::kCheckerSquare ? width - x : imaging::kCheckerSquare;
            const uint32_t shade = ((rowBit ^ static_cast<uint32_t>(x)) & 8u) ? imaging::kCheckerLight
                                                                             : imaging::kCheckerDark;
            compositeSpan(row + static_cast<size_t>(x) * 4, span, shade);
        }
    }
}
