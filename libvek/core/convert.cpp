#include "libvek/core/convert.h"

#include <cstring>

#include "libvek/core/rows.h"

namespace vek {

void paletteWords(const uint8_t* palette, uint16_t entries, int16_t transparentIndex, uint32_t* words) {
    for (int i = 0; i < 256; ++i) {
        const uint8_t* e = palette + i * 4;
        const uint8_t alpha = i >= entries ? 255 : e[3];
        const uint32_t colour = i >= entries ? 0u : (e[0] | (e[1] << 8) | (e[2] << 16));
        words[i] = colour | (static_cast<uint32_t>(i == transparentIndex ? 0 : alpha) << 24);
    }
}

void rowToBgra(Layout layout, const uint8_t* in, uint8_t* out, int32_t width, const uint32_t* paletteBgra,
               simd::Level kernels) {
    const size_t n = static_cast<size_t>(width);
    switch (layout) {
    case Layout::Bgra32: std::memcpy(out, in, n * 4); break;
    case Layout::Indexed8: rows::indexedToBgra(in, out, n, paletteBgra); break;
    case Layout::Gray8: rows::greyToBgra(in, out, n, kernels); break;
    }
}

} // namespace vek
