// The layer tree drawn band by band. Groups and clipping follow Photoshop: a group with a mode of
// its own is drawn apart and then blended as one layer; a pass-through group draws onto what lies
// under it and mixes the result in by its opacity and masks; layers clipped to a base are drawn
// within the base's shape, onto the base alone ("blend clipped layers as group") or onto
// everything under it.
#include "libvek/core/guarded.h"
#include "libvek/formats/psd_compose.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include "libvek/base/limits.h"
#include "libvek/formats/psd_adjust.h"
#include "libvek/formats/psd_blend.h"
#include "libvek/formats/psd_channels.h"
#include "libvek/formats/psd_fill.h"
#include "libvek/formats/psd_path.h"
#include "libvek/system/workers.h"

namespace vek::psd {
namespace {

// The most pixels a file's layers may blend: some hundred full layers of the largest pictures,
// half a minute of work. Fuzzing's pictures are small and its runs quick.
#ifdef VEK_FUZZ_MAX_PIXELS
constexpr uint64_t kMostWork = uint64_t{1} << 26;
#else
constexpr uint64_t kMostWork = uint64_t{1} << 34;
#endif

// A channel in the file and the rectangle its rows cover.
struct Slot {
    size_t offset = 0, length = 0;
    ChannelShape shape;
    Rect rect;
    bool zip = false;
};

// A mask as drawn: its channel (or none: all `outside`), its rectangle and density.
struct MaskUse {
    bool on = false;
    int slot = -1;
    Rect rect;
    float outside = 1;
    float density = 1;
};

struct Item {
    const Layer* layer = nullptr; // null for the document itself
    bool group = false, isolated = false, visible = true;
    Blend mode = Blend::Normal;
    float opacity = 1, fill = 1;
    std::vector<int> children; // bottom first
    std::vector<int> clipped;  // the layers clipped to this one, bottom first
    int colour[4] = {-1, -1, -1, -1};
    int alpha = -1;
    bool pixels = false; // draws its stored channels
    MaskUse user, vector;
    std::unique_ptr<PathMask> path;
    float pathDensity = 1;
    std::unique_ptr<Filler> filler;
    std::unique_ptr<Adjustment> adjustment;
    Rect bounds; // where it can change what lies under it

    bool masked() const { return user.on || vector.on || path != nullptr; }
};

// One factor of "blend if": how far a value (0 to 255) lies inside a range's ramps.
inline float rangeFactor(float v, const uint8_t* r) {
    const float blackLo = r[0], blackHi = r[1], whiteLo = r[2], whiteHi = r[3];
    if (v < blackLo || v > whiteHi) return 0;
    if (v < blackHi) return blackHi > blackLo ? (v - blackLo) / (blackHi - blackLo) : 1;
    if (v > whiteLo) return whiteHi > whiteLo ? (whiteHi - v) / (whiteHi - whiteLo) : 1;
    return 1;
}

bool defaultRange(const BlendRange& r) {
    static constexpr uint8_t kAll[4] = {0, 0, 255, 255};
    return std::memcmp(r.source, kAll, 4) == 0 && std::memcmp(r.under, kAll, 4) == 0;
}

} // namespace

struct Composition::Impl {
    ByteView data;
    Canvas canvas;
    std::vector<Item> items; // items[0] is the document
    std::vector<Slot> slots;
    bool anyZip = false;
    bool wide = false; // PSB
    uint64_t pathEdges = 0;
    bool opaque = false;
    unsigned depth = 0; // the deepest level a band uses

    VekError build(const Header& h, const LayerSection& section);
    VekError prepareLayer(Item& item, const LayerSection& section);
    int addSlot(const Layer& layer, int16_t id, const Rect& rect);
    MaskUse maskUse(const Layer& layer, const Mask& mask);
    Rect boundsOf(const Item& item) const;
    unsigned nesting(const Item& item) const;
    uint64_t work() const;
    void joinClippedLayers();
    void placeBounds(const std::vector<int>& groups);
    bool opaqueAtTheBottom() const;
};

namespace {

// What one thread keeps while it draws bands: its channel readers and a canvas a level.
class Worker {
public:
    Worker(const Composition::Impl& k, uint32_t bandRows)
        : k_(k), width_(k.canvas.width), bandRows_(bandRows), readers_(k.slots.size()) {
        const size_t w = width_;
        source_.resize(5 * w);
        cover_.resize(w);
        shape_.resize(w);
        mask_.resize(w);
        scratch_.resize(3 * w);
        keep_.resize(w);
        levels_.resize(k.depth + 1);
    }

    VekError band(int32_t top, uint32_t rows, Image& image, const colour::Transform* cmyk);

private:
    struct Level {
        std::vector<float> planes; // colour channels, then alpha; each rows x width
    };
    float* plane(int lv, unsigned p, uint32_t row) {
        if (static_cast<size_t>(lv) >= levels_.size()) levels_.resize(static_cast<size_t>(lv) + 1);
        Level& l = levels_[static_cast<size_t>(lv)];
        const size_t planeSize = size_t{bandRows_} * width_;
        if (l.planes.empty()) l.planes.assign(planeSize * (k_.canvas.channels + 1), 0.0f);
        return l.planes.data() + planeSize * p + size_t{row} * width_;
    }
    float* colourRow(int lv, unsigned c, uint32_t row) { return plane(lv, c, row); }
    float* alphaRow(int lv, uint32_t row) { return plane(lv, k_.canvas.channels, row); }
    // Clipping bases' shapes, one band each, a buffer a clipping group being drawn.
    float* takeShape() {
        if (shapeDepth_ == shapes_.size()) shapes_.emplace_back();
        auto& s = shapes_[shapeDepth_++];
        s.assign(size_t{bandRows_} * width_, 0.0f);
        return s.data();
    }
    void dropShape() { --shapeDepth_; }

    // The rows of the band an item touches, and its columns.
    bool span(const Rect& bounds, uint32_t& first, uint32_t& end) const {
        const int32_t a = std::max(bounds.top, top_), b = std::min(bounds.bottom, top_ + static_cast<int32_t>(rows_));
        if (a >= b || bounds.left >= bounds.right) return false;
        first = static_cast<uint32_t>(a - top_), end = static_cast<uint32_t>(b - top_);
        return true;
    }

    void clear(int lv, const Rect& bounds);
    bool samples(int slot, int32_t y, int32_t x, size_t n, float* out);
    bool maskRow(const MaskUse& m, int32_t y, int32_t x, size_t n, float* out);
    bool shapeRow(const Item& it, int32_t y, int32_t x, size_t n, const float* pathRows, float* shape,
                  float* colour[5]);
    void blendIf(const Layer& layer, float* const* src, float* const* dst, size_t n, float* cover) const;
    void finish(const Item& it, Blend mode, float* src[5], float* dst[4], float* dstAlpha, size_t n, int32_t y,
                int32_t x, bool keepAlpha);
    bool composeChildren(const Item& group, int lv);
    bool draw(const Item& it, int lv, const float* clip);
    bool drawGroup(const Item& it, int lv, const float* clip);
    bool drawClipGroup(const Item& base, int lv);
    bool drawOver(const Item& base, int lv, float* shape);
    bool drawOverPassThrough(const Item& base, int lv, float* shape);
    bool drawApart(const Item& base, int lv, float* shape);
    bool drawClipped(const Item& base, int lv, const float* shape);
    bool paint(const Item& it, int lv, Blend mode, bool withOpacity, float* shapeOut, const float* clip);
    const float* pathRows(const Item& it);
    void writeRow(uint32_t row, uint8_t* out, const colour::Transform* cmyk, simd::Level kernels);

    const Composition::Impl& k_;
    uint32_t width_, bandRows_;
    int32_t top_ = 0;
    uint32_t rows_ = 0;
    std::vector<std::unique_ptr<ChannelRows>> readers_;
    std::vector<Level> levels_;
    std::vector<float> source_, cover_, shape_, mask_, scratch_, keep_, path_, pathScratch_;
    std::vector<std::vector<float>> shapes_;
    size_t shapeDepth_ = 0;
};

void Worker::clear(int lv, const Rect& bounds) {
    uint32_t first, end;
    if (!span(bounds, first, end)) return;
    const size_t x = static_cast<size_t>(bounds.left), n = static_cast<size_t>(bounds.right - bounds.left);
    for (uint32_t r = first; r < end; ++r)
        for (unsigned p = 0; p <= k_.canvas.channels; ++p) std::fill_n(plane(lv, p, r) + x, n, 0.0f);
}

// Samples of a slot's channel at row y, columns x .. x + n, all inside its rectangle.
bool Worker::samples(int slot, int32_t y, int32_t x, size_t n, float* out) {
    const Slot& s = k_.slots[static_cast<size_t>(slot)];
    auto& reader = readers_[static_cast<size_t>(slot)];
    if (reader == nullptr) {
        reader = std::make_unique<ChannelRows>();
        if (reader->open(k_.data, s.offset, s.length, s.shape) != VEK_OK) return false;
    }
    const uint8_t* row = reader->row(static_cast<uint32_t>(y - s.rect.top));
    if (row == nullptr) return false;
    samplesToFloat(row, s.shape.depth, static_cast<size_t>(x - s.rect.left), n, out);
    return true;
}

bool Worker::maskRow(const MaskUse& m, int32_t y, int32_t x, size_t n, float* out) {
    std::fill_n(out, n, m.outside);
    if (m.slot >= 0 && y >= m.rect.top && y < m.rect.bottom) {
        const int32_t a = std::max(x, m.rect.left), b = std::min(x + static_cast<int32_t>(n), m.rect.right);
        if (a < b && !samples(m.slot, y, a, static_cast<size_t>(b - a), out + (a - x))) return false;
    }
    if (m.density < 1)
        for (size_t i = 0; i < n; ++i) out[i] = 1 - m.density * (1 - out[i]);
    return true;
}

const float* Worker::pathRows(const Item& it) {
    if (it.path == nullptr) return nullptr;
    path_.resize(size_t{rows_} * width_);
    it.path->rows(top_, rows_, path_.data(), pathScratch_);
    return path_.data();
}

// An item's shape at row y (its own transparency and masks, before opacity), and for layers its
// colour: stored channels, a fill, or nothing (adjustments take theirs from what lies under).
bool Worker::shapeRow(const Item& it, int32_t y, int32_t x, size_t n, const float* pathRows, float* shape,
                      float* colour[5]) {
    const unsigned channels = k_.canvas.channels;
    if (it.pixels) {
        for (unsigned c = 0; c < channels; ++c)
            if (!samples(it.colour[c], y, x, n, colour[c])) return false;
        if (it.alpha >= 0) {
            if (!samples(it.alpha, y, x, n, shape)) return false;
        } else {
            std::fill_n(shape, n, 1.0f);
        }
    } else if (it.filler) {
        it.filler->row(y, x, n, colour);
        std::copy_n(colour[channels], n, shape);
    } else {
        std::fill_n(shape, n, 1.0f);
    }
    if (it.user.on) {
        if (!maskRow(it.user, y, x, n, mask_.data())) return false;
        for (size_t i = 0; i < n; ++i) shape[i] *= mask_[i];
    }
    if (it.vector.on) {
        if (!maskRow(it.vector, y, x, n, mask_.data())) return false;
        for (size_t i = 0; i < n; ++i) shape[i] *= mask_[i];
    }
    if (pathRows) {
        const float* p = pathRows + static_cast<size_t>(y - top_) * width_ + x;
        const float d = it.pathDensity;
        for (size_t i = 0; i < n; ++i) shape[i] *= 1 - d * (1 - p[i]);
    }
    return true;
}

void Worker::blendIf(const Layer& layer, float* const* src, float* const* dst, size_t n, float* cover) const {
    if (layer.blendIf.empty() || std::all_of(layer.blendIf.begin(), layer.blendIf.end(), defaultRange)) return;
    const unsigned channels = k_.canvas.channels;
    for (size_t i = 0; i < n; ++i) {
        if (cover[i] <= 0) continue;
        const float sg = channels >= 3 ? luminosity(src[0][i], src[1][i], src[2][i]) : src[0][i];
        const float dg = channels >= 3 ? luminosity(dst[0][i], dst[1][i], dst[2][i]) : dst[0][i];
        float w = rangeFactor(sg * 255, layer.blendIf[0].source) * rangeFactor(dg * 255, layer.blendIf[0].under);
        for (unsigned c = 0; c < channels && c + 1 < layer.blendIf.size(); ++c)
            w *= rangeFactor(src[c][i] * 255, layer.blendIf[c + 1].source) *
                 rangeFactor(dst[c][i] * 255, layer.blendIf[c + 1].under);
        cover[i] *= w;
    }
}

// Blends a source row (colour in src, coverage in cover_) over a level's row.
void Worker::finish(const Item& it, Blend mode, float* src[5], float* dst[4], float* dstAlpha, size_t n, int32_t y,
                    int32_t x, bool keepAlpha) {
    const unsigned channels = k_.canvas.channels;
    if (it.layer) blendIf(*it.layer, src, dst, n, cover_.data());
    if (mode == Blend::Dissolve) {
        dissolve(cover_.data(), n, x, y);
        mode = Blend::Normal;
    }
    Paint p;
    p.dst = dst;
    p.dstAlpha = dstAlpha;
    p.src = src;
    p.cover = cover_.data();
    p.count = n;
    p.channels = channels;
    p.keepAlpha = keepAlpha;
    p.unbounded = k_.canvas.depth == 32;
    p.excluded = it.layer ? it.layer->excludedChannels : 0;
    p.scratch = scratch_.data();
    if (fillActsOnColour(mode) && it.fill < 1) {
        if (mode == Blend::HardMix)
            p.fill = it.fill;
        else
            fillTowardsNeutral(mode, it.fill, src, channels, n);
    }
    blend(mode, p);
}

// A layer painted onto level lv: with its own mode and opacity, or (as a clipping base drawn
// apart) in normal mode without opacity. Its shape goes to shapeOut when asked; a clipping base's
// shape, when given, limits it. Both are band-sized.
bool Worker::paint(const Item& it, int lv, Blend mode, bool withOpacity, float* shapeOut, const float* clip) {
    uint32_t first, end;
    if (!span(it.bounds, first, end)) return true;
    const unsigned channels = k_.canvas.channels;
    const int32_t x = it.bounds.left;
    const size_t n = static_cast<size_t>(it.bounds.right - it.bounds.left);
    const float* paths = pathRows(it);
    const bool adjustment = it.adjustment != nullptr;
    const float coverScale = (withOpacity ? it.opacity : 1) * (fillActsOnColour(mode) ? 1 : it.fill);
    for (uint32_t r = first; r < end; ++r) {
        const int32_t y = top_ + static_cast<int32_t>(r);
        float* src[5];
        for (unsigned c = 0; c <= channels; ++c) src[c] = source_.data() + c * width_;
        float* dst[4];
        for (unsigned c = 0; c < channels; ++c) dst[c] = colourRow(lv, c, r) + x;
        if (!shapeRow(it, y, x, n, paths, shape_.data(), src)) return false;
        if (clip) {
            const float* c = clip + size_t{r} * width_ + x;
            for (size_t i = 0; i < n; ++i) shape_[i] *= c[i];
        }
        if (shapeOut) std::copy_n(shape_.data(), n, shapeOut + size_t{r} * width_ + x);
        for (size_t i = 0; i < n; ++i) cover_[i] = shape_[i] * coverScale;
        if (adjustment) {
            for (unsigned c = 0; c < channels; ++c) std::copy_n(dst[c], n, src[c]);
            it.adjustment->apply(src, n);
        }
        finish(it, mode, src, dst, alphaRow(lv, r) + x, n, y, x, adjustment);
    }
    return true;
}

bool Worker::composeChildren(const Item& group, int lv) {
    for (const int index : group.children) {
        const Item& child = k_.items[static_cast<size_t>(index)];
        if (!child.visible) continue;
        const bool ok = child.clipped.empty() ? draw(child, lv, nullptr) : drawClipGroup(child, lv);
        if (!ok) return false;
    }
    return true;
}

bool Worker::draw(const Item& it, int lv, const float* clip) {
    if (it.group) return drawGroup(it, lv, clip);
    return paint(it, lv, it.mode, true, nullptr, clip);
}

// A group: drawn apart and blended as one layer, or (pass-through) drawn onto a copy of what lies
// under it and mixed back by its opacity and masks.
bool Worker::drawGroup(const Item& it, int lv, const float* clip) {
    const bool plain = !it.isolated && it.opacity >= 1 && it.fill >= 1 && !it.masked() && clip == nullptr;
    if (plain) return composeChildren(it, lv);
    const int inner = lv + 1;
    uint32_t first, end;
    if (!span(it.bounds, first, end)) return true;
    const unsigned channels = k_.canvas.channels;
    const int32_t x = it.bounds.left;
    const size_t n = static_cast<size_t>(it.bounds.right - it.bounds.left);
    if (it.isolated) {
        clear(inner, it.bounds);
    } else {
        for (uint32_t r = first; r < end; ++r)
            for (unsigned p = 0; p <= channels; ++p) std::copy_n(plane(lv, p, r) + x, n, plane(inner, p, r) + x);
    }
    if (!composeChildren(it, inner)) return false;
    const float* paths = pathRows(it);
    for (uint32_t r = first; r < end; ++r) {
        const int32_t y = top_ + static_cast<int32_t>(r);
        float* src[5];
        for (unsigned c = 0; c <= channels; ++c) src[c] = source_.data() + c * width_;
        if (!shapeRow(it, y, x, n, paths, shape_.data(), src)) return false;
        if (clip) {
            const float* c = clip + size_t{r} * width_ + x;
            for (size_t i = 0; i < n; ++i) shape_[i] *= c[i];
        }
        const float k = it.opacity * it.fill;
        float* dstAlpha = alphaRow(lv, r) + x;
        const float* innerAlpha = alphaRow(inner, r) + x;
        if (!it.isolated) {
            // Premultiplied mix of what lies under and what the group made of it.
            for (size_t i = 0; i < n; ++i) {
                const float t = shape_[i] * k, a0 = dstAlpha[i], a1 = innerAlpha[i];
                const float a = a0 + (a1 - a0) * t;
                for (unsigned c = 0; c < channels; ++c) {
                    float* d = colourRow(lv, c, r) + x;
                    const float v = d[i] * a0 + (colourRow(inner, c, r)[x + i] * a1 - d[i] * a0) * t;
                    d[i] = a > 0 ? v / a : d[i];
                }
                dstAlpha[i] = a;
            }
            continue;
        }
        float* dst[4];
        for (unsigned c = 0; c < channels; ++c) {
            dst[c] = colourRow(lv, c, r) + x;
            src[c] = colourRow(inner, c, r) + x;
        }
        for (size_t i = 0; i < n; ++i) cover_[i] = innerAlpha[i] * shape_[i] * it.opacity * it.fill;
        finish(it, it.mode, src, dst, dstAlpha, n, y, x, false);
    }
    return true;
}

// A base and the layers clipped to it, which it limits to its shape.
bool Worker::drawClipGroup(const Item& base, int lv) {
    float* shape = takeShape();
    // An adjustment's shape is its masks; it has no pixels to draw its clipped layers onto.
    const bool ok = base.group && !base.isolated                  ? drawOverPassThrough(base, lv, shape)
                    : base.layer->clipAsGroup && !base.adjustment ? drawApart(base, lv, shape)
                                                                  : drawOver(base, lv, shape);
    dropShape();
    return ok;
}

// Clipped layers over everything under them, within the base's shape.
bool Worker::drawOver(const Item& base, int lv, float* shape) {
    if (!paint(base, lv, base.mode, true, shape, nullptr)) return false;
    return drawClipped(base, lv, shape);
}

bool Worker::drawClipped(const Item& base, int lv, const float* shape) {
    for (const int index : base.clipped) {
        const Item& c = k_.items[static_cast<size_t>(index)];
        if (c.visible && !draw(c, lv, shape)) return false;
    }
    return true;
}

// A pass-through group as a base: its layers draw onto what lies under them, and the layers
// clipped to it onto the result, within the shape the group's layers make on their own.
bool Worker::drawOverPassThrough(const Item& base, int lv, float* shape) {
    const int inner = lv + 1;
    clear(inner, base.bounds);
    if (!composeChildren(base, inner)) return false;
    uint32_t first, end;
    if (span(base.bounds, first, end))
        for (uint32_t r = first; r < end; ++r)
            std::copy_n(alphaRow(inner, r) + base.bounds.left, base.bounds.right - base.bounds.left,
                        shape + size_t{r} * width_ + base.bounds.left);
    if (!drawGroup(base, lv, nullptr)) return false;
    return drawClipped(base, lv, shape);
}

// "Blend clipped layers as group": the base and its clipped layers drawn apart, then blended as one
// with the base's mode and opacity.
bool Worker::drawApart(const Item& base, int lv, float* shape) {
    const int inner = lv + 1;
    clear(inner, base.bounds);
    if (base.group) {
        // Drawn apart, its opacity and masks already in what it drew: its shape is where it drew.
        if (!drawGroup(base, inner, nullptr)) return false;
        for (uint32_t r = 0; r < rows_; ++r) std::copy_n(alphaRow(inner, r), width_, shape + size_t{r} * width_);
    } else if (!paint(base, inner, Blend::Normal, false, shape, nullptr)) {
        return false;
    }
    if (!drawClipped(base, inner, shape)) return false;
    uint32_t first, end;
    if (!span(base.bounds, first, end)) return true;
    const unsigned channels = k_.canvas.channels;
    const int32_t x = base.bounds.left;
    const size_t n = static_cast<size_t>(base.bounds.right - base.bounds.left);
    const float k = base.group ? 1 : base.opacity;
    Item asBase;
    asBase.layer = base.layer;
    for (uint32_t r = first; r < end; ++r) {
        float* src[5];
        float* dst[4];
        for (unsigned c = 0; c < channels; ++c) {
            src[c] = colourRow(inner, c, r) + x;
            dst[c] = colourRow(lv, c, r) + x;
        }
        const float* a = alphaRow(inner, r) + x;
        for (size_t i = 0; i < n; ++i) cover_[i] = a[i] * k;
        finish(asBase, base.mode, src, dst, alphaRow(lv, r) + x, n, top_ + static_cast<int32_t>(r), x, false);
    }
    return true;
}

void Worker::writeRow(uint32_t row, uint8_t* out, const colour::Transform* cmyk, simd::Level kernels) {
    const unsigned channels = k_.canvas.channels;
    auto byte = [](float v) -> uint8_t {
        if (!(v > 0)) return 0;
        if (v >= 1) return 255;
        return static_cast<uint8_t>(v * 255.0f + 0.5f);
    };
    const float* a = alphaRow(0, row);
    const float* c0 = colourRow(0, 0, row);
    for (uint32_t x = 0; x < width_; ++x) {
        uint8_t* p = out + size_t{x} * 4;
        const uint8_t alpha = k_.opaque ? 255 : byte(a[x]);
        if (channels == 1) {
            p[0] = p[1] = p[2] = byte(c0[x]);
        } else if (channels == 3) {
            p[0] = byte(colourRow(0, 2, row)[x]), p[1] = byte(colourRow(0, 1, row)[x]), p[2] = byte(c0[x]);
        } else {
            const uint8_t c = byte(c0[x]), m = byte(colourRow(0, 1, row)[x]), y = byte(colourRow(0, 2, row)[x]),
                          k = byte(colourRow(0, 3, row)[x]);
            if (cmyk) { // converted with the whole row below
                p[0] = c, p[1] = m, p[2] = y, p[3] = k;
                continue;
            }
            p[0] = static_cast<uint8_t>((y * k + 127) / 255), p[1] = static_cast<uint8_t>((m * k + 127) / 255),
            p[2] = static_cast<uint8_t>((c * k + 127) / 255);
        }
        p[3] = alpha;
    }
    if (channels == 4 && cmyk) {
        cmyk->cmykRow(out, out, width_, true, kernels);
        for (uint32_t x = 0; x < width_; ++x) out[size_t{x} * 4 + 3] = k_.opaque ? 255 : byte(a[x]);
    }
}

VekError Worker::band(int32_t top, uint32_t rows, Image& image, const colour::Transform* cmyk) {
    top_ = top;
    rows_ = rows;
    const Rect all{top, 0, top + static_cast<int32_t>(rows), static_cast<int32_t>(width_)};
    clear(0, all);
    if (!composeChildren(k_.items[0], 0))
        return refuse(VEK_ERROR_DAMAGED, "PSD: a layer's channel data does not unpack");
    for (uint32_t r = 0; r < rows; ++r) writeRow(r, image.row(top + static_cast<int32_t>(r)), cmyk, image.kernels());
    // Readers of layers that end above the next band are done with.
    for (size_t s = 0; s < readers_.size(); ++s)
        if (readers_[s] && k_.slots[s].rect.bottom <= top + static_cast<int32_t>(rows)) readers_[s].reset();
    return VEK_OK;
}

} // namespace

// ---- preparation ----

int Composition::Impl::addSlot(const Layer& layer, int16_t id, const Rect& rect) {
    const ChannelData* c = layer.channel(id);
    if (c == nullptr || rect.empty()) return -1;
    Slot s;
    s.offset = c->offset;
    s.length = c->length;
    s.rect = rect;
    s.shape.rows = static_cast<uint32_t>(rect.height());
    s.shape.columns = static_cast<uint32_t>(rect.width());
    s.shape.depth = canvas.depth;
    s.shape.wide = wide;
    if (c->length < 2) return -1;
    s.zip = loadU16be(data.data + c->offset) >= 2;
    slots.push_back(s);
    return static_cast<int>(slots.size() - 1);
}

MaskUse Composition::Impl::maskUse(const Layer& layer, const Mask& mask) {
    MaskUse m;
    if (!mask.present || mask.disabled) return m;
    m.on = true;
    m.rect = mask.rect;
    m.outside = mask.outside / 255.0f;
    m.density = mask.density / 255.0f;
    m.slot = addSlot(layer, mask.channel, mask.rect);
    if (m.slot < 0) m.rect = {};
    return m;
}

Rect Composition::Impl::boundsOf(const Item& item) const {
    const Rect all{0, 0, static_cast<int32_t>(canvas.height), static_cast<int32_t>(canvas.width)};
    Rect r = all;
    if (item.group) {
        Rect u;
        for (const int index : item.children) {
            const Item& c = items[static_cast<size_t>(index)];
            if (!c.visible || (item.isolated && c.adjustment)) continue;
            u = u.unite(c.bounds);
        }
        r = u.intersect(all);
    } else if (item.pixels) {
        r = item.layer->rect.intersect(all);
    }
    auto limit = [&r](const MaskUse& m) {
        if (m.on && m.outside * m.density + (1 - m.density) <= 0) r = r.intersect(m.rect);
    };
    limit(item.user);
    limit(item.vector);
    if (item.path && item.pathDensity >= 1) r = r.intersect(item.path->bounds());
    return r;
}

VekError Composition::Impl::prepareLayer(Item& item, const LayerSection& section) {
    const Layer& layer = *item.layer;
    item.visible = !layer.hidden;
    item.mode = item.group && layer.groupBlendGiven ? layer.groupBlend : layer.blend;
    item.opacity = layer.opacity / 255.0f;
    item.fill = layer.fill / 255.0f;
    // A pass-through group with fill opacity below full is drawn apart and blended by it, as
    // Photoshop's pictures show: its adjustments change only the group's own layers.
    if (item.group && item.mode == Blend::PassThrough && item.fill < 1) item.mode = Blend::Normal;
    item.isolated = item.group && item.mode != Blend::PassThrough;
    if (!item.group) {
        switch (layer.content) {
        case Content::Adjustment: item.adjustment = makeAdjustment(layer, canvas); break;
        case Content::Pixels: item.pixels = true; break;
        default: {
            const ChannelData* c0 = layer.channel(0);
            item.pixels = !layer.rect.empty() && c0 != nullptr && c0->length > 2;
            if (!item.pixels) item.filler = makeFiller(layer, canvas, section.patterns);
            break;
        }
        }
        if (layer.content == Content::Adjustment && item.adjustment == nullptr) item.visible = false;
        if (item.pixels) {
            if (layer.rect.width() > 300000 || layer.rect.height() > 300000)
                return refuse(VEK_ERROR_DAMAGED, "PSD: a layer of %lld x %lld pixels",
                              static_cast<long long>(layer.rect.width()), static_cast<long long>(layer.rect.height()));
            for (unsigned c = 0; c < canvas.channels; ++c) {
                item.colour[c] = addSlot(layer, static_cast<int16_t>(c), layer.rect);
                if (item.colour[c] < 0) item.pixels = false;
            }
            item.alpha = addSlot(layer, -1, layer.rect);
            // A layer with no colour channels draws nothing (an empty pixel layer).
            if (!item.pixels) item.visible = false;
        } else if (layer.content != Content::Adjustment && item.filler == nullptr) {
            item.visible = false;
        }
    }
    // A vector mask is drawn from its path, or from Photoshop's rendering of it where that is the
    // only mask; a shape's stored pixels already have its outline.
    const bool shapePixels = item.pixels && layer.content != Content::Pixels;
    const bool vectorMask = layer.path.records.size > 0 && !layer.path.disabled;
    if (vectorMask && layer.userIsVectorRender) {
        if (!shapePixels) item.vector = maskUse(layer, layer.user);
        item.vector.density = layer.vectorDensity / 255.0f;
    } else {
        item.user = maskUse(layer, layer.user);
        if (vectorMask && !shapePixels) {
            item.path = PathMask::make(layer.path.records, layer.path.inverted, canvas.width, canvas.height);
            item.pathDensity = layer.vectorDensity / 255.0f;
            // Real shapes have hundreds of pieces; millions are a file built to exhaust memory.
            if (item.path && (pathEdges += item.path->edges()) > (uint64_t{1} << 22))
                return refuse(VEK_ERROR_TOO_LARGE, "PSD: vector masks of more than %llu edges", 1ull << 22);
        }
    }
    return VEK_OK;
}

// What drawing the layers costs, in pixels blended (and path edges crossed): a small file of
// thousands of full-canvas adjustments or fills would otherwise keep a viewer busy for minutes.
uint64_t Composition::Impl::work() const {
    uint64_t total = 0;
    const uint64_t bands = canvas.height / 16 + 1;
    for (size_t i = 1; i < items.size(); ++i) {
        const Item& it = items[i];
        if (!it.visible) continue;
        total +=
            static_cast<uint64_t>(it.bounds.width()) * static_cast<uint64_t>(it.bounds.height()) * (it.group ? 2 : 1);
        if (it.path) total += it.path->edges() * bands;
    }
    return total;
}

unsigned Composition::Impl::nesting(const Item& item) const {
    unsigned most = 0;
    auto deeper = [&](int index) {
        const Item& c = items[static_cast<size_t>(index)];
        if (c.group) most = std::max(most, 1 + nesting(c));
    };
    for (const int index : item.children) {
        deeper(index);
        for (const int clip : items[static_cast<size_t>(index)].clipped) deeper(clip);
    }
    return most;
}

VekError Composition::Impl::build(const Header& h, const LayerSection& section) {
    items.reserve(section.layers.size() + 1);
    items.emplace_back();
    items[0].group = true;
    items[0].isolated = true;
    std::vector<int> open{0}; // the groups being filled, innermost last
    for (const Layer& layer : section.layers) {
        const int index = static_cast<int>(items.size());
        items.emplace_back();
        Item& item = items.back();
        item.layer = &layer;
        switch (layer.section) {
        case Section::End:
            // The end of a group below its layers: the group opens here, its record comes later.
            if (open.size() > kMaxGroupDepth)
                return refuse(VEK_ERROR_DAMAGED, "PSD: groups nested deeper than %zu", size_t{kMaxGroupDepth});
            item.group = true;
            items[static_cast<size_t>(open.back())].children.push_back(index);
            open.push_back(index);
            continue;
        case Section::OpenGroup:
        case Section::ClosedGroup:
            if (open.size() > 1) {
                // The group's record closes it: its settings go to the item its end opened.
                Item& group = items[static_cast<size_t>(open.back())];
                group.layer = &layer;
                open.pop_back();
                items.pop_back();
                continue;
            }
            item.group = true; // a group record with no end: an empty group
            break;
        default: break;
        }
        items[static_cast<size_t>(open.back())].children.push_back(index);
    }
    (void)h;
    return VEK_OK;
}

Composition::Composition(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Composition::~Composition() = default;

// Clipping: a clipped layer joins the nearest unclipped one below it in its group.
void Composition::Impl::joinClippedLayers() {
    for (Item& g : items) {
        if (!g.group) continue;
        std::vector<int> kept;
        for (const int index : g.children) {
            Item& c = items[static_cast<size_t>(index)];
            if (c.layer->clipped && !kept.empty()) {
                items[static_cast<size_t>(kept.back())].clipped.push_back(index);
                continue;
            }
            kept.push_back(index);
        }
        g.children = std::move(kept);
    }
}

// A group's bounds need its children's: a group's end marker comes before its layers, so groups
// taken in reverse file order come innermost first.
void Composition::Impl::placeBounds(const std::vector<int>& groups) {
    for (size_t i = 1; i < items.size(); ++i)
        if (!items[i].group) items[i].bounds = boundsOf(items[i]);
    for (auto it = groups.rbegin(); it != groups.rend(); ++it) {
        Item& g = items[static_cast<size_t>(*it)];
        g.bounds = boundsOf(g);
    }
    items[0].bounds = boundsOf(items[0]);
}

// Opaque: the lowest visible layer is a plain opaque layer over the whole canvas.
bool Composition::Impl::opaqueAtTheBottom() const {
    for (const int index : items[0].children) {
        const Item& c = items[static_cast<size_t>(index)];
        if (!c.visible) continue;
        return c.pixels && c.alpha < 0 && c.mode == Blend::Normal && c.opacity >= 1 && c.fill >= 1 && !c.masked() &&
               c.layer->rect.top <= 0 && c.layer->rect.left <= 0 &&
               c.layer->rect.bottom >= static_cast<int32_t>(canvas.height) &&
               c.layer->rect.right >= static_cast<int32_t>(canvas.width);
    }
    return false;
}

VekError Composition::prepare(ByteView data, const Header& h, const LayerSection& section,
                              const colour::Description& colour, std::unique_ptr<Composition>& out) {
    auto k = std::make_unique<Impl>();
    k->data = data;
    k->canvas.width = h.width;
    k->canvas.height = h.height;
    k->canvas.depth = h.depth;
    k->canvas.mode = h.mode;
    k->wide = h.version == 2;
    switch (h.mode) {
    case kRgb: k->canvas.channels = 3; break;
    case kCmyk: k->canvas.channels = 4; break;
    case kGrey:
    case kDuotone: k->canvas.channels = 1; break;
    default: return refuse(VEK_ERROR_UNSUPPORTED, "PSD: layers in colour mode %u are not drawn", h.mode);
    }
    if (h.depth == 1 || section.layers.empty())
        return refuse(VEK_ERROR_UNSUPPORTED, h.depth == 1 ? "PSD: layers of a bitmap are not drawn" : "PSD: no layers");
    // Light in a grey document, through its profile: what exposure works on.
    if (k->canvas.channels == 1 && colour.kind == colour::Description::Kind::Profile)
        if (auto t = colour::toSrgb(colour, colour::Space::Grey); t && t->kind() == colour::Transform::Kind::Grey) {
            k->canvas.greyLight.resize(256);
            for (int i = 0; i < 256; ++i) {
                const float v = t->grey[i] / 255.0f;
                k->canvas.greyLight[static_cast<size_t>(i)] =
                    v <= 0.04045f ? v / 12.92f : std::pow((v + 0.055f) / 1.055f, 2.4f);
            }
        }
    if (VekError e = k->build(h, section)) return e;
    std::vector<int> groups;
    for (size_t i = 1; i < k->items.size(); ++i) {
        Item& item = k->items[i];
        if (VekError e = k->prepareLayer(item, section)) return e;
        if (item.group) groups.push_back(static_cast<int>(i));
    }
    k->joinClippedLayers();
    k->placeBounds(groups);
    // A group or a clipping base draws one level up, a group inside a clipping group two.
    k->depth = 2 * k->nesting(k->items[0]) + 3;
    for (const Slot& s : k->slots)
        if (VekError e = checkChannel(data, s.offset, s.length, s.shape)) return e;
    if (k->work() > kMostWork) return refuse(VEK_ERROR_TOO_LARGE, "PSD: drawing the layers would take too long");
    k->opaque = k->opaqueAtTheBottom();
    for (const Slot& s : k->slots) k->anyZip = k->anyZip || s.zip;
    out.reset(new Composition(std::move(k)));
    return VEK_OK;
}

bool Composition::hasAlpha() const { return !impl_->opaque; }

VekError Composition::render(const LoadOptions& options, const colour::Transform* cmyk, Image& image) const {
    const Impl& k = *impl_;
    if (VekError e = image.allocate(k.canvas.width, k.canvas.height, Layout::Bgra32, options)) return e;
    image.bitsPerComponent = 8;
    image.componentsPerPixel = k.opaque ? 3 : 4;
    // Bands of about 32k pixels: every level of one fits a processor's second-level cache.
    const uint32_t bandRows = std::clamp<uint32_t>(32768 / std::max<uint32_t>(1, k.canvas.width), 1, 64);
    const size_t bands = (k.canvas.height + bandRows - 1) / bandRows;
    const uint64_t pixels = uint64_t{k.canvas.width} * k.canvas.height;
    // ZIP channels inflate from their start: a thread takes one run of bands, not several.
    const size_t pieces = k.anyZip ? std::min<size_t>(bands, workers::threadsFor(pixels)) : bands;
    std::atomic<int> failure{VEK_OK};
    workers::forRanges(pixels, pieces, [&](size_t first, size_t end) {
        const VekError e = guarded("drawing layers", [&]() -> VekError {
            Worker w(k, bandRows);
            const size_t from = first * bands / pieces, to = end * bands / pieces;
            for (size_t b = from; b < to && failure.load(std::memory_order_relaxed) == VEK_OK; ++b) {
                const int32_t top = static_cast<int32_t>(b * bandRows);
                const uint32_t rows = std::min<uint32_t>(bandRows, k.canvas.height - static_cast<uint32_t>(top));
                if (VekError bandError = w.band(top, rows, image, cmyk)) return bandError;
            }
            return VEK_OK;
        });
        if (e != VEK_OK) failure.store(e, std::memory_order_relaxed);
    });
    return static_cast<VekError>(failure.load());
}

} // namespace vek::psd
