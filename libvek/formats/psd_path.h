// Vector masks: the path records of a layer's vector mask, flattened into polygons and rasterised
// with anti-aliasing (exact area coverage), a band of rows at a time. Path components combine as
// Photoshop's shape operations say: combine, subtract, intersect, exclude.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "libvek/base/bytes.h"
#include "libvek/formats/psd_layers.h"

namespace vek::psd {

class PathMask {
public:
    // The path of `records` on a canvas of this size; null when it holds no path that encloses
    // anything and does not start filled.
    static std::unique_ptr<PathMask> make(ByteView records, bool inverted, uint32_t width, uint32_t height);

    // Where the mask can be above zero.
    const Rect& bounds() const { return bounds_; }
    // The straight pieces its curves make.
    uint64_t edges() const {
        uint64_t n = 0;
        for (const auto& c : components_) n += c.edges.size();
        return n;
    }
    // Coverage of rows [top, top + rows) over the whole width, row after row, into `out`
    // (rows x width floats); `scratch` is the rasteriser's own.
    void rows(int32_t top, uint32_t rows, float* out, std::vector<float>& scratch) const;

    struct Edge {
        float x0, y0, x1, y1;
    };
    struct Component {
        int operation = 1; // 0 exclude, 1 combine, 2 subtract, 3 intersect
        std::vector<Edge> edges;
        float top = 0, bottom = 0;
    };

private:
    std::vector<Component> components_;
    bool startFilled_ = false, inverted_ = false;
    uint32_t width_ = 0;
    Rect bounds_;
};

} // namespace vek::psd
