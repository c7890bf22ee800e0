// DirectDraw Surface: the legacy header and the DX10 extension; block-compressed BC1 to BC7 and the
// common uncompressed layouts. Only the top mip level of the first face or array slice is read,
// and the header's pitch is not trusted: row sizes are computed from the format.
#include <algorithm>
#include <memory>

#include "libvek/base/limits.h"
#include "libvek/core/pixels.h"
#include "libvek/formats/bcn.h"
#include "libvek/formats/dds_header.h"
#include "libvek/formats/formats.h"
#include "libvek/system/workers.h"

namespace vek {
namespace {

using namespace dds;

void describe(const Header& h, ImageInfo& info) {
    info.width = static_cast<int32_t>(h.width);
    info.height = static_cast<int32_t>(h.height);
    info.bitsPerComponent = h.format.infoBits;
    info.componentsPerPixel = h.format.infoComponents;
    info.compression = static_cast<uint32_t>(h.format.kind);
}

// Strips of blocks, premultiplied pixels made straight while still in cache.
void decodeBlocks(const uint8_t* in, Image& image, const PixelFormat& f, uint32_t width, uint32_t height) {
    const uint32_t across = (width + 3) / 4, down = (height + 3) / 4;
    const size_t stripBytes = blockBytes(f.kind) * across;
    const bcn::Codec codec = codecOf(f.kind);
    const bool straighten = f.premultiplied && image.layout() == Layout::Bgra32;
    workers::forRanges(uint64_t{width} * height, down, [&](size_t first, size_t end) {
        for (size_t by = first; by < end; ++by) {
            uint8_t* rows[4];
            const uint32_t rowCount = std::min<uint32_t>(4, height - static_cast<uint32_t>(by) * 4);
            for (uint32_t y = 0; y < rowCount; ++y) rows[y] = image.row(static_cast<int32_t>(by * 4 + y));
            bcn::decodeStrip(codec, in + by * stripBytes, across, rows, rowCount, width,
                             image.layout() == Layout::Gray8, image.kernels());
            for (uint32_t y = 0; straighten && y < rowCount; ++y) unpremultiply(rows[y], width);
        }
    });
}

void decodeUncompressed(const uint8_t* in, Image& image, const PixelFormat& f, uint32_t width, uint32_t height,
                        size_t stride) {
    const MaskField red(f.masks[0]), green(f.masks[1]), blue(f.masks[2]), alpha(f.masks[3]);
    const MaskField r10(0x3FF), g10(0xFFC00), b10(0x3FF00000), a2(0xC0000000u);
    workers::forRanges(uint64_t{width} * height, height, [&](size_t first, size_t end) {
        for (size_t y = first; y < end; ++y) {
            const uint8_t* p = in + stride * y;
            uint8_t* out = image.row(static_cast<int32_t>(y));
            for (uint32_t x = 0; x < width; ++x) {
                switch (f.kind) {
                case Kind::Rgba16Unorm: {
                    const uint8_t* s = p + x * 8; // red, green, blue, alpha, 16 bits each: the high bytes
                    storeBgra(out + x * 4, s[1], s[3], s[5], s[7]);
                    break;
                }
                case Kind::Rgba16Float: {
                    const uint8_t* s = p + x * 8;
                    storeBgra(out + x * 4, bcn::halfToByte(loadU16le(s)), bcn::halfToByte(loadU16le(s + 2)),
                              bcn::halfToByte(loadU16le(s + 4)), bcn::halfToByte(loadU16le(s + 6)));
                    break;
                }
                case Kind::Rgb10A2: {
                    const uint32_t v = loadU32le(p + x * 4);
                    storeBgra(out + x * 4, r10.scale(v), g10.scale(v), b10.scale(v), a2.scale(v));
                    break;
                }
                default: {
                    const size_t n = f.bitsPerPixel / 8;
                    uint32_t v = 0;
                    for (size_t k = 0; k < n; ++k) v |= static_cast<uint32_t>(p[x * n + k]) << (8 * k);
                    if (image.layout() == Layout::Gray8) {
                        out[x] = red.scale(v);
                    } else if (f.luminance) {
                        const uint8_t g = red.scale(v);
                        storeBgra(out + x * 4, g, g, g, alpha.present() ? alpha.scale(v) : 255);
                    } else if (!red.present() && !green.present() && !blue.present()) {
                        storeBgra(out + x * 4, 0, 0, 0, alpha.scale(v)); // alpha only: a black mask
                    } else {
                        storeBgra(out + x * 4, red.scale(v), green.scale(v), blue.scale(v),
                                  alpha.present() ? alpha.scale(v) : 255);
                    }
                    break;
                }
                }
            }
            if (f.premultiplied && image.layout() == Layout::Bgra32) unpremultiply(out, width);
        }
    });
}

VekError loadPicture(ByteView data, const Header& h, const LoadOptions& options, Image& image) {
    const PixelFormat& f = h.format;
    size_t needed = 0, stride = 0;
    if (blockCompressed(f.kind)) {
        if (!checkedMultiply((h.width + 3) / 4, (h.height + 3) / 4, blockBytes(f.kind), needed))
            return refuse(VEK_ERROR_TOO_LARGE, "DDS: the blocks do not fit the address space");
    } else {
        const size_t pixelBytes = f.kind == Kind::Masked ? f.bitsPerPixel / 8 : f.kind == Kind::Rgb10A2 ? 4 : 8;
        if (!checkedMultiply(h.width, pixelBytes, stride) || !checkedMultiply(stride, h.height, needed))
            return refuse(VEK_ERROR_TOO_LARGE, "DDS: the pixels do not fit the address space");
    }
    if (needed > data.size - h.dataOffset)
        return refuse(VEK_ERROR_DAMAGED, "DDS: %zu bytes of pixels where the first surface needs %zu",
                      data.size - h.dataOffset, needed);
    const bool grey =
        (f.kind == Kind::Bc4 || f.kind == Kind::Bc4Signed) || (f.kind == Kind::Masked && f.luminance && !f.hasAlpha);
    if (VekError e = image.allocate(h.width, h.height, grey ? Layout::Gray8 : Layout::Bgra32, options)) return e;
    image.bitsPerComponent = 8;
    image.componentsPerPixel = grey ? 1 : f.hasAlpha ? 4 : 3;
    const uint8_t* in = data.data + h.dataOffset;
    // The conversion hands over straight alpha: the decoders unpremultiply.
    if (blockCompressed(f.kind))
        decodeBlocks(in, image, f, h.width, h.height);
    else
        decodeUncompressed(in, image, f, h.width, h.height, stride);
    return VEK_OK;
}

class DdsDecoder final : public Decoder {
public:
    DdsDecoder(ByteView data, const Header& h) : Decoder(data, "DDS"), h_(h) { describe(h, info_); }
    VekError decode(const LoadOptions& options, Image& image) override {
        return loadPicture(data_, h_, options, image);
    }

private:
    Header h_;
};

} // namespace

namespace dds_format {

bool sniff(ByteView data) { return sniffSignature(data); }
bool sniffLate(ByteView) { return false; }

VekError open(ByteView data, DecoderPtr& decoder) {
    Header h;
    if (VekError e = readHeader(data, h)) return e;
    decoder = std::make_unique<DdsDecoder>(data, h);
    return VEK_OK;
}

} // namespace dds_format
} // namespace vek
