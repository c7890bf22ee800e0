// The layer and mask information section, as Adobe's file format document lays it out.
#include "libvek/formats/psd_layers.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "libvek/base/refusal.h"

namespace vek::psd {
namespace {

constexpr uint32_t key4(const char (&k)[5]) {
    return (uint32_t(uint8_t(k[0])) << 24) | (uint32_t(uint8_t(k[1])) << 16) | (uint32_t(uint8_t(k[2])) << 8) |
           uint32_t(uint8_t(k[3]));
}

struct BlendKey {
    char key[5];
    Blend mode;
};
constexpr BlendKey kBlendKeys[] = {
    {"norm", Blend::Normal},       {"diss", Blend::Dissolve},    {"dark", Blend::Darken},
    {"mul ", Blend::Multiply},     {"idiv", Blend::ColourBurn},  {"lbrn", Blend::LinearBurn},
    {"dkCl", Blend::DarkerColour}, {"lite", Blend::Lighten},     {"scrn", Blend::Screen},
    {"div ", Blend::ColourDodge},  {"lddg", Blend::LinearDodge}, {"lgCl", Blend::LighterColour},
    {"over", Blend::Overlay},      {"sLit", Blend::SoftLight},   {"hLit", Blend::HardLight},
    {"vLit", Blend::VividLight},   {"lLit", Blend::LinearLight}, {"pLit", Blend::PinLight},
    {"hMix", Blend::HardMix},      {"diff", Blend::Difference},  {"smud", Blend::Exclusion},
    {"fsub", Blend::Subtract},     {"fdiv", Blend::Divide},      {"hue ", Blend::Hue},
    {"sat ", Blend::Saturation},   {"colr", Blend::Colour},      {"lum ", Blend::Luminosity},
    {"pass", Blend::PassThrough},
};

// The blocks whose length is 8 bytes in PSB files (the format document's list, and the newer
// blocks Photoshop writes so).
bool wideLength(uint32_t key) {
    switch (key) {
    case key4("LMsk"):
    case key4("Lr16"):
    case key4("Lr32"):
    case key4("Layr"):
    case key4("Mt16"):
    case key4("Mt32"):
    case key4("Mtrn"):
    case key4("Alph"):
    case key4("FMsk"):
    case key4("lnk2"):
    case key4("lnk3"):
    case key4("lnkE"):
    case key4("FEid"):
    case key4("FXid"):
    case key4("PxSD"):
    case key4("pths"):
    case key4("extd"):
    case key4("extn"):
    case key4("cinf"):
    case key4("artd"): return true;
    default: return false;
    }
}

bool isAdjustment(uint32_t key) {
    switch (key) {
    case key4("brit"):
    case key4("levl"):
    case key4("curv"):
    case key4("expA"):
    case key4("vibA"):
    case key4("hue "):
    case key4("hue2"):
    case key4("blnc"):
    case key4("blwh"):
    case key4("phfl"):
    case key4("mixr"):
    case key4("clrL"):
    case key4("nvrt"):
    case key4("post"):
    case key4("thrs"):
    case key4("grdm"):
    case key4("selc"): return true;
    default: return false;
    }
}

bool readLength(ByteReader& r, bool wide, uint64_t& length) {
    if (wide) return r.u64be(length);
    uint32_t v;
    if (!r.u32be(v)) return false;
    length = v;
    return true;
}

bool readRect(ByteReader& r, Rect& rect) {
    uint32_t t, l, b, rt;
    if (!r.u32be(t) || !r.u32be(l) || !r.u32be(b) || !r.u32be(rt)) return false;
    rect = {static_cast<int32_t>(t), static_cast<int32_t>(l), static_cast<int32_t>(b), static_cast<int32_t>(rt)};
    return true;
}

bool readDouble(ByteReader& r, double& v) {
    uint64_t bits;
    if (!r.u64be(bits)) return false;
    std::memcpy(&v, &bits, 8);
    return true;
}

// Layer mask / adjustment layer data. With both a painted and a vector mask, the first rectangle
// is the vector mask as rendered (channel -2) and the "real" one the painted mask (channel -3).
bool readMask(ByteView block, Layer& layer) {
    if (block.size < 18) return block.size == 0;
    ByteReader r(block);
    Mask first;
    uint8_t flags;
    if (!readRect(r, first.rect) || !r.u8(first.outside) || !r.u8(flags)) return false;
    first.present = true;
    first.disabled = flags & 2;
    first.inverted = flags & 4;
    // The painted mask's own record, where a vector mask stands beside it; then the densities
    // and feathers, where the flags say they follow.
    Mask real;
    uint8_t realFlags;
    if (block.size >= 36 && r.u8(realFlags) && r.u8(real.outside) && readRect(r, real.rect)) {
        real.present = true;
        real.disabled = realFlags & 2;
        real.inverted = realFlags & 4;
        real.channel = -3;
    }
    uint8_t userDensity = 255, vectorDensity = 255;
    double userFeather = 0, vectorFeather = 0; // the vector mask's feather is not drawn
    uint8_t which;
    if ((flags & 16) && r.u8(which)) {
        if ((which & 1) && !r.u8(userDensity)) return false;
        if ((which & 2) && !readDouble(r, userFeather)) return false;
        if ((which & 4) && !r.u8(vectorDensity)) return false;
        if ((which & 8) && !readDouble(r, vectorFeather)) return false;
    }
    // With both a painted and a vector mask, channel -2 holds the two combined and -3 the painted
    // one. A mask "rendered from other data" alone is the vector mask as Photoshop rasterised it.
    layer.user = real.present ? real : first;
    layer.user.density = userDensity;
    layer.user.feather = userFeather;
    layer.userIsVectorRender = !real.present && (flags & 8);
    layer.vectorDensity = vectorDensity;
    if (!(userFeather >= 0 && userFeather < 1e4)) layer.user.feather = 0;
    return true;
}

// Whether an effects descriptor switches any effect on.
bool anyEnabled(const DValue& v, unsigned depth = 0) {
    if (depth > 8) return false;
    if (v.kind == DValue::Kind::List) {
        for (const auto& item : v.list)
            if (anyEnabled(item, depth + 1)) return true;
        return false;
    }
    if (!v.isObject()) return false;
    if (depth > 0 && v.flag("enab") && v.flag("present", true)) return true;
    for (const auto& item : v.items)
        if (item.key != "enab" && anyEnabled(item.value, depth + 1)) return true;
    return false;
}

std::shared_ptr<const DValue> descriptorOf(ByteView block) {
    auto d = std::make_shared<DValue>();
    if (!readVersionedDescriptor(block, *d)) return nullptr;
    return d;
}

void setFill(Layer& layer, uint32_t key, ByteView block, bool vectorContent) {
    auto d = descriptorOf(block);
    if (d == nullptr) return;
    if (layer.content != Content::Pixels && vectorContent) return; // the fill block holds the same
    switch (key) {
    case key4("SoCo"): layer.content = Content::SolidFill; break;
    case key4("GdFl"): layer.content = Content::GradientFill; break;
    case key4("PtFl"): layer.content = Content::PatternFill; break;
    default: return;
    }
    layer.fillSettings = std::move(d);
}

// A group's start or end, with the group's own blend mode where it gives one.
void readSection(ByteReader& r, Layer& layer) {
    uint32_t type;
    if (!r.u32be(type) || type > 3) return;
    layer.section = static_cast<Section>(type);
    const uint8_t* signature = r.take(4);
    const uint8_t* mode = r.take(4);
    Blend b;
    if (signature && mode && blendFromKey(mode, b)) {
        layer.groupBlend = b;
        layer.groupBlendGiven = true;
    }
}

void readFlag(ByteReader& r, bool& flag) {
    uint8_t v;
    if (r.u8(v)) flag = v != 0;
}

void readVectorMask(ByteReader& r, ByteView block, Layer& layer) {
    uint32_t version, flags;
    if (!r.u32be(version) || !r.u32be(flags)) return;
    layer.path.inverted = flags & 1;
    layer.path.disabled = flags & 4;
    layer.path.records = block.from(8);
}

void readBlock(uint32_t key, ByteView block, Layer& layer) {
    ByteReader r(block);
    switch (key) {
    case key4("lsct"):
    case key4("lsdk"): return readSection(r, layer);
    case key4("iOpa"): (void)r.u8(layer.fill); return;
    case key4("clbl"): return readFlag(r, layer.clipAsGroup);
    case key4("infx"): return readFlag(r, layer.interiorAsGroup);
    case key4("knko"): (void)r.u8(layer.knockout); return;
    case key4("brst"): {
        uint32_t channel;
        while (r.u32be(channel))
            if (channel < 32) layer.excludedChannels |= 1u << channel;
        return;
    }
    case key4("vmsk"):
    case key4("vsms"): return readVectorMask(r, block, layer);
    case key4("SoCo"):
    case key4("GdFl"):
    case key4("PtFl"): setFill(layer, key, block, false); return;
    case key4("vscg"): { // a shape's fill: its kind, then its settings
        uint32_t kind;
        if (r.u32be(kind)) setFill(layer, kind, block.from(4), true);
        layer.hasVectorFillData = true;
        return;
    }
    case key4("CgEd"): layer.adjustmentDescriptor = descriptorOf(block); return;
    case key4("lfx2"):
    case key4("lmfx"): {
        DValue d;
        if (r.skip(4) && readVersionedDescriptor(block.from(4), d) && d.flag("masterFXSwitch", true) && anyEnabled(d))
            layer.effects = true;
        return;
    }
    default:
        if (isAdjustment(key)) {
            layer.content = Content::Adjustment;
            layer.adjustment = key;
            layer.adjustmentData = block;
        }
        return;
    }
}

// Tagged blocks: a signature, a key, a length and the data, until the view ends.
template <typename Each> void readBlocks(ByteReader& r, bool wide, unsigned padding, const Each& each) {
    while (r.remaining() >= 12) {
        const uint8_t* signature = r.take(4);
        if (std::memcmp(signature, "8BIM", 4) != 0 && std::memcmp(signature, "8B64", 4) != 0) return;
        uint32_t key;
        uint64_t length;
        if (!r.u32be(key) || !readLength(r, wide && wideLength(key), length) || length > r.remaining()) return;
        const uint8_t* p = r.take(static_cast<size_t>(length));
        each(key, ByteView{p, static_cast<size_t>(length)});
        // Global blocks are padded to four bytes; some writers count the pad, some do not.
        const size_t pad = (padding - length % padding) % padding;
        if (pad && r.remaining() >= pad + 4) {
            const uint8_t* next = r.take(0) + pad;
            if (std::memcmp(next, "8BIM", 4) == 0 || std::memcmp(next, "8B64", 4) == 0) (void)r.skip(pad);
        }
    }
}

bool readRecord(ByteReader& r, bool wide, Layer& layer) {
    uint16_t channels;
    if (!readRect(r, layer.rect) || !r.u16be(channels)) return false;
    // Colour, transparency and two masks: a layer never has more than the document's 56 channels.
    if (channels > 64) return false;
    layer.channels.resize(channels);
    for (auto& c : layer.channels) {
        uint16_t id;
        uint64_t length;
        if (!r.u16be(id) || !readLength(r, wide, length) || length > SIZE_MAX / 2) return false;
        c.id = static_cast<int16_t>(id);
        c.length = static_cast<size_t>(length);
    }
    const uint8_t* signature = r.take(4);
    const uint8_t* mode = r.take(4);
    uint8_t clipping, flags, filler;
    uint32_t extraLength;
    if (!signature || !mode || !r.u8(layer.opacity) || !r.u8(clipping) || !r.u8(flags) || !r.u8(filler) ||
        !r.u32be(extraLength))
        return false;
    if (!blendFromKey(mode, layer.blend)) layer.blend = Blend::Normal;
    layer.clipped = clipping != 0;
    layer.hidden = flags & 2; // the document's "visible" bit is set on hidden layers
    const uint8_t* extra = r.take(extraLength);
    if (extra == nullptr) return false;
    ByteReader e({extra, extraLength});
    uint32_t maskLength, rangesLength;
    if (!e.u32be(maskLength)) return false;
    const uint8_t* mask = e.take(maskLength);
    if (mask == nullptr || !readMask({mask, maskLength}, layer) || !e.u32be(rangesLength)) return false;
    const uint8_t* ranges = e.take(rangesLength);
    if (ranges == nullptr) return false;
    for (uint32_t at = 0; at + 8 <= rangesLength; at += 8) {
        BlendRange range;
        std::memcpy(range.source, ranges + at, 4);
        std::memcpy(range.under, ranges + at + 4, 4);
        layer.blendIf.push_back(range);
    }
    uint8_t nameLength;
    if (!e.u8(nameLength) || !e.skip(((nameLength + 4u) & ~3u) - 1)) return false;
    readBlocks(e, wide, 1, [&](uint32_t key, ByteView block) { readBlock(key, block, layer); });
    if (layer.section != Section::Layer) layer.content = Content::Pixels;
    return true;
}

VekError endsInside(const char* what) {
    return refuse(VEK_ERROR_DAMAGED, "PSD: the layer section ends inside the %s", what);
}

// Layer info: the count, the records, then every layer's channel data in record order.
VekError readLayerInfo(ByteView data, size_t start, size_t end, bool wide, LayerSection& out) {
    ByteReader r({data.data, end});
    uint16_t count16;
    if (!r.seek(start) || !r.u16be(count16)) return endsInside("layer count");
    const int16_t count = static_cast<int16_t>(count16);
    out.mergedAlpha = count < 0;
    const size_t n = static_cast<size_t>(count < 0 ? -int32_t{count} : count);
    // A record takes at least 46 bytes: refused before anything is allocated for more.
    if (n > r.remaining() / 46 || n > kMaxLayers)
        return refuse(VEK_ERROR_DAMAGED, "PSD: %zu layers, more than the section or the limit of %zu holds", n,
                      size_t{kMaxLayers});
    out.layers.resize(n);
    for (auto& layer : out.layers)
        if (!readRecord(r, wide, layer)) return endsInside("layer records");
    size_t offset = r.position();
    for (auto& layer : out.layers)
        for (auto& c : layer.channels) {
            if (c.length > end - offset) return endsInside("layer channel data");
            c.offset = offset;
            offset += c.length;
        }
    for (const auto& layer : out.layers) out.effectLayers += layer.effects && !layer.hidden;
    return VEK_OK;
}

// A pattern: version 1, its mode, its size, names, a colour table for indexed ones, then its
// channels as a virtual memory array list (version 3).
void readPattern(ByteView block, std::vector<Pattern>& out) {
    ByteReader r(block);
    uint32_t version, mode, nameLength, listVersion, listLength, channelCount;
    uint16_t height, width;
    uint8_t idLength;
    Pattern p;
    if (!r.u32be(version) || version != 1 || !r.u32be(mode) || !r.u16be(height) || !r.u16be(width) ||
        !r.u32be(nameLength) || nameLength > r.remaining() / 2 || !r.skip(size_t{nameLength} * 2) || !r.u8(idLength))
        return;
    const uint8_t* id = r.take(idLength);
    if (id == nullptr || (mode == kIndexed && !r.skip(256 * 3 + 4))) return;
    if (!r.u32be(listVersion) || listVersion != 3 || !r.u32be(listLength) || listLength > r.remaining()) return;
    ByteReader list({r.take(0), listLength});
    Rect rect;
    if (!readRect(list, rect) || !list.u32be(channelCount) || channelCount > 56) return;
    p.id.assign(reinterpret_cast<const char*>(id), idLength);
    p.mode = mode;
    p.width = width;
    p.height = height;
    for (uint32_t i = 0; i < channelCount + 2; ++i) {
        uint32_t written, length;
        if (!list.u32be(written)) return;
        if (written == 0) {
            p.channels.push_back({});
            continue;
        }
        if (!list.u32be(length) || length > list.remaining()) return;
        p.channels.push_back({list.take(length), length});
    }
    out.push_back(std::move(p));
}

void readPatterns(ByteView block, std::vector<Pattern>& out) {
    ByteReader r(block);
    uint32_t length;
    while (out.size() < 4096 && r.u32be(length) && length <= r.remaining()) {
        readPattern({r.take(length), length}, out);
        (void)r.skip(std::min<size_t>((4 - length % 4) % 4, r.remaining()));
    }
}

} // namespace

bool blendFromKey(const uint8_t* key, Blend& mode) {
    for (const auto& k : kBlendKeys)
        if (std::memcmp(k.key, key, 4) == 0) {
            mode = k.mode;
            return true;
        }
    return false;
}

VekError readLayers(ByteView data, const Header& h, LayerSection& out) {
    const bool wide = h.version == 2;
    if (h.layersEnd <= h.layersStart || h.layersEnd > data.size) return VEK_OK;
    ByteReader r({data.data, h.layersEnd});
    uint64_t infoLength;
    if (!r.seek(h.layersStart) || !readLength(r, wide, infoLength) || infoLength > r.remaining())
        return endsInside("layer info");
    const size_t infoStart = r.position(), infoEnd = infoStart + static_cast<size_t>(infoLength);
    if (infoLength >= 2)
        if (VekError e = readLayerInfo(data, infoStart, infoEnd, wide, out)) return e;
    uint32_t globalMaskLength;
    if (!r.seek(infoEnd) || !r.u32be(globalMaskLength) || !r.skip(globalMaskLength)) return VEK_OK;
    VekError result = VEK_OK;
    const size_t base = 0;
    readBlocks(r, wide, 4, [&](uint32_t key, ByteView block) {
        switch (key) {
        case key4("Lr16"):
        case key4("Lr32"):
        case key4("Layr"):
            // 16- and 32-bit documents keep their layers here, with the same layout.
            if (out.layers.empty() && block.size >= 2) {
                const size_t start = static_cast<size_t>(block.data - data.data) + base;
                result = readLayerInfo(data, start, start + block.size, wide, out);
            }
            return;
        case key4("Patt"):
        case key4("Pat2"):
        case key4("Pat3"): readPatterns(block, out.patterns); return;
        default: return;
        }
    });
    return result;
}

} // namespace vek::psd
