// Truevision TGA: colour-mapped, true-colour and grey, raw or run-length encoded, with the 2.0
// footer's alpha attributes. TGA has no signature, so it is detected only on a strictly plausible
// header, after every other reader.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "libvek/base/limits.h"
#include "libvek/core/pixels.h"
#include "libvek/core/rows.h"
#include "libvek/formats/formats.h"
#include "libvek/system/workers.h"

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

// Raw grey at 1, 2 or 4 bits a pixel: pixels packed from the high bit, rows padded to a whole byte,
// as Pillow writes and reads them.
bool packedGrey(uint8_t bits) { return bits == 1 || bits == 2 || bits == 4; }

bool mapEntryBitsValid(uint8_t bits) { return bits == 15 || bits == 16 || bits == 24 || bits == 32; }

// Every field checked against what writers produce, since random data must not pass for a TGA.
bool plausible(const Header& h, size_t size) {
    if (h.colourMapType > 1) return false;
    switch (h.imageType) {
    case 1:
    case 9:
        if (h.colourMapType != 1 || h.pixelBits != 8 || h.mapLength == 0 || !mapEntryBitsValid(h.mapEntryBits))
            return false;
        break;
    case 2:
    case 10:
        if (h.pixelBits != 15 && h.pixelBits != 16 && h.pixelBits != 24 && h.pixelBits != 32) return false;
        break;
    case 3:
    case 11:
        // 16 bits: grey, then alpha (or an unused byte when the descriptor counts no alpha bits).
        if (h.pixelBits != 8 && h.pixelBits != 16 && !(h.imageType == 3 && packedGrey(h.pixelBits))) return false;
        break;
    default: return false;
    }
    if (h.colourMapType == 1 && !mapEntryBitsValid(h.mapEntryBits)) return false;
    if (h.colourMapType == 0 && (h.mapLength != 0 || h.mapFirst != 0)) return false;
    if (h.width == 0 || h.height == 0) return false;
    if ((h.descriptor & 0xC0) != 0 || h.alphaBits() > 8) return false;
    return h.dataOffset() < size;
}

enum class AlphaUse { None, Straight, Premultiplied };

// The 2.0 extension area's attributes type says what the alpha bits mean; without it the
// descriptor's alpha bit count decides.
AlphaUse alphaUse(ByteView data, const Header& h) {
    const bool canCarry =
        h.pixelBits == 32 || h.pixelBits == 16 || (h.baseType() == 1 && (h.mapEntryBits == 32 || h.mapEntryBits == 16));
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

void describe(const Header& h, ImageInfo& info) {
    info.width = h.width;
    info.height = h.height;
    info.xOffset = h.xOrigin;
    info.yOffset = h.yOrigin;
    info.compression = h.rle() ? 1 : 0;
    if (h.baseType() == 2 && h.pixelBits >= 24) {
        info.bitsPerComponent = 8;
        info.componentsPerPixel = h.pixelBits / 8;
    } else if (h.baseType() == 3 && !packedGrey(h.pixelBits)) {
        info.bitsPerComponent = 8;
        info.componentsPerPixel = h.pixelBits / 8;
    } else {
        info.bitsPerComponent = h.pixelBits;
        info.componentsPerPixel = 1;
    }
    if (h.baseType() == 1) info.paletteEntries = h.mapLength;
}

// One 15- or 16-bit value (A1R5G5B5) as BGRA.
uint32_t word16(uint32_t v, bool alpha) {
    const uint32_t a = alpha ? ((v & 0x8000) ? 255u : 0u) : 255u;
    return bgraWord(expand5((v >> 10) & 31), expand5((v >> 5) & 31), expand5(v & 31), a);
}

// Turns the file's pixel values into the picture's, a span at a time: values arrive in file order,
// a run of equal values or a stretch of distinct ones, and each lands at its place in the picture
// whatever the origin. Every value kind is one tight loop; 32-bit values with alpha are BGRA as
// stored, so a row of them is one copy.
class Writer {
public:
    enum class Kind { Copy8, Copy32, Opaque32, Rgb24, Word16, GreyAlpha, Grey16, Lookup8, Table8 };

    Writer(Image& image, const Header& h, Kind kind, size_t valueBytes, const uint32_t* table, const uint8_t* indices)
        : image_(image),
          kind_(kind),
          valueBytes_(valueBytes),
          table_(table),
          indices_(indices),
          width_(h.width),
          height_(h.height),
          rightToLeft_((h.descriptor & 0x10) != 0),
          topToBottom_((h.descriptor & 0x20) != 0),
          alpha16_(h.alphaBits() > 0) {}

    size_t left() const { return static_cast<size_t>(width_) * static_cast<size_t>(height_) - done_; }
    // Where the next value lands, counted in file order: a band of rows starts at its first.
    void startAt(size_t done) { done_ = done; }

    // n values from `in`, or with repeat the one value at `in` n times; n may run across rows.
    void put(const uint8_t* in, size_t n, bool repeat) {
        while (n > 0) {
            const size_t column = done_ % width_, row = done_ / width_;
            const size_t span = std::min(n, static_cast<size_t>(width_) - column);
            const int32_t y = topToBottom_ ? static_cast<int32_t>(row) : height_ - 1 - static_cast<int32_t>(row);
            uint8_t* out = image_.row(y);
            if (rightToLeft_) {
                for (size_t i = 0; i < span; ++i)
                    convert(repeat ? in : in + i * valueBytes_, 1, out, width_ - 1 - (column + i));
            } else if (repeat) {
                for (size_t i = 0; i < span; ++i) convert(in, 1, out, column + i);
            } else {
                convert(in, span, out, column);
            }
            if (!repeat) in += span * valueBytes_;
            done_ += span;
            n -= span;
        }
    }

private:
    void convert(const uint8_t* in, size_t n, uint8_t* row, size_t x) {
        uint8_t* o8 = row + x;
        uint8_t* o32 = row + x * 4;
        switch (kind_) {
        case Kind::Copy8: std::memcpy(o8, in, n); break;
        case Kind::Copy32: std::memcpy(o32, in, n * 4); break;
        case Kind::Opaque32:
            for (size_t i = 0; i < n; ++i) storeWord(o32 + i * 4, loadU32le(in + i * 4) | 0xFF000000u);
            break;
        case Kind::Rgb24: rows::bgrToBgra(in, o32, n, image_.kernels()); break;
        case Kind::Word16:
            for (size_t i = 0; i < n; ++i) storeWord(o32 + i * 4, word16(loadU16le(in + i * 2), alpha16_));
            break;
        case Kind::GreyAlpha:
            for (size_t i = 0; i < n; ++i, in += 2) storeWord(o32 + i * 4, bgraWord(in[0], in[0], in[0], in[1]));
            break;
        case Kind::Grey16:
            for (size_t i = 0; i < n; ++i) o8[i] = in[i * 2];
            break;
        case Kind::Lookup8:
            for (size_t i = 0; i < n; ++i) o8[i] = indices_[in[i]];
            break;
        case Kind::Table8:
            for (size_t i = 0; i < n; ++i) storeWord(o32 + i * 4, table_[in[i]]);
            break;
        }
    }

    Image& image_;
    Kind kind_;
    size_t valueBytes_;
    const uint32_t* table_;
    const uint8_t* indices_;
    int32_t width_, height_;
    bool rightToLeft_, topToBottom_, alpha16_;
    size_t done_ = 0;
};

VekError endsInside(const char* what) { return refuse(VEK_ERROR_DAMAGED, "TGA: the file ends inside the %s", what); }

// The width x height values, raw or RLE; RLE packets may run from one row into the next.
VekError readValues(ByteReader& r, const Header& h, size_t count, size_t valueBytes, Writer& writer) {
    if (!h.rle()) {
        // Raw data must all be there; the picture is then filled row by row.
        size_t bytes;
        if (!checkedMultiply(count, valueBytes, bytes))
            return refuse(VEK_ERROR_TOO_LARGE, "TGA: the pixels do not fit the address space");
        const uint8_t* p = r.take(bytes);
        if (p == nullptr) return endsInside("pixels");
        const size_t width = static_cast<size_t>(h.width);
        workers::forRanges(count, count / width, [&](size_t first, size_t end) {
            Writer band = writer;
            band.startAt(first * width);
            band.put(p + first * width * valueBytes, (end - first) * width, false);
        });
        return VEK_OK;
    }
    while (writer.left() > 0) {
        uint8_t packet;
        if (!r.u8(packet)) return endsInside("RLE packets");
        const size_t stored = (packet & 0x7Fu) + 1u;
        const size_t n = std::min(stored, writer.left()); // overruns are clipped at the picture's end
        const uint8_t* v = r.take((packet & 0x80) ? valueBytes : stored * valueBytes);
        if (v == nullptr) return endsInside("RLE packets");
        writer.put(v, n, (packet & 0x80) != 0);
    }
    return VEK_OK;
}

// Whether the RLE packets from the reader's position hold `count` pixels: walked, without decoding,
// before anything is allocated, so that a truncated file costs no memory to refuse.
bool packetsHoldAll(ByteReader r, size_t count, size_t valueBytes) {
    for (size_t have = 0; have < count;) {
        uint8_t packet;
        if (!r.u8(packet)) return false;
        const size_t n = (packet & 0x7Fu) + 1u;
        if (!r.skip((packet & 0x80) ? valueBytes : n * valueBytes)) return false;
        have += n;
    }
    return true;
}

VekError loadPackedGrey(ByteReader& r, const Header& h, const LoadOptions& options, Image& image) {
    const size_t stride = (static_cast<size_t>(h.width) * h.pixelBits + 7) / 8; // 16 bits by 4 at most
    size_t bytes;
    if (!checkedMultiply(stride, h.height, bytes))
        return refuse(VEK_ERROR_TOO_LARGE, "TGA: the pixels do not fit the address space");
    const uint8_t* in = r.take(bytes);
    if (in == nullptr) return endsInside("pixels");
    if (VekError e = image.allocate(h.width, h.height, Layout::Gray8, options)) return e;
    image.bitsPerComponent = 8;
    image.componentsPerPixel = 1;
    const unsigned bits = h.pixelBits, mask = (1u << bits) - 1, scale = 255 / mask;
    const bool rightToLeft = (h.descriptor & 0x10) != 0, topToBottom = (h.descriptor & 0x20) != 0;
    for (int32_t row = 0; row < h.height; ++row, in += stride) {
        uint8_t* out = image.row(topToBottom ? row : h.height - 1 - row);
        for (int32_t x = 0; x < h.width; ++x) {
            const size_t bit = static_cast<size_t>(x) * bits;
            const unsigned v = (in[bit / 8] >> (8 - bits - bit % 8)) & mask;
            out[rightToLeft ? h.width - 1 - x : x] = static_cast<uint8_t>(v * scale);
        }
    }
    return VEK_OK;
}

// Colour-mapped values go through a table: indices count from the map's first entry, and one outside
// the map paints black (an index past the palette, for the palette form).
void mapTables(const Header& h, const uint8_t* map, bool withAlpha, bool indexed, uint32_t (&table)[256],
               uint8_t (&indices)[256], Image& image) {
    const size_t entryBytes = (h.mapEntryBits + 7u) / 8u;
    auto entry = [&](unsigned i, bool useAlpha) {
        const uint8_t* e = map + i * entryBytes;
        if (h.mapEntryBits <= 16) return word16(loadU16le(e), useAlpha && h.mapEntryBits == 16);
        return bgraWord(e[2], e[1], e[0], h.mapEntryBits == 32 && useAlpha ? e[3] : 255);
    };
    for (unsigned v = 0; v < 256; ++v) {
        const bool inMap = v >= h.mapFirst && v - h.mapFirst < h.mapLength;
        table[v] = inMap ? entry(v - h.mapFirst, withAlpha) : bgraWord(0, 0, 0, 255);
        indices[v] = static_cast<uint8_t>(inMap ? v - h.mapFirst : h.mapLength);
    }
    if (!indexed) return;
    image.paletteEntries = h.mapLength;
    for (unsigned i = 0; i < h.mapLength; ++i) {
        const uint32_t c = entry(i, false);
        image.setPaletteEntry(static_cast<int>(i), static_cast<uint8_t>(c >> 16), static_cast<uint8_t>(c >> 8),
                              static_cast<uint8_t>(c));
    }
}

Writer::Kind writerKind(const Header& h, bool indexed, bool grey, bool greyAlpha, bool withAlpha) {
    if (h.baseType() == 1) return indexed ? Writer::Kind::Lookup8 : Writer::Kind::Table8;
    if (grey)
        return h.pixelBits == 8 ? Writer::Kind::Copy8 : greyAlpha ? Writer::Kind::GreyAlpha : Writer::Kind::Grey16;
    if (h.pixelBits == 32) return withAlpha ? Writer::Kind::Copy32 : Writer::Kind::Opaque32;
    return h.pixelBits == 24 ? Writer::Kind::Rgb24 : Writer::Kind::Word16;
}

VekError loadPicture(ByteView data, const Header& h, const LoadOptions& options, Image& image) {
    const AlphaUse alpha = alphaUse(data, h);
    ByteReader r(data);
    if (!r.seek(18u + h.idLength)) return endsInside("image ID"); // skipped
    const uint8_t* map = nullptr;
    if (h.colourMapType == 1 && (map = r.take(h.mapBytes())) == nullptr) return endsInside("colour map");
    if (packedGrey(h.pixelBits)) return loadPackedGrey(r, h, options, image);
    const unsigned bits = h.baseType() == 1 ? 8u : h.pixelBits;
    const size_t valueBytes = (bits + 7u) / 8u;
    size_t count, rawBytes;
    if (!checkedMultiply(h.width, h.height, count) || !checkedMultiply(count, valueBytes, rawBytes))
        return refuse(VEK_ERROR_TOO_LARGE, "TGA: the pixels do not fit the address space");
    // Refuse before allocating: raw data must all be there, and RLE packets must hold every pixel.
    if (!h.rle() && !r.has(rawBytes)) return endsInside("pixels");
    if (h.rle() && !packetsHoldAll(r, count, valueBytes)) return endsInside("RLE packets");

    const bool withAlpha = alpha != AlphaUse::None;
    // A colour map without alpha keeps the palette form while an index is left over for values
    // outside the map.
    const bool indexed =
        h.baseType() == 1 && !withAlpha && (h.mapLength < 256 || (h.mapLength == 256 && h.mapFirst == 0));
    const bool grey = h.baseType() == 3;
    const bool greyAlpha = grey && h.pixelBits == 16 && withAlpha;
    const Layout layout = indexed ? Layout::Indexed8 : grey && !greyAlpha ? Layout::Gray8 : Layout::Bgra32;
    if (VekError e = image.allocate(h.width, h.height, layout, options)) return e;
    image.bitsPerComponent = 8;
    image.componentsPerPixel = greyAlpha ? 4 : indexed || grey ? 1 : withAlpha ? 4 : 3;

    uint32_t table[256];
    uint8_t indices[256];
    if (h.baseType() == 1) mapTables(h, map, withAlpha, indexed, table, indices, image);
    const Writer::Kind kind = writerKind(h, indexed, grey, greyAlpha, withAlpha);
    Writer writer(image, h, kind, valueBytes, table, indices);
    if (VekError e = readValues(r, h, count, valueBytes, writer)) return e;

    if (alpha == AlphaUse::Premultiplied && layout == Layout::Bgra32) {
        workers::forRanges(count, static_cast<size_t>(image.height()), [&](size_t first, size_t end) {
            for (size_t y = first; y < end; ++y)
                unpremultiply(image.row(static_cast<int32_t>(y)), static_cast<size_t>(image.width()));
        });
    }
    return VEK_OK;
}

class TgaDecoder final : public Decoder {
public:
    TgaDecoder(ByteView data, const Header& h) : Decoder(data, "TGA"), h_(h) { describe(h, info_); }
    VekError decode(const LoadOptions& options, Image& image) override {
        return loadPicture(data_, h_, options, image);
    }

private:
    Header h_;
};

} // namespace

namespace tga_format {

bool sniff(ByteView) { return false; } // TGA has no signature

bool sniffLate(ByteView data) {
    Header h;
    return parse(data, h) && plausible(h, data.size);
}

VekError open(ByteView data, DecoderPtr& decoder) {
    Header h;
    if (!parse(data, h) || !plausible(h, data.size))
        return refuse(VEK_ERROR_DAMAGED, "TGA: not a header a writer makes");
    decoder = std::make_unique<TgaDecoder>(data, h);
    return VEK_OK;
}

} // namespace tga_format
} // namespace vek
