// Colour in Photoshop files beyond plain channels: Lab to sRGB, the display colours of alpha and
// spot channels (image resources 1077 and 1007), and multichannel pictures composited from their
// inks.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "libvek/base/bytes.h"
#include "libvek/core/pixels.h"

namespace vek::psd {

// How Photoshop shows an alpha or spot channel (image resources 1077 and, before it, 1007).
struct ChannelDisplay {
    uint8_t rgb[3] = {0, 0, 0};
    uint8_t solidity = 0; // percent: how far the ink covers what lies under it
    bool spot = false;    // an ink, not a saved selection
};

// A display entry: a colour space, four 16-bit components, the opacity (solidity) in percent and
// the kind (0 and 1 selections, 2 spot ink).
ChannelDisplay displayOf(const uint8_t* p);

// Lab samples as PSD stores them (L over 0 to 255, a and b offset by 128) to sRGB.
void labSamplesToRgb(uint8_t l8, uint8_t a8, uint8_t b8, uint8_t* rgb);

// One channel sample reduced to 8 bits: 16-bit keeps its high byte, 32-bit floats run 0 to 1.
inline uint8_t sample8(const uint8_t* row, size_t x, uint16_t depth) {
    switch (depth) {
    case 1: return (row[x / 8] >> (7 - x % 8)) & 1 ? 0 : 255; // bitmap: a set bit is black
    case 8: return row[x];
    case 16: return row[x * 2];
    default: {
        const uint32_t bits = loadU32be(row + x * 4);
        float f;
        std::memcpy(&f, &bits, 4);
        if (!(f > 0.0f)) return 0; // also NaN
        if (f >= 1.0f) return 255;
        return static_cast<uint8_t>(f * 255.0f + 0.5f);
    }
    }
}

// Multichannel inks laid on white paper in channel order, each sample the ink's absence (255 none,
// as CMYK channels are stored). An ink multiplies what lies under it by its colour, where its
// solidity lets it, and covers it with its colour for the rest: for the four process inks this is
// exactly the CMYK conversion.
class InkLayers {
public:
    InkLayers(const std::vector<ChannelDisplay>& display, unsigned inks);
    // The pixel at x of the ink channels' rows, as BGRA.
    void composite(const uint8_t* const* rows, uint32_t x, uint16_t depth, uint8_t* out) const;

private:
    struct Table {
        double scale[3][256];
        double add[3][256];
    };
    std::vector<Table> tables_;
};

} // namespace vek::psd
