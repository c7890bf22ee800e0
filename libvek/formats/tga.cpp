// Truevision TGA: colour-mapped, true-colour and grey, raw or run-length encoded, with the 2.0
// footer's alpha attributes. TGA has no signature, so it is detected only on a strictly plausible
// header, after every other reader.
#include <algorithm>
#include <cstring>
#include <vector>

#include "libvek/core/limits.h"
#include "libvek/core/pixels.h"
#include "libvek/formats/formats.h"

namespace vek {
namespace {

struct Header {
    uint8_t idLength, colourMapType, imageType;
    uint16_t mapFirst, mapLength;
    uint8_t mapEntryBits;
    uint16_t xOrigin, yOrigin, width, height;
    uint8_t pixelBits, descriptor;

    bool rle() const { return imageType >= 9; }
    int baseType() const { return imageType & 7; }
    unsigned alphaBits() const { return descriptor & 15u; }
    size_t mapBytes() const { return static_cast<size_t>(mapLength) * ((mapEntryBits + 7u) / 8u); }
    size_t dataOffset() const { return 18u + idLength + (colourMapType == 1 ? mapBytes() : 0); }
};

constexpr char kFooterSignature[] = "TRUEVISION-XFILE.";

bool parse(ByteView data, Header& h) {
    if (data.size < 18) return false;
    const uint8_t* p = data.data;
    h.idLength = p[0];
    h.colourMapType = p[1];
    h.imageType = p[2];
    h.mapFirst = loadU16le(p + 3);
    h.mapLength = loadU16le(p + 5);
    h.mapEntryBits = p[7];
    h.xOrigin = loadU16le(p + 8);
    h.yOrigin = loadU16le(p + 10);
    h.width = loadU16le(p + 12);
    h.height = loadU16le(p + 14);
    h.pixelBits = p[16];
    h.descriptor = p[17];
    return true;
}

bool mapEntryBitsValid(uint8_t bits) { return bits == 15 || bits == 16 || bits == 24 || bits == 32; }

// Every field checked against what writers produce, since random data must not pass for a TGA.
bool plausible(const Header& h, size_t size) {
    if (h.colourMapType > 1) return false;
    switch (h.imageType) {
    case 1: case 9:
        if (h.colourMapType != 1 || h.pixelBits != 8 || h.mapLength == 0 || !mapEntryBitsValid(h.mapEntryBits))
            return false;
        break;
    case 2: case 10:
        if (h.pixelBits != 15 && h.pixelBits != 16 && h.pixelBits != 24 && h.pixelBits != 32) return false;
        break;
    case 3: case 11:
        // 16 bits: grey, then alpha (or an unused byte when the descriptor counts no alpha bits).
        if (h.pixelBits != 8 && h.pixelBits != 16) return false;
        break;
    default:
        return false;
    }
    if (h.colourMapType == 1 && !mapEntryBitsValid(h.mapEntryBits)) return false;
    if (h.colourMapType == 0 && (h.mapLength != 0 || h.mapFirst != 0)) return false;
    if (h.width == 0 || h.height == 0) return false;
    if ((h.descriptor & 0xC0) != 0 || h.alphaBits() > 8) return false;
    return h.dataOffset() < size;
}

bool sniff(ByteView data) {
    Header h;
    return parse(data, h) && plausible(h, data.size);
}

enum class AlphaUse { None, Straight, Premultiplied };

// The 2.0 extension area's attributes type says what the alpha bits mean; without it the
// descriptor's alpha bit count decides.
AlphaUse alphaUse(ByteView data, const Header& h) {
    const bool canCarry = h.pixelBits == 32 || h.pixelBits == 16 || (h.baseType() == 1 && (h.mapEntryBits == 32 || h.mapEntryBits == 16));
    if (!canCarry) return AlphaUse::None;
    if (data.size >= 18 + 26 && std::memcmp(data.data + data.size - 18, kFooterSignature, 18) == 0) {
        const uint32_t extension = loadU32le(data.data + data.size - 26);
        if (extension != 0 && static_cast<size_t>(extension) + 495 <= data.size - 26 &&
            loadU16le(data.data + extension) >= 495) {
            switch (data.data[extension + 494]) {
            case 3: return AlphaUse::Straight;
            case 4: return AlphaUse::Premultiplied;
            default: return AlphaUse::None;
            }
        }
    }
    return h.alphaBits() > 0 ? AlphaUse::Straight : AlphaUse::None;
}

VekError query(ByteView data, ImageInfo& info) {
    Header h;
    if (!parse(data, h) || !plausible(h, data.size)) return VEK_ERROR_DAMAGED;
    info.width = h.width;
    info.height = h.height;
    info.xOffset = h.xOrigin;
    info.yOffset = h.yOrigin;
    info.compression = h.rle() ? 1 : 0;
    if (h.baseType() == 2 && h.pixelBits >= 24) {
        info.bitsPerComponent = 8;
        info.componentsPerPixel = h.pixelBits / 8;
    } else if (h.baseType() == 3) {
        info.bitsPerComponent = 8;
        info.componentsPerPixel = h.pixelBits / 8;
    } else {
        info.bitsPerComponent = h.pixelBits;
        info.componentsPerPixel = 1;
    }
    if (h.baseType() == 1) info.paletteEntries = h.mapLength;
    return VEK_OK;
}

// One pixel value as BGRA; 16-bit values are A1R5G5B5.
void toBgra(const uint8_t* p, unsigned bits, bool alpha, uint8_t* out) {
    switch (bits) {
    case 15:
    case 16: {
        const uint32_t v = loadU16le(p);
        storeBgra(out, expand5((v >> 10) & 31), expand5((v >> 5) & 31), expand5(v & 31),
                  alpha && bits == 16 ? ((v & 0x8000) ? 255 : 0) : 255);
        break;
    }
    case 24:
        storeBgra(out, p[2], p[1], p[0], 255);
        break;
    default:
        storeBgra(out, p[2], p[1], p[0], alpha ? p[3] : 255);
        break;
    }
}

// Reads the width x height pixel values, raw or RLE, into one buffer in file order. RLE packets
// may run from one row into the next.
VekError readValues(ByteReader& r, const Header& h, size_t bytesPerValue, std::vector<uint8_t>& values) {
    const size_t count = static_cast<size_t>(h.width) * h.height;
    // Refuse before allocating: raw data must all be there, and one RLE byte stands for at most
    // 128 pixels.
    if (!h.rle() && !r.has(count * bytesPerValue)) return VEK_ERROR_DAMAGED;
    if (h.rle() && count / 128 > r.remaining()) return VEK_ERROR_DAMAGED;
    values.resize(count * bytesPerValue);
    if (!h.rle()) {
        const uint8_t* p = r.take(values.size());
        if (p == nullptr) return VEK_ERROR_DAMAGED;
        std::memcpy(values.data(), p, values.size());
        return VEK_OK;
    }
    size_t done = 0;
    while (done < count) {
        uint8_t packet;
        if (!r.u8(packet)) return VEK_ERROR_DAMAGED;
        const size_t n = std::min<size_t>((packet & 0x7F) + 1u, count - done);
        if (packet & 0x80) {
            const uint8_t* v = r.take(bytesPerValue);
            if (v == nullptr) return VEK_ERROR_DAMAGED;
            for (size_t i = 0; i < n; ++i) std::memcpy(&values[(done + i) * bytesPerValue], v, bytesPerValue);
        } else {
            const uint8_t* v = r.take(((packet & 0x7F) + 1u) * bytesPerValue);
            if (v == nullptr) return VEK_ERROR_DAMAGED;
            std::memcpy(&values[done * bytesPerValue], v, n * bytesPerValue);
        }
        done += n;
    }
    return VEK_OK;
}

VekError load(ByteView data, const LoadOptions& options, Image& image) {
    Header h;
    if (!parse(data, h) || !plausible(h, data.size)) return VEK_ERROR_DAMAGED;
    if (!dimensionsAllowed(h.width, h.height, options.maxPixels)) return VEK_ERROR_TOO_LARGE;
    const AlphaUse alpha = alphaUse(data, h);
    ByteReader r(data);
    r.seek(18u + h.idLength);  // the image ID is skipped
    const uint8_t* map = nullptr;
    if (h.colourMapType == 1 && (map = r.take(h.mapBytes())) == nullptr) return VEK_ERROR_DAMAGED;

    const unsigned bits = h.baseType() == 1 ? 8u : h.pixelBits;
    const size_t bytesPerValue = (bits + 7u) / 8u;
    std::vector<uint8_t> values;
    if (VekError e = readValues(r, h, bytesPerValue, values)) return e;

    const bool rightToLeft = (h.descriptor & 0x10) != 0;
    const bool topToBottom = (h.descriptor & 0x20) != 0;
    const size_t mapEntryBytes = (h.mapEntryBits + 7u) / 8u;
    image.bitsPerComponent = 8;

    // A colour map without alpha, of at most 256 entries, keeps the palette form.
    const bool indexed = h.baseType() == 1 && alpha == AlphaUse::None && h.mapLength <= 256;
    const bool grey = h.baseType() == 3;
    const bool greyAlpha = grey && h.pixelBits == 16 && alpha != AlphaUse::None;
    const Layout layout = indexed ? Layout::Indexed8 : grey && !greyAlpha ? Layout::Gray8 : Layout::Bgra32;
    if (VekError e = image.allocate(h.width, h.height, layout, options)) return e;
    if (indexed) {
        image.paletteEntries = h.mapLength;
        for (int i = 0; i < h.mapLength; ++i) {
            uint8_t bgra[4];
            toBgra(map + static_cast<size_t>(i) * mapEntryBytes, h.mapEntryBits, false, bgra);
            image.setPaletteEntry(i, bgra[2], bgra[1], bgra[0]);
        }
    }
    image.componentsPerPixel = greyAlpha ? 4 : indexed || grey ? 1 : alpha != AlphaUse::None ? 4 : 3;

    for (int32_t fileRow = 0; fileRow < h.height; ++fileRow) {
        const int32_t y = topToBottom ? fileRow : h.height - 1 - fileRow;
        uint8_t* out = image.row(y);
        for (int32_t fileColumn = 0; fileColumn < h.width; ++fileColumn) {
            const int32_t x = rightToLeft ? h.width - 1 - fileColumn : fileColumn;
            const uint8_t* v = &values[(static_cast<size_t>(fileRow) * h.width + fileColumn) * bytesPerValue];
            if (greyAlpha) {
                storeBgra(out + x * 4, v[0], v[0], v[0], v[1]);
            } else if (grey) {
                out[x] = v[0];
            } else if (h.baseType() == 1) {
                // Indices count from the map's first entry; one outside the map paints black.
                const bool inMap = v[0] >= h.mapFirst && v[0] - h.mapFirst < h.mapLength;
                const unsigned entry = v[0] - h.mapFirst;
                if (indexed) {
                    if (!inMap && h.mapLength == 256) return VEK_ERROR_DAMAGED;  // no index is left for black
                    out[x] = static_cast<uint8_t>(inMap ? entry : h.mapLength);
                } else if (inMap) {
                    toBgra(map + entry * mapEntryBytes, h.mapEntryBits, alpha != AlphaUse::None, out + x * 4);
                } else {
                    storeBgra(out + x * 4, 0, 0, 0, 255);
                }
            } else {
                toBgra(v, bits, alpha != AlphaUse::None, out + x * 4);
            }
        }
    }
    if (alpha == AlphaUse::Premultiplied && layout == Layout::Bgra32) {
        for (int32_t y = 0; y < image.height(); ++y) {
            uint8_t* p = image.row(y);
            for (int32_t x = 0; x < image.width(); ++x, p += 4) {
                const unsigned a = p[3];
                if (a == 0 || a == 255) continue;
                for (int c = 0; c < 3; ++c) p[c] = static_cast<uint8_t>(std::min(255u, (p[c] * 255u + a / 2) / a));
            }
        }
    }
    return VEK_OK;
}

} // namespace

const FormatReader kTgaReader = {VEK_FORMAT_TGA, "TGA", sniff, query, load};

} // namespace vek
