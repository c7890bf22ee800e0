// Adjustment layers: a function of the colour under them, applied a row at a time to colour
// planes in the document's model (over 0 to 1; CMYK as 1 - ink).
#pragma once

#include <cstddef>
#include <memory>

#include "libvek/formats/psd_fill.h"
#include "libvek/formats/psd_layers.h"

namespace vek::psd {

class Adjustment {
public:
    virtual ~Adjustment() = default;
    // The adjusted colour of `count` pixels, in place.
    virtual void apply(float* const* colour, size_t count) const = 0;
};

// The adjustment a layer's block describes; null for one the library does not draw (the
// picture then shows what lies under it unchanged).
std::unique_ptr<Adjustment> makeAdjustment(const Layer& layer, const Canvas& canvas);

} // namespace vek::psd
