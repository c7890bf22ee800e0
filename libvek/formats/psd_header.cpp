// Photoshop headers, colour mode data and image resources.
#include "libvek/formats/psd_header.h"

#include <algorithm>

#include "libvek/base/refusal.h"

namespace vek::psd {
namespace {

// The resolution is always stored in pixels per inch, as 16.16 fixed point; the unit that follows
// only says how Photoshop displays it.
uint16_t dpiFromFixed(uint32_t fixed) {
    return static_cast<uint16_t>(std::min<uint64_t>(65535, (uint64_t{fixed} + 0x8000) >> 16));
}

// A length of 4 bytes, or 8 in PSB files where the format says so.
bool readLength(ByteReader& r, bool wide, uint64_t& length) {
    if (wide) return r.u64be(length);
    uint32_t v;
    if (!r.u32be(v)) return false;
    length = v;
    return true;
}

VekError endsInside(const char* what) { return refuse(VEK_ERROR_DAMAGED, "PSD: the file ends inside the %s", what); }

VekError readResources(ByteView block, Header& h) {
    ByteReader r(block);
    while (r.remaining() >= 12) {
        const uint8_t* signature = r.take(4);
        uint16_t id;
        uint8_t nameLength;
        if (std::memcmp(signature, "8BIM", 4) != 0) return VEK_OK; // other signatures end the list we read
        if (!r.u16be(id) || !r.u8(nameLength)) return endsInside("image resources");
        // The name is a Pascal string padded to an even length, counting its length byte.
        if (!r.skip(nameLength + ((nameLength + 1u) % 2))) return endsInside("image resources");
        uint32_t size;
        if (!r.u32be(size)) return endsInside("image resources");
        const uint8_t* p = r.take(size);
        if (p == nullptr) return refuse(VEK_ERROR_DAMAGED, "PSD: image resource %u runs past its section", id);
        if (id == 0x03ED && size >= 16) { // resolution
            h.xDpi = dpiFromFixed(loadU32be(p));
            h.yDpi = dpiFromFixed(loadU32be(p + 8));
        } else if (id == 0x0421 && size >= 5) { // version information: "has real merged data"
            h.realMergedData = p[4] != 0;
        } else if (id == 0x040F) {
            h.profile = {p, size};
        } else if (id == 0x0417 && size >= 2) { // transparent index of an indexed picture
            h.transparentIndex = loadU16be(p);
        } else if ((id == 0x0435 && size >= 4) || (id == 0x03EF && !h.displayFrom1077)) {
            // 1077: a version, then 13 bytes a channel; 1007, its predecessor: 14 bytes a channel.
            const bool current = id == 0x0435;
            const size_t skip = current ? 4 : 0, entry = current ? 13 : 14;
            h.display.clear();
            h.displayFrom1077 = current;
            for (size_t at = skip; at + 13 <= size && h.display.size() < h.channels; at += entry)
                h.display.push_back(displayOf(p + at));
        }
        // Resources are padded to an even length; the last one's pad may be missing.
        if (size % 2 && !r.skip(1)) return VEK_OK;
    }
    return VEK_OK;
}

} // namespace

bool sniffSignature(ByteView data) {
    if (!data.startsWith("8BPS", 4) || data.size < 26) return false;
    const uint16_t version = loadU16be(data.data + 4);
    return version == 1 || version == 2;
}

unsigned colourChannels(uint16_t mode) {
    switch (mode) {
    case kRgb:
    case kLab: return 3;
    case kCmyk: return 4;
    default: return 1;
    }
}

VekError checkModeAndDepth(const Header& h) {
    switch (h.mode) {
    case kBitmap:
        if (h.depth != 1) return refuse(VEK_ERROR_DAMAGED, "PSD: bitmap mode at %u bits", h.depth);
        break;
    case kGrey:
    case kIndexed:
    case kRgb:
    case kCmyk:
    case kMultichannel:
    case kDuotone:
    case kLab: break;
    default: return refuse(VEK_ERROR_UNSUPPORTED, "PSD: colour mode %u", h.mode);
    }
    if (h.mode != kBitmap && h.depth == 1) return refuse(VEK_ERROR_DAMAGED, "PSD: 1 bit in colour mode %u", h.mode);
    if (h.mode == kIndexed && h.depth != 8) return refuse(VEK_ERROR_DAMAGED, "PSD: indexed colour at %u bits", h.depth);
    if (h.channels < colourChannels(h.mode))
        return refuse(VEK_ERROR_DAMAGED, "PSD: %u channels, fewer than colour mode %u has", h.channels, h.mode);
    return VEK_OK;
}

// Layers and masks are skipped by their length; only the sign of the layer count is read.
VekError skipLayers(ByteReader& r, bool wide, Header& h) {
    uint64_t layersLength;
    if (!readLength(r, wide, layersLength) || layersLength > r.remaining()) return endsInside("layer and mask section");
    const size_t layersEnd = r.position() + static_cast<size_t>(layersLength);
    h.layersStart = r.position();
    h.layersEnd = layersEnd;
    if (layersLength >= (wide ? 10u : 6u)) {
        uint64_t layerInfoLength;
        uint16_t count;
        if (readLength(r, wide, layerInfoLength) && layerInfoLength >= 2 && r.u16be(count))
            h.mergedAlpha = static_cast<int16_t>(count) < 0;
    }
    if (!r.seek(layersEnd)) return endsInside("layer and mask section");
    return VEK_OK;
}

VekError readHeader(ByteView data, Header& h) {
    ByteReader r(data);
    if (!r.skip(4) || !r.u16be(h.version) || !r.skip(6) || !r.u16be(h.channels) || !r.u32be(h.height) ||
        !r.u32be(h.width) || !r.u16be(h.depth) || !r.u16be(h.mode))
        return endsInside("header");
    if (h.version != 1 && h.version != 2) return refuse(VEK_ERROR_UNSUPPORTED, "PSD: version %u", h.version);
    // The format's documents say 56 channels at most, yet Photoshop writes more (one alpha channel
    // a saved selection); any count is read, and only the picture's own channels are decoded.
    if (h.channels < 1) return refuse(VEK_ERROR_DAMAGED, "PSD: no channels");
    const uint32_t maxSide = h.version == 1 ? 30000 : 300000;
    if (h.width == 0 || h.height == 0 || h.width > maxSide || h.height > maxSide)
        return refuse(VEK_ERROR_DAMAGED, "PSD: %u x %u pixels, where a side is 1 to %u", h.width, h.height, maxSide);
    if (h.depth != 1 && h.depth != 8 && h.depth != 16 && h.depth != 32)
        return refuse(VEK_ERROR_UNSUPPORTED, "PSD: %u bits a channel", h.depth);
    if (VekError e = checkModeAndDepth(h)) return e;
    const bool wide = h.version == 2;

    uint32_t modeLength;
    if (!r.u32be(modeLength)) return endsInside("colour mode data");
    const uint8_t* modeData = r.take(modeLength);
    if (modeData == nullptr) return endsInside("colour mode data");
    h.colourModeData = {modeData, modeLength};
    if (h.mode == kIndexed && modeLength < 768)
        return refuse(VEK_ERROR_DAMAGED, "PSD: a colour table of %u bytes, not 768", modeLength);

    uint32_t resourcesLength;
    if (!r.u32be(resourcesLength)) return endsInside("image resources");
    const uint8_t* resources = r.take(resourcesLength);
    if (resources == nullptr) return endsInside("image resources");
    if (VekError e = readResources({resources, resourcesLength}, h)) return e;

    if (VekError e = skipLayers(r, wide, h)) return e;
    // Multichannel pictures have no transparency of their own: their inks are all their channels.
    if (h.channels <= colourChannels(h.mode) || h.inkChannels() > 0) h.mergedAlpha = false;
    h.imageData = r.position();
    return VEK_OK;
}

void describe(ByteView data, const Header& h, ImageInfo& info) {
    info.width = static_cast<int32_t>(h.width);
    info.height = static_cast<int32_t>(h.height);
    info.bitsPerComponent = h.depth;
    info.componentsPerPixel = static_cast<uint16_t>(colourChannels(h.mode) + (h.mergedAlpha ? 1 : 0));
    if (h.mode == kDuotone || h.mode == kMultichannel || h.mode == kBitmap) info.componentsPerPixel = 1;
    if (h.inkChannels() > 0) info.componentsPerPixel = static_cast<uint16_t>(h.inkChannels());
    info.xDpi = h.xDpi;
    info.yDpi = h.yDpi;
    if (h.mode == kIndexed) {
        info.paletteEntries = 256;
        info.transparentIndex = static_cast<int16_t>(h.transparentIndex);
    }
    if (data.size >= h.imageData + 2) info.compression = loadU16be(data.data + h.imageData);
}

} // namespace vek::psd
