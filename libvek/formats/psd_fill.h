// Fill layers: a solid colour, a gradient or a pattern over the whole canvas, in the document's
// colour model, generated a row at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "libvek/formats/psd_descriptor.h"
#include "libvek/formats/psd_layers.h"

namespace vek::psd {

// The document a fill is drawn for.
struct Canvas {
    uint32_t width = 0, height = 0;
    uint16_t mode = kRgb;
    uint16_t depth = 8;
    unsigned channels = 3; // colour channels: 1 grey, 3 RGB, 4 CMYK
    // Grey documents with a profile: each 8-bit value's light (0 to 1, linear), through the
    // profile; empty where none is known (a 2.2 curve then stands in).
    std::vector<float> greyLight;
};

class Filler {
public:
    virtual ~Filler() = default;
    // The fill's colour planes, then its opacity, for pixels x .. x + count of row y.
    virtual void row(int32_t y, int32_t x, size_t count, float* const* out) const = 0;
};

// A colour descriptor (RGB, HSB, CMYK, Lab, grey; "Clr " objects) in the canvas's model, over 0 to
// 1 as the canvas stores it (CMYK as 1 - ink). False for a colour it cannot read.
bool colourOf(const DValue& colour, const Canvas& canvas, float* out);

// The filler a fill layer's settings describe, or null when they describe nothing it can draw.
std::unique_ptr<Filler> makeFiller(const Layer& layer, const Canvas& canvas, const std::vector<Pattern>& patterns);

// A gradient's colours along its length, sampled at `steps` points from 0 to 1, each `channels`
// colour values then the opacity: for gradient fills and gradient maps.
struct GradientRamp {
    unsigned steps = 0, channels = 0;
    std::vector<float> values;
    const float* at(float t) const {
        const float c = t < 0 ? 0 : t > 1 ? 1 : t;
        return values.data() + static_cast<size_t>(c * (steps - 1) + 0.5f) * (channels + 1);
    }
};
// The ramp of a gradient descriptor ("Grad" objects), or false when it has no colour stops.
bool rampOf(const DValue& gradient, const Canvas& canvas, bool reverse, GradientRamp& out);

// A stop of a gradient: where (0 to 1), the midpoint to the next stop (0 to 1), and its colour
// channels, or its opacity in the first.
struct GradientStop {
    double at = 0, mid = 0.5;
    float v[4] = {};
};
// The ramp through colour and opacity stops; `smooth` (0 to 1) bends each span into an S.
void rampFromStops(std::vector<GradientStop> colours, std::vector<GradientStop> opacities, double smooth, bool reverse,
                   unsigned channels, GradientRamp& out);

// A colour as Photoshop's binary structures keep it: a colour space (0 RGB, 1 HSB, 2 CMYK, 7 Lab,
// 8 grey) and four 16-bit components, in the canvas's model.
bool colourOfSpace(uint16_t space, const uint16_t* components, const Canvas& canvas, float* out);

} // namespace vek::psd
