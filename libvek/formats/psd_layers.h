// Photoshop's layer section read into records: where each layer lies, how it blends, its masks,
// its groups and what its tagged blocks say it is (pixels, a fill, an adjustment). No pixels are
// read here: each record points at its channels' bytes in the file, which the compositor decodes
// one layer at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "imagelib/vek.h"
#include "libvek/base/bytes.h"
#include "libvek/formats/psd_descriptor.h"
#include "libvek/formats/psd_header.h"

namespace vek::psd {

struct Rect {
    int32_t top = 0, left = 0, bottom = 0, right = 0;
    bool empty() const { return bottom <= top || right <= left; }
    int64_t width() const { return empty() ? 0 : int64_t{right} - left; }
    int64_t height() const { return empty() ? 0 : int64_t{bottom} - top; }
    Rect intersect(const Rect& o) const {
        Rect r{std::max(top, o.top), std::max(left, o.left), std::min(bottom, o.bottom), std::min(right, o.right)};
        return r.empty() ? Rect{} : r;
    }
    Rect unite(const Rect& o) const {
        if (empty()) return o;
        if (o.empty()) return *this;
        return {std::min(top, o.top), std::min(left, o.left), std::max(bottom, o.bottom), std::max(right, o.right)};
    }
};

// Every mode Photoshop offers, in the order of its menu.
enum class Blend : uint8_t {
    Normal,
    Dissolve,
    Darken,
    Multiply,
    ColourBurn,
    LinearBurn,
    DarkerColour,
    Lighten,
    Screen,
    ColourDodge,
    LinearDodge,
    LighterColour,
    Overlay,
    SoftLight,
    HardLight,
    VividLight,
    LinearLight,
    PinLight,
    HardMix,
    Difference,
    Exclusion,
    Subtract,
    Divide,
    Hue,
    Saturation,
    Colour,
    Luminosity,
    PassThrough,
};
// The mode a four-character key names; false for a key no mode has.
bool blendFromKey(const uint8_t* key, Blend& mode);

// A channel's bytes in the file: its compression word, then its data.
struct ChannelData {
    int16_t id = 0; // 0.. colour, -1 transparency, -2 user mask, -3 the real user mask
    size_t offset = 0, length = 0;
};

struct Mask {
    bool present = false;
    Rect rect;
    uint8_t outside = 0; // the value beyond the rectangle
    bool disabled = false;
    bool inverted = false;
    uint8_t density = 255; // how far black hides: 255 fully
    double feather = 0;    // pixels
    int16_t channel = -2;
};

// "Blend if": for this layer's values and those under it, black low/high and white low/high.
struct BlendRange {
    uint8_t source[4] = {0, 0, 255, 255};
    uint8_t under[4] = {0, 0, 255, 255};
};

enum class Section : uint8_t { Layer, OpenGroup, ClosedGroup, End };

enum class Content : uint8_t { Pixels, SolidFill, GradientFill, PatternFill, Adjustment };

struct VectorMask {
    ByteView records; // 26-byte path records
    bool inverted = false, disabled = false;
};

struct Layer {
    Rect rect;
    std::vector<ChannelData> channels;
    Blend blend = Blend::Normal;
    uint8_t opacity = 255, fill = 255;
    bool clipped = false, hidden = false;
    bool clipAsGroup = true;      // "blend clipped layers as group"
    bool interiorAsGroup = false; // "blend interior effects as group"
    uint8_t knockout = 0;
    Mask user;                       // the painted mask (channel -2, or -3 beside a vector mask)
    bool userIsVectorRender = false; // ... or, alone, the vector mask as Photoshop rasterised it
    uint8_t vectorDensity = 255;
    std::vector<BlendRange> blendIf;
    uint32_t excludedChannels = 0; // bit n: colour channel n takes nothing from this layer
    Section section = Section::Layer;
    Blend groupBlend = Blend::PassThrough;
    bool groupBlendGiven = false; // the section block names the group's mode (else the record's)
    bool effects = false;         // enabled layer effects, which are not drawn
    VectorMask path;
    Content content = Content::Pixels;
    std::shared_ptr<const DValue> fillSettings; // a fill layer's descriptor
    uint32_t adjustment = 0;                    // an adjustment layer's block key
    ByteView adjustmentData;
    std::shared_ptr<const DValue> adjustmentDescriptor; // new-style settings (brightness/contrast)
    bool hasVectorFillData = false;                     // shape layers: the fill and the path describe the pixels

    const ChannelData* channel(int16_t id) const {
        for (const auto& c : channels)
            if (c.id == id) return &c;
        return nullptr;
    }
};

// A pattern from the file's pattern blocks: its size, mode and channel bytes (8 bits a sample).
struct Pattern {
    std::string id;
    uint32_t width = 0, height = 0;
    uint32_t mode = 0;
    std::vector<ByteView> channels; // each one compressed channel record: depth, rect, compression, data
};

struct LayerSection {
    std::vector<Layer> layers; // bottom first, as the file stores them
    bool mergedAlpha = false;
    std::vector<Pattern> patterns;
    unsigned effectLayers = 0;
};

// The most layers a file may hold (Photoshop's own limit is about 8000).
constexpr size_t kMaxLayers = 1 << 16;
// Groups nested deeper than this are refused (Photoshop allows ten).
constexpr unsigned kMaxGroupDepth = 64;

// The layer section of a file whose header `h` describes; VEK_OK with no layers when it has none.
[[nodiscard]] VekError readLayers(ByteView data, const Header& h, LayerSection& out);

} // namespace vek::psd
