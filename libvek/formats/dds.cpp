// DirectDraw Surface: the legacy header and the DX10 extension; block-compressed BC1 to BC7 and the
// common uncompressed layouts. Only the top mip level of the first face or array slice is read,
// and the header's pitch is not trusted: row sizes are computed from the format.
#include <algorithm>
#include <utility>
#include <cstring>
#include <memory>

#include "libvek/core/limits.h"
#include "libvek/core/pixels.h"
#include "libvek/formats/bcn.h"
#include "libvek/formats/formats.h"
#include "libvek/system/workers.h"

namespace vek {
namespace {

constexpr uint32_t kAlphaPixels = 0x1, kAlphaOnly = 0x2, kFourCC = 0x4, kRgb = 0x40, kYuv = 0x200, kLuminance = 0x20000;

constexpr uint32_t fourCC(const char (&s)[5]) {
    return static_cast<uint32_t>(s[0]) | (static_cast<uint32_t>(s[1]) << 8) | (static_cast<uint32_t>(s[2]) << 16) |
           (static_cast<uint32_t>(s[3]) << 24);
}

enum class Kind {
    Bc1,
    Bc2,
    Bc3,
    Bc4,
    Bc4Signed,
    Bc5,
    Bc5Signed,
    Bc6h,
    Bc6hSigned,
    Bc7,
    Masked,      // legacy uncompressed: bit masks
    Rgba16Unorm, // 16 bits a channel
    Rgba16Float,
    Rgb10A2,
};

struct PixelFormat {
    Kind kind = Kind::Masked;
    unsigned bitsPerPixel = 0; // uncompressed only
    uint32_t masks[4] = {};    // red, green, blue, alpha
    bool luminance = false;    // the red mask is grey
    bool hasAlpha = false;
    bool premultiplied = false; // colour stored multiplied by alpha (DXT2, DXT4, or a DX10 header's say)
    uint16_t infoBits = 8, infoComponents = 4;
};

struct Header {
    uint32_t width = 0, height = 0;
    PixelFormat format;
    size_t dataOffset = 0;
};

bool sniffSignature(ByteView data) {
    return data.startsWith("DDS ", 4) && data.size >= 128 && loadU32le(data.data + 4) == 124;
}

bool blockCompressed(Kind k) { return k <= Kind::Bc7; }
// The block kinds come first in Kind, in the order of the codecs.
static_assert(static_cast<int>(Kind::Bc7) == static_cast<int>(bcn::Codec::Bc7) &&
              static_cast<int>(Kind::Bc4Signed) == static_cast<int>(bcn::Codec::Bc4Signed));
bcn::Codec codecOf(Kind k) { return static_cast<bcn::Codec>(static_cast<int>(k)); }
size_t blockBytes(Kind k) { return bcn::blockBytes(codecOf(k)); }

void masked(PixelFormat& f, unsigned bits, uint32_t r, uint32_t g, uint32_t b, uint32_t a) {
    f.kind = Kind::Masked;
    f.bitsPerPixel = bits;
    f.masks[0] = r;
    f.masks[1] = g;
    f.masks[2] = b;
    f.masks[3] = a;
    f.hasAlpha = a != 0;
}

VekError dxgiFormat(uint32_t dxgi, PixelFormat& f) {
    switch (dxgi) {
    case 70:
    case 71:
    case 72:
        f.kind = Kind::Bc1;
        f.hasAlpha = true;
        return VEK_OK;
    case 73:
    case 74:
    case 75:
        f.kind = Kind::Bc2;
        f.hasAlpha = true;
        return VEK_OK;
    case 76:
    case 77:
    case 78:
        f.kind = Kind::Bc3;
        f.hasAlpha = true;
        return VEK_OK;
    case 79:
    case 80: f.kind = Kind::Bc4; return VEK_OK;
    case 81: f.kind = Kind::Bc4Signed; return VEK_OK;
    case 82:
    case 83: f.kind = Kind::Bc5; return VEK_OK;
    case 84: f.kind = Kind::Bc5Signed; return VEK_OK;
    case 94:
    case 95: f.kind = Kind::Bc6h; return VEK_OK;
    case 96: f.kind = Kind::Bc6hSigned; return VEK_OK;
    case 97:
    case 98:
    case 99:
        f.kind = Kind::Bc7;
        f.hasAlpha = true;
        return VEK_OK;
    case 27:
    case 28:
    case 29:
    case 30: masked(f, 32, 0xFF, 0xFF00, 0xFF0000, 0xFF000000); return VEK_OK;
    case 87:
    case 90:
    case 91: masked(f, 32, 0xFF0000, 0xFF00, 0xFF, 0xFF000000); return VEK_OK;
    case 88:
    case 92:
    case 93: masked(f, 32, 0xFF0000, 0xFF00, 0xFF, 0); return VEK_OK;
    case 85: masked(f, 16, 0xF800, 0x07E0, 0x001F, 0); return VEK_OK;
    case 86: masked(f, 16, 0x7C00, 0x03E0, 0x001F, 0x8000); return VEK_OK;
    case 115: masked(f, 16, 0x0F00, 0x00F0, 0x000F, 0xF000); return VEK_OK; // B4G4R4A4
    case 60:
    case 61:
        masked(f, 8, 0xFF, 0, 0, 0);
        f.luminance = true;
        return VEK_OK;
    case 48:
    case 49: masked(f, 16, 0xFF, 0xFF00, 0, 0); return VEK_OK;
    case 65: masked(f, 8, 0, 0, 0, 0xFF); return VEK_OK;
    case 23:
    case 24:
        f.kind = Kind::Rgb10A2;
        f.hasAlpha = true;
        return VEK_OK;
    case 9:
    case 11:
        f.kind = Kind::Rgba16Unorm;
        f.hasAlpha = true;
        return VEK_OK;
    case 10:
        f.kind = Kind::Rgba16Float;
        f.hasAlpha = true;
        return VEK_OK;
    default: return VEK_ERROR_UNSUPPORTED;
    }
}

VekError legacyFormat(uint32_t flags, uint32_t code, uint32_t bits, const uint32_t* masks, PixelFormat& f) {
    if (flags & kFourCC) {
        switch (code) {
        case fourCC("DXT1"):
            f.kind = Kind::Bc1;
            f.hasAlpha = true;
            return VEK_OK;
        case fourCC("DXT2"): f.premultiplied = true; [[fallthrough]];
        case fourCC("DXT3"):
            f.kind = Kind::Bc2;
            f.hasAlpha = true;
            return VEK_OK;
        case fourCC("DXT4"): f.premultiplied = true; [[fallthrough]];
        case fourCC("DXT5"):
            f.kind = Kind::Bc3;
            f.hasAlpha = true;
            return VEK_OK;
        case fourCC("ATI1"):
        case fourCC("BC4U"): f.kind = Kind::Bc4; return VEK_OK;
        case fourCC("BC4S"): f.kind = Kind::Bc4Signed; return VEK_OK;
        case fourCC("ATI2"):
        case fourCC("BC5U"): f.kind = Kind::Bc5; return VEK_OK;
        case fourCC("BC5S"): f.kind = Kind::Bc5Signed; return VEK_OK;
        case 36:
            f.kind = Kind::Rgba16Unorm;
            f.hasAlpha = true;
            return VEK_OK; // D3DFMT_A16B16G16R16
        case 113:
            f.kind = Kind::Rgba16Float;
            f.hasAlpha = true;
            return VEK_OK; // D3DFMT_A16B16G16R16F
        default: return VEK_ERROR_UNSUPPORTED;
        }
    }
    if (bits != 8 && bits != 16 && bits != 24 && bits != 32) return VEK_ERROR_UNSUPPORTED;
    if (flags & kYuv) return VEK_ERROR_UNSUPPORTED;
    // Bits a pixel does not have select nothing: some writers give an 8-bit surface a 32-bit
    // mask, or leave the masks zero. Where nothing is left, the bit count's standard layout holds.
    const uint32_t pixelBits = bits == 32 ? 0xFFFFFFFFu : (1u << bits) - 1;
    uint32_t m[4];
    for (int i = 0; i < 4; ++i) {
        m[i] = masks[i] & pixelBits;
        if (!contiguousMask(m[i])) return VEK_ERROR_DAMAGED;
    }
    const bool alpha = (flags & kAlphaPixels) != 0;
    if (flags & kRgb) {
        if ((m[0] | m[1] | m[2]) == 0) {
            switch (bits) {
            case 8:
                m[0] = 0xE0;
                m[1] = 0x1C;
                m[2] = 0x03;
                break; // R3G3B2
            case 16:
                m[0] = 0xF800;
                m[1] = 0x07E0;
                m[2] = 0x001F;
                break; // R5G6B5
            default:
                m[0] = 0xFF0000;
                m[1] = 0xFF00;
                m[2] = 0xFF;
                break; // R8G8B8, X8R8G8B8
            }
            if (alpha && m[3] == 0 && bits == 32) m[3] = 0xFF000000u; // A8R8G8B8
        }
        // 10:10:10:2: Direct3D's helper library wrote the masks of A2B10G10R10 and A2R10G10B10
        // reversed, and the reference texture tools read both reversed; so do we.
        const bool tenTenTen = m[1] == 0x000FFC00u && masks[3] == 0xC0000000u &&
                               ((m[0] == 0x3FFu && m[2] == 0x3FF00000u) || (m[0] == 0x3FF00000u && m[2] == 0x3FFu));
        if (tenTenTen) std::swap(m[0], m[2]);
        masked(f, bits, m[0], m[1], m[2], alpha ? m[3] : 0);
        return VEK_OK;
    }
    if (flags & kLuminance) {
        if (m[0] == 0) m[0] = alpha && bits == 16 ? 0xFF : bits == 8 ? 0xFF : 0xFFFF; // L8, A8L8, L16
        if (alpha && m[3] == 0 && bits == 16) m[3] = 0xFF00;
        masked(f, bits, m[0], 0, 0, alpha ? m[3] : 0);
        f.luminance = true;
        return VEK_OK;
    }
    if (flags & kAlphaOnly) {
        masked(f, bits, 0, 0, 0, m[3] ? m[3] : 0xFF);
        return VEK_OK;
    }
    return VEK_ERROR_UNSUPPORTED;
}

void describe(PixelFormat& f) {
    switch (f.kind) {
    case Kind::Bc4:
    case Kind::Bc4Signed:
        f.infoBits = 8;
        f.infoComponents = 1;
        break;
    case Kind::Bc5:
    case Kind::Bc5Signed:
        f.infoBits = 8;
        f.infoComponents = 2;
        break;
    case Kind::Bc6h:
    case Kind::Bc6hSigned:
        f.infoBits = 16;
        f.infoComponents = 3;
        break;
    case Kind::Rgba16Unorm:
    case Kind::Rgba16Float:
        f.infoBits = 16;
        f.infoComponents = 4;
        break;
    case Kind::Rgb10A2:
        f.infoBits = 10;
        f.infoComponents = 4;
        break;
    case Kind::Masked:
        if (f.luminance && !f.hasAlpha) {
            f.infoBits = static_cast<uint16_t>(f.bitsPerPixel);
            f.infoComponents = 1;
        } else {
            f.infoBits = 8;
            f.infoComponents = f.hasAlpha ? 4 : 3;
        }
        break;
    default:
        f.infoBits = 8;
        f.infoComponents = 4;
        break;
    }
}

VekError readHeader(ByteView data, Header& h) {
    if (!sniffSignature(data)) return VEK_ERROR_DAMAGED;
    const uint8_t* p = data.data + 4;
    h.height = loadU32le(p + 8);
    h.width = loadU32le(p + 12);
    const uint8_t* pf = p + 72;
    if (loadU32le(pf) != 32) return VEK_ERROR_DAMAGED;
    const uint32_t flags = loadU32le(pf + 4), code = loadU32le(pf + 8), bits = loadU32le(pf + 12);
    const uint32_t masks[4] = {loadU32le(pf + 16), loadU32le(pf + 20), loadU32le(pf + 24), loadU32le(pf + 28)};
    h.dataOffset = 128;
    if ((flags & kFourCC) && code == fourCC("DX10")) {
        if (data.size < 148) return VEK_ERROR_DAMAGED;
        const uint8_t* dx10 = data.data + 128;
        const uint32_t dimension = loadU32le(dx10 + 4);
        // A 1-D texture is one row; of a 3-D texture the first slice is shown, as of an array the
        // first element.
        if (dimension > 4 || dimension == 1) return VEK_ERROR_UNSUPPORTED;
        if (VekError e = dxgiFormat(loadU32le(dx10), h.format)) return e;
        // The alpha mode, in the low bits of the last field: 2 is premultiplied.
        if ((loadU32le(dx10 + 16) & 7) == 2 && h.format.hasAlpha) h.format.premultiplied = true;
        h.dataOffset = 148;
    } else if (VekError e = legacyFormat(flags, code, bits, masks, h.format)) {
        return e;
    }
    if (h.width == 0 || h.height == 0 || h.width > static_cast<uint32_t>(kMaxDimension) ||
        h.height > static_cast<uint32_t>(kMaxDimension))
        return VEK_ERROR_DAMAGED;
    describe(h.format);
    return VEK_OK;
}

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
                             image.layout() == Layout::Gray8);
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
    if (!dimensionsAllowed(h.width, h.height, options.maxPixels)) return VEK_ERROR_TOO_LARGE;
    const PixelFormat& f = h.format;
    size_t needed = 0, stride = 0;
    if (blockCompressed(f.kind)) {
        if (!checkedMultiply((h.width + 3) / 4, (h.height + 3) / 4, blockBytes(f.kind), needed))
            return VEK_ERROR_TOO_LARGE;
    } else {
        const size_t pixelBytes = f.kind == Kind::Masked ? f.bitsPerPixel / 8 : f.kind == Kind::Rgb10A2 ? 4 : 8;
        if (!checkedMultiply(h.width, pixelBytes, stride) || !checkedMultiply(stride, h.height, needed))
            return VEK_ERROR_TOO_LARGE;
    }
    if (needed > data.size - h.dataOffset) return VEK_ERROR_DAMAGED;
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
    DdsDecoder(ByteView data, const Header& h) : Decoder(data), h_(h) { describe(h, info_); }
    VekError load(const LoadOptions& options, Image& image) override { return loadPicture(data_, h_, options, image); }

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
