// Photoshop's blend modes on rows of float samples: colour non-premultiplied over 0 to 1 (32-bit
// documents: linear light, unbounded above), alpha 0 to 1, one plane a channel.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libvek/formats/psd_layers.h"

namespace vek::psd {

// One source painted over one row of a backdrop.
struct Paint {
    float* const* dst = nullptr;       // the backdrop's colour planes, changed in place
    float* dstAlpha = nullptr;         // the backdrop's alpha, changed in place
    const float* const* src = nullptr; // the source's colour planes
    const float* cover = nullptr;      // the source's alpha with its masks and opacity applied
    size_t count = 0;
    unsigned channels = 3;
    bool keepAlpha = false;   // an adjustment: the backdrop's colour changes where it is, its alpha stays
    bool unbounded = false;   // 32-bit documents: sums are not clipped at 1
    float fill = 1;           // hard mix: the fill opacity it applies to its threshold
    uint32_t excluded = 0;    // colour channels the source leaves alone ("advanced blending")
    float* scratch = nullptr; // 3 x count floats
};

void blend(Blend mode, const Paint& p);

// The eight modes to which Photoshop applies fill opacity through the colour instead of the
// coverage (colour burn and dodge, linear burn and dodge, vivid and linear light, hard mix,
// difference): lowering fill moves the source towards the mode's neutral colour.
bool fillActsOnColour(Blend mode);
// Moves `count` samples of each source plane that far towards the neutral colour (not hard mix,
// whose fill the blend itself takes).
void fillTowardsNeutral(Blend mode, float fill, float* const* src, unsigned channels, size_t count);

// Photoshop's grey for colour: the luminosity weights of the PDF blend modes.
inline float luminosity(float r, float g, float b) { return 0.3f * r + 0.59f * g + 0.11f * b; }

// Dissolve: a pixel is drawn whole or not at all, as often as its coverage says; a fixed hash of
// its position stands in for Photoshop's own noise.
void dissolve(float* cover, size_t count, int32_t x, int32_t y);

} // namespace vek::psd
