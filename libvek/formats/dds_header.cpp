// DirectDraw Surface pixel formats: DXGI formats of the DX10 header, and the legacy header's
// FourCC codes and bit masks.
#include "libvek/formats/dds_header.h"

#include <utility>

#include "libvek/base/limits.h"
#include "libvek/core/pixels.h"

namespace vek::dds {
namespace {

constexpr uint32_t kAlphaPixels = 0x1, kAlphaOnly = 0x2, kFourCC = 0x4, kRgb = 0x40, kYuv = 0x200, kLuminance = 0x20000;

constexpr uint32_t fourCC(const char (&s)[5]) {
    return static_cast<uint32_t>(s[0]) | (static_cast<uint32_t>(s[1]) << 8) | (static_cast<uint32_t>(s[2]) << 16) |
           (static_cast<uint32_t>(s[3]) << 24);
}

// A format a code names whole: a block or wide kind, or a layout of masks.
struct Named {
    uint32_t code;
    PixelFormat format;
};

constexpr Named kind(uint32_t code, Kind k, bool alpha, bool premultiplied = false) {
    PixelFormat f;
    f.kind = k;
    f.hasAlpha = alpha;
    f.premultiplied = premultiplied;
    return {code, f};
}

// Pixels read through masks: red, green, blue, alpha (none when 0).
constexpr PixelFormat masked(unsigned bits, uint32_t r, uint32_t g, uint32_t b, uint32_t a, bool luminance = false) {
    PixelFormat f;
    f.bitsPerPixel = bits;
    f.masks[0] = r;
    f.masks[1] = g;
    f.masks[2] = b;
    f.masks[3] = a;
    f.hasAlpha = a != 0;
    f.luminance = luminance;
    return f;
}

constexpr Named masks(uint32_t code, unsigned bits, uint32_t r, uint32_t g, uint32_t b, uint32_t a,
                      bool luminance = false) {
    return {code, masked(bits, r, g, b, a, luminance)};
}

constexpr uint32_t kRgba8[4] = {0xFF, 0xFF00, 0xFF0000, 0xFF000000}, kBgra8[4] = {0xFF0000, 0xFF00, 0xFF, 0xFF000000};

// DXGI formats read, typeless and sRGB twins beside their UNORM ones.
constexpr Named kDxgiFormats[] = {
    kind(70, Kind::Bc1, true),
    kind(71, Kind::Bc1, true),
    kind(72, Kind::Bc1, true),
    kind(73, Kind::Bc2, true),
    kind(74, Kind::Bc2, true),
    kind(75, Kind::Bc2, true),
    kind(76, Kind::Bc3, true),
    kind(77, Kind::Bc3, true),
    kind(78, Kind::Bc3, true),
    kind(79, Kind::Bc4, false),
    kind(80, Kind::Bc4, false),
    kind(81, Kind::Bc4Signed, false),
    kind(82, Kind::Bc5, false),
    kind(83, Kind::Bc5, false),
    kind(84, Kind::Bc5Signed, false),
    kind(94, Kind::Bc6h, false),
    kind(95, Kind::Bc6h, false),
    kind(96, Kind::Bc6hSigned, false),
    kind(97, Kind::Bc7, true),
    kind(98, Kind::Bc7, true),
    kind(99, Kind::Bc7, true),
    masks(27, 32, kRgba8[0], kRgba8[1], kRgba8[2], kRgba8[3]),
    masks(28, 32, kRgba8[0], kRgba8[1], kRgba8[2], kRgba8[3]),
    masks(29, 32, kRgba8[0], kRgba8[1], kRgba8[2], kRgba8[3]),
    masks(30, 32, kRgba8[0], kRgba8[1], kRgba8[2], kRgba8[3]),
    masks(87, 32, kBgra8[0], kBgra8[1], kBgra8[2], kBgra8[3]),
    masks(90, 32, kBgra8[0], kBgra8[1], kBgra8[2], kBgra8[3]),
    masks(91, 32, kBgra8[0], kBgra8[1], kBgra8[2], kBgra8[3]),
    masks(88, 32, kBgra8[0], kBgra8[1], kBgra8[2], 0),
    masks(92, 32, kBgra8[0], kBgra8[1], kBgra8[2], 0),
    masks(93, 32, kBgra8[0], kBgra8[1], kBgra8[2], 0),
    masks(85, 16, 0xF800, 0x07E0, 0x001F, 0),
    masks(86, 16, 0x7C00, 0x03E0, 0x001F, 0x8000),
    masks(115, 16, 0x0F00, 0x00F0, 0x000F, 0xF000), // B4G4R4A4
    masks(60, 8, 0xFF, 0, 0, 0, true),
    masks(61, 8, 0xFF, 0, 0, 0, true),
    masks(48, 16, 0xFF, 0xFF00, 0, 0),
    masks(49, 16, 0xFF, 0xFF00, 0, 0),
    masks(65, 8, 0, 0, 0, 0xFF),
    kind(23, Kind::Rgb10A2, true),
    kind(24, Kind::Rgb10A2, true),
    kind(9, Kind::Rgba16Unorm, true),
    kind(11, Kind::Rgba16Unorm, true),
    kind(10, Kind::Rgba16Float, true),
};

// The legacy header's four-character codes, and two Direct3D format numbers written in their place.
constexpr Named kFourCCFormats[] = {
    kind(fourCC("DXT1"), Kind::Bc1, true),        kind(fourCC("DXT2"), Kind::Bc2, true, true),
    kind(fourCC("DXT3"), Kind::Bc2, true),        kind(fourCC("DXT4"), Kind::Bc3, true, true),
    kind(fourCC("DXT5"), Kind::Bc3, true),        kind(fourCC("ATI1"), Kind::Bc4, false),
    kind(fourCC("BC4U"), Kind::Bc4, false),       kind(fourCC("BC4S"), Kind::Bc4Signed, false),
    kind(fourCC("ATI2"), Kind::Bc5, false),       kind(fourCC("BC5U"), Kind::Bc5, false),
    kind(fourCC("BC5S"), Kind::Bc5Signed, false), kind(36, Kind::Rgba16Unorm, true), // D3DFMT_A16B16G16R16
    kind(113, Kind::Rgba16Float, true),                                              // D3DFMT_A16B16G16R16F
};

template <size_t N> const PixelFormat* lookUp(const Named (&table)[N], uint32_t code) {
    for (const Named& n : table)
        if (n.code == code) return &n.format;
    return nullptr;
}

VekError dxgiFormat(uint32_t dxgi, PixelFormat& f) {
    const PixelFormat* known = lookUp(kDxgiFormats, dxgi);
    if (known == nullptr) return refuse(VEK_ERROR_UNSUPPORTED, "DDS: DXGI format %u is not read", dxgi);
    f = *known;
    return VEK_OK;
}

// A four-character code as text, its unprintable bytes as '?'.
struct FourCCText {
    char text[5];
};
FourCCText fourCCText(uint32_t code) {
    FourCCText t{};
    for (int i = 0; i < 4; ++i) {
        const auto c = static_cast<char>(code >> (8 * i));
        t.text[i] = c >= ' ' && c <= '~' ? c : '?';
    }
    return t;
}

// An RGB surface whose masks select nothing: the bit count's standard layout.
void standardMasks(uint32_t bits, bool alpha, uint32_t (&m)[4]) {
    switch (bits) {
    case 8: // R3G3B2
        m[0] = 0xE0;
        m[1] = 0x1C;
        m[2] = 0x03;
        break;
    case 16: // R5G6B5
        m[0] = 0xF800;
        m[1] = 0x07E0;
        m[2] = 0x001F;
        break;
    default: // R8G8B8, X8R8G8B8
        m[0] = 0xFF0000;
        m[1] = 0xFF00;
        m[2] = 0xFF;
        break;
    }
    if (alpha && m[3] == 0 && bits == 32) m[3] = 0xFF000000u; // A8R8G8B8
}

VekError legacyFormat(uint32_t flags, uint32_t code, uint32_t bits, const uint32_t* masks, PixelFormat& f) {
    if (flags & kFourCC) {
        const PixelFormat* known = lookUp(kFourCCFormats, code);
        if (known == nullptr)
            return refuse(VEK_ERROR_UNSUPPORTED, "DDS: four-character code %s is not read", fourCCText(code).text);
        f = *known;
        return VEK_OK;
    }
    if (bits != 8 && bits != 16 && bits != 24 && bits != 32)
        return refuse(VEK_ERROR_UNSUPPORTED, "DDS: %u bits a pixel", bits);
    if (flags & kYuv) return refuse(VEK_ERROR_UNSUPPORTED, "DDS: YUV pixels are not read");
    // Bits a pixel does not have select nothing: some writers give an 8-bit surface a 32-bit
    // mask, or leave the masks zero. Where nothing is left, the bit count's standard layout holds.
    const uint32_t pixelBits = bits == 32 ? 0xFFFFFFFFu : (1u << bits) - 1;
    uint32_t m[4];
    for (int i = 0; i < 4; ++i) {
        m[i] = masks[i] & pixelBits;
        if (!contiguousMask(m[i])) return refuse(VEK_ERROR_DAMAGED, "DDS: colour mask %08X has gaps", m[i]);
    }
    const bool alpha = (flags & kAlphaPixels) != 0;
    if (flags & kRgb) {
        if ((m[0] | m[1] | m[2]) == 0) standardMasks(bits, alpha, m);
        // 10:10:10:2: Direct3D's helper library wrote the masks of A2B10G10R10 and A2R10G10B10
        // reversed, and the reference texture tools read both reversed; so do we.
        const bool tenTenTen = m[1] == 0x000FFC00u && masks[3] == 0xC0000000u &&
                               ((m[0] == 0x3FFu && m[2] == 0x3FF00000u) || (m[0] == 0x3FF00000u && m[2] == 0x3FFu));
        if (tenTenTen) std::swap(m[0], m[2]);
        f = masked(bits, m[0], m[1], m[2], alpha ? m[3] : 0);
        return VEK_OK;
    }
    if (flags & kLuminance) {
        if (m[0] == 0) m[0] = alpha && bits == 16 ? 0xFF : bits == 8 ? 0xFF : 0xFFFF; // L8, A8L8, L16
        if (alpha && m[3] == 0 && bits == 16) m[3] = 0xFF00;
        f = masked(bits, m[0], 0, 0, alpha ? m[3] : 0, true);
        return VEK_OK;
    }
    if (flags & kAlphaOnly) {
        f = masked(bits, 0, 0, 0, m[3] ? m[3] : 0xFF);
        return VEK_OK;
    }
    return refuse(VEK_ERROR_UNSUPPORTED, "DDS: pixel format flags %08X name no layout that is read", flags);
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

} // namespace

bool sniffSignature(ByteView data) {
    return data.startsWith("DDS ", 4) && data.size >= 128 && loadU32le(data.data + 4) == 124;
}

VekError readHeader(ByteView data, Header& h) {
    if (!sniffSignature(data)) return refuse(VEK_ERROR_DAMAGED, "DDS: the header is not whole");
    const uint8_t* p = data.data + 4;
    h.height = loadU32le(p + 8);
    h.width = loadU32le(p + 12);
    const uint8_t* pf = p + 72;
    if (loadU32le(pf) != 32) return refuse(VEK_ERROR_DAMAGED, "DDS: a pixel format of %u bytes, not 32", loadU32le(pf));
    const uint32_t flags = loadU32le(pf + 4), code = loadU32le(pf + 8), bits = loadU32le(pf + 12);
    const uint32_t masks[4] = {loadU32le(pf + 16), loadU32le(pf + 20), loadU32le(pf + 24), loadU32le(pf + 28)};
    h.dataOffset = 128;
    if ((flags & kFourCC) && code == fourCC("DX10")) {
        if (data.size < 148) return refuse(VEK_ERROR_DAMAGED, "DDS: the file ends inside the DX10 header");
        const uint8_t* dx10 = data.data + 128;
        const uint32_t dimension = loadU32le(dx10 + 4);
        // A 1-D texture is one row; of a 3-D texture the first slice is shown, as of an array the
        // first element.
        if (dimension > 4 || dimension == 1)
            return refuse(VEK_ERROR_UNSUPPORTED, "DDS: resource dimension %u", dimension);
        if (VekError e = dxgiFormat(loadU32le(dx10), h.format)) return e;
        // The alpha mode, in the low bits of the last field: 2 is premultiplied.
        if ((loadU32le(dx10 + 16) & 7) == 2 && h.format.hasAlpha) h.format.premultiplied = true;
        h.dataOffset = 148;
    } else if (VekError e = legacyFormat(flags, code, bits, masks, h.format)) {
        return e;
    }
    if (h.width == 0 || h.height == 0 || h.width > static_cast<uint32_t>(kMaxDimension) ||
        h.height > static_cast<uint32_t>(kMaxDimension))
        return refuse(VEK_ERROR_DAMAGED, "DDS: a texture of %u x %u pixels", h.width, h.height);
    describe(h.format);
    return VEK_OK;
}

} // namespace vek::dds
