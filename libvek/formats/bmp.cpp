// Windows and OS/2 bitmaps: every header version, every bit depth, RLE4 and RLE8, bit fields of
// any width, and embedded JPEG or PNG; also headerless DIBs (an info header first, as the clipboard
// and some tools write .dib files).
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>

#include "libvek/base/limits.h"
#include "libvek/core/pixels.h"
#include "libvek/core/rows.h"
#include "libvek/formats/bmp_header.h"
#include "libvek/formats/formats.h"
#include "libvek/system/workers.h"

namespace vek {
namespace {

using namespace bmp;

bool hasAlphaMask(const Header& h) {
    return h.explicitMasks && h.masks[3] != 0 && (h.compression == kBitfields || h.compression == kAlphaBitfields);
}

// Palettes may be shorter than the bit depth implies; the missing entries stay black.
void readPalette(ByteView data, const Header& h, Image& image) {
    const uint32_t implied = 1u << h.bitCount;
    uint32_t count = h.coloursUsed != 0 && h.coloursUsed < implied ? h.coloursUsed : implied;
    const size_t entry = h.os2 ? 3 : 4;
    const size_t end = h.pixelOffset > h.paletteOffset ? std::min<size_t>(h.pixelOffset, data.size) : data.size;
    const size_t room = end > h.paletteOffset ? (end - h.paletteOffset) / entry : 0;
    count = static_cast<uint32_t>(std::min<size_t>(count, room));
    image.paletteEntries = static_cast<uint16_t>(implied);
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* p = data.data + h.paletteOffset + i * entry;
        image.setPaletteEntry(static_cast<int>(i), p[2], p[1], p[0]);
    }
    for (uint32_t i = count; i < implied; ++i) image.setPaletteEntry(static_cast<int>(i), 0, 0, 0);
}

// Rows in the file run bottom to top unless the height is negative.
int32_t displayRow(const Header& h, int32_t fileRow) { return h.topDown() ? fileRow : h.rows() - 1 - fileRow; }

void decodeIndexed(ByteView pixels, const Header& h, Image& image, size_t stride) {
    const unsigned depth = h.bitCount;
    const unsigned mask = (1u << depth) - 1;
    for (int32_t row = 0; row < h.rows(); ++row) {
        const uint8_t* in = pixels.data + stride * static_cast<size_t>(row);
        uint8_t* out = image.row(displayRow(h, row));
        if (depth == 8) {
            std::memcpy(out, in, static_cast<size_t>(h.width));
            continue;
        }
        for (int32_t x = 0; x < h.width; ++x) {
            const size_t bit = static_cast<size_t>(x) * depth;
            out[x] = static_cast<uint8_t>((in[bit / 8] >> (8 - depth - bit % 8)) & mask);
        }
    }
}

// RLE: runs and literal stretches, with end-of-line, end-of-picture and delta escapes. Runs are
// clipped at the row's end and at the picture's edges; pixels never written keep index 0.
void decodeRle(ByteView pixels, const Header& h, Image& image) {
    image.fill(0);
    const bool four = h.compression == kRle4;
    ByteReader r(pixels);
    int32_t x = 0, row = 0;
    const int32_t rows = h.rows();
    auto put = [&](uint8_t index) {
        if (x < h.width && row < rows) image.row(displayRow(h, row))[x] = index;
        ++x;
    };
    while (row < rows) {
        uint8_t count, value;
        if (!r.u8(count) || !r.u8(value)) return; // a missing end marker ends the picture
        if (count > 0) {
            for (int i = 0; i < count && x < h.width; ++i)
                put(four ? static_cast<uint8_t>(i % 2 ? value & 15 : value >> 4) : value);
            continue;
        }
        if (value == 0) {
            x = 0;
            ++row;
        } else if (value == 1) {
            break;
        } else if (value == 2) {
            uint8_t dx, dy;
            if (!r.u8(dx) || !r.u8(dy)) return;
            x += dx;
            row += dy;
        } else {
            const size_t bytes = four ? (value + 1u) / 2u : value;
            const uint8_t* literal = r.take(bytes);
            if (literal == nullptr) return;
            for (int i = 0; i < value; ++i)
                put(four ? static_cast<uint8_t>(i % 2 ? literal[i / 2] & 15 : literal[i / 2] >> 4) : literal[i]);
            if (bytes % 2 && !r.skip(1)) return; // literal stretches end on a 16-bit boundary
        }
    }
}

// The masks 16- and 32-bit pixels are read through: the header's, or the depth's standard ones.
VekError pixelMasks(const Header& h, uint32_t (&masks)[4]) {
    std::copy(h.masks, h.masks + 4, masks);
    if (h.compression == kRgb || !h.explicitMasks) {
        const bool sixteen = h.bitCount == 16;
        masks[0] = sixteen ? 0x7C00 : 0x00FF0000;
        masks[1] = sixteen ? 0x03E0 : 0x0000FF00;
        masks[2] = sixteen ? 0x001F : 0x000000FF;
        // The fourth byte of a 32-bit pixel is unused in the 40- and 52-byte headers; headers with
        // an alpha mask (56 bytes, V4, V5) say whether it is alpha.
        masks[3] = h.bitCount == 32 && h.explicitMasks && h.headerSize >= kFourMasksHeader ? h.masks[3] : 0;
    }
    if (h.compression == kBitfields && !hasAlphaMask(h)) masks[3] = 0;
    // Some writers give masks beyond the pixel's bits (an alpha mask of 0xFF000000 on 16-bit
    // pixels); those bits do not exist, as browsers read it.
    const uint32_t pixelBits = h.bitCount == 32 ? 0xFFFFFFFFu : (1u << h.bitCount) - 1;
    for (uint32_t& m : masks) {
        m &= pixelBits;
        if (!contiguousMask(m)) return refuse(VEK_ERROR_DAMAGED, "BMP: colour mask %08X has gaps", m);
    }
    return VEK_OK;
}

VekError decodeDirect(ByteView pixels, const Header& h, Image& image, size_t stride) {
    const uint64_t pixelCount = uint64_t(h.width) * uint64_t(h.rows());
    if (h.bitCount == 24) { // the common case: blue, green, red, a row at a time
        workers::forRanges(pixelCount, static_cast<size_t>(h.rows()), [&](size_t first, size_t end) {
            for (size_t row = first; row < end; ++row) {
                uint8_t* out = image.row(displayRow(h, static_cast<int32_t>(row)));
                rows::bgrToBgra(pixels.data + stride * row, out, static_cast<size_t>(h.width), image.kernels());
                image.finishRow(out);
            }
        });
        image.componentsPerPixel = 3;
        image.markRowsFinished(); // each band ran the row work on its rows
        return VEK_OK;
    }
    uint32_t masks[4];
    if (VekError e = pixelMasks(h, masks)) return e;
    const MaskField red(masks[0]), green(masks[1]), blue(masks[2]), alpha(masks[3]);
    std::atomic<bool> anyAlpha{false};
    workers::forRanges(pixelCount, static_cast<size_t>(h.rows()), [&](size_t first, size_t end) {
        bool seen = false;
        for (size_t row = first; row < end; ++row) {
            const uint8_t* in = pixels.data + stride * row;
            uint8_t* const start = image.row(displayRow(h, static_cast<int32_t>(row)));
            uint8_t* out = start;
            for (int32_t x = 0; x < h.width; ++x, out += 4) {
                const uint32_t v = h.bitCount == 16 ? loadU16le(in + x * 2) : loadU32le(in + x * 4);
                const uint8_t a = alpha.present() ? alpha.scale(v) : 255;
                seen |= alpha.present() && a != 0;
                storeBgra(out, red.scale(v), green.scale(v), blue.scale(v), a);
            }
            image.finishRow(start); // the colour conversion leaves alpha alone
        }
        if (seen) anyAlpha.store(true, std::memory_order_relaxed);
    });
    const bool plain32 = h.bitCount == 32 && h.compression == kRgb;
    if (plain32 && !anyAlpha) {
        // Most writers leave the fourth byte of a 32-bit bitmap at zero: such a picture is opaque.
        workers::forRanges(pixelCount, static_cast<size_t>(image.height()), [&](size_t first, size_t end) {
            for (size_t y = first; y < end; ++y) {
                uint8_t* p = image.row(static_cast<int32_t>(y));
                for (int32_t x = 0; x < image.width(); ++x) p[x * 4 + 3] = 255;
            }
        });
    }
    const bool alphaUsed = plain32 ? anyAlpha.load() : alpha.present();
    image.componentsPerPixel = alphaUsed ? 4 : 3;
    image.markRowsFinished();
    return VEK_OK;
}

class BmpDecoder final : public Decoder {
public:
    BmpDecoder(ByteView data, const Header& h) : Decoder(data, "BMP"), h_(h) {}

    VekError describe() {
        if (h_.compression == kJpeg || h_.compression == kPng) {
            // The pixels are a whole JPEG or PNG file of their own.
            const auto open = h_.compression == kJpeg ? jpeg_format::open : png_format::open;
            if (VekError e = open(data_.from(h_.pixelOffset), embedded_)) return e;
            info_ = embedded_->info();
        } else {
            info_.width = h_.width;
            info_.height = h_.rows();
            if (h_.bitCount <= 16) {
                info_.bitsPerComponent = h_.bitCount;
                info_.componentsPerPixel = 1;
            } else {
                info_.bitsPerComponent = 8;
                info_.componentsPerPixel = h_.bitCount == 32 ? 4 : 3;
            }
            info_.compression = h_.compression;
            if (h_.bitCount <= 8)
                info_.paletteEntries =
                    static_cast<uint16_t>(h_.coloursUsed ? std::min<uint32_t>(h_.coloursUsed, 256) : 1u << h_.bitCount);
        }
        info_.xDpi = dotsPerInch(h_.xPelsPerMeter);
        info_.yDpi = dotsPerInch(h_.yPelsPerMeter);
        if (embedded_) colour_ = embedded_->colour();
        try {
            describeColour();
        } catch (const std::bad_alloc&) { // the picture stays untagged
            colour_ = {};
        }
        return VEK_OK;
    }

    // Version 4 and 5 headers say what their colours are: sRGB, calibrated RGB (the primaries'
    // end points in CIE XYZ, 2.30 fixed point, and a 16.16 gamma a channel) or, in version 5, an
    // embedded profile (its offset counted from the info header). A gamma under 1 is taken as the
    // encoding exponent, as writers that store 0.4545 mean it. Linked profiles (a file name) are
    // not followed.
    void describeColour() {
        // An embedded JPEG or PNG that describes its own colours keeps its description.
        if (h_.headerSize < kV4Header || colour_.kind != colour::Description::Kind::None) return;
        const uint8_t* v = data_.data + h_.infoStart;
        switch (loadU32le(v + 56)) {
        case 0x73524742: // 'sRGB'
        case 0x57696E20: // 'Win '
            colour_ = {};
            colour_.kind = colour::Description::Kind::Srgb;
            return;
        case 0: { // calibrated
            double* xy[3] = {colour_.red, colour_.green, colour_.blue};
            double white[3] = {};
            bool chromaticities = true;
            for (int i = 0; i < 3; ++i) {
                double xyz[3], sum = 0;
                for (int j = 0; j < 3; ++j)
                    sum += xyz[j] = static_cast<int32_t>(loadU32le(v + 60 + 12 * i + 4 * j)) / double(1 << 30);
                if (!(sum > 0)) return;
                xy[i][0] = xyz[0] / sum;
                xy[i][1] = xyz[1] / sum;
                for (int j = 0; j < 3; ++j) white[j] += xyz[j];
                chromaticities = chromaticities && std::fabs(sum - 1) < 0.01;
            }
            if (chromaticities) {
                // End points written as chromaticities (x, y and 1 - x - y, summing to 1) carry no
                // luminance, so their sum is no white. The primaries' luminances then come from
                // D65, the white of sRGB and of the displays such files are made on: sRGB's
                // primaries give the sRGB picture.
                colour_.white[0] = 0.3127;
                colour_.white[1] = 0.3290;
            } else {
                colour_.white[0] = white[0] / (white[0] + white[1] + white[2]);
                colour_.white[1] = white[1] / (white[0] + white[1] + white[2]);
            }
            for (int i = 0; i < 3; ++i) {
                const double g = loadU32le(v + 96 + 4 * i) / 65536.0;
                if (!(g > 0)) return;
                colour_.gamma[i] = g < 1 ? 1 / g : g;
            }
            colour_.kind = colour::Description::Kind::Calibrated;
            colour_.space = colour::Space::Rgb;
            return;
        }
        case 0x4D424544: { // 'MBED'
            if (h_.headerSize < kV5Header) return;
            const uint64_t at = uint64_t{h_.infoStart} + loadU32le(v + 112), size = loadU32le(v + 116);
            if (size == 0 || size > colour::kMaxProfileBytes || at + size > data_.size) return;
            colour_ = {};
            colour_.setProfile(data_.data + at, static_cast<size_t>(size));
            return;
        }
        default: return;
        }
    }

    VekError decode(const LoadOptions& options, Image& image) override {
        const Header& h = h_;
        if (h.pixelOffset >= data_.size)
            return refuse(VEK_ERROR_DAMAGED, "BMP: the pixels begin at %u, past the file's %zu bytes", h.pixelOffset,
                          data_.size);
        const ByteView pixels = data_.from(h.pixelOffset);
        if (embedded_) return embedded_->load(options, image);
        image.bitsPerComponent = 8;
        const bool compressed = h.compression == kRle4 || h.compression == kRle8;
        size_t stride = 0, needed = 0;
        if (!compressed) {
            // Rows are padded to whole 32-bit words.
            if (!checkedMultiply(static_cast<size_t>(h.width), h.bitCount, stride))
                return refuse(VEK_ERROR_TOO_LARGE, "BMP: rows of %d pixels do not fit the address space", h.width);
            stride = (stride + 31) / 32 * 4;
            if (!checkedMultiply(stride, static_cast<size_t>(h.rows()), needed))
                return refuse(VEK_ERROR_TOO_LARGE, "BMP: the pixels do not fit the address space");
            if (needed > pixels.size)
                return refuse(VEK_ERROR_DAMAGED, "BMP: %zu bytes of pixels where %d rows need %zu", pixels.size,
                              h.rows(), needed);
        } else if (size_t most; !checkedMultiply(pixels.size, 64, most) || static_cast<size_t>(h.rows()) > most + 1) {
            // Every row of RLE data costs at least an end-of-line escape, or a share of a 4-byte delta
            // that skips at most 255 rows: a file this short cannot hold this many rows.
            return refuse(VEK_ERROR_DAMAGED, "BMP: %zu bytes of RLE data cannot hold %d rows", pixels.size, h.rows());
        }
        if (h.bitCount <= 8) {
            if (VekError e = image.allocate(h.width, h.rows(), Layout::Indexed8, options)) return e;
            image.componentsPerPixel = 1;
            readPalette(data_, h, image);
            if (compressed)
                decodeRle(pixels, h, image);
            else
                decodeIndexed(pixels, h, image, stride);
            return VEK_OK;
        }
        if (VekError e = image.allocate(h.width, h.rows(), Layout::Bgra32, options)) return e;
        return decodeDirect(pixels, h, image, stride);
    }

private:
    Header h_;
    DecoderPtr embedded_;
};

} // namespace

namespace bmp_format {

bool sniff(ByteView data) { return sniffFile(data); }

bool sniffLate(ByteView data) { return sniffDib(data); }

VekError open(ByteView data, DecoderPtr& decoder) {
    Header h;
    // A file header, or a headerless DIB whose info header comes first.
    if (VekError e = readHeader(data, h, sniffFile(data) ? 14 : 0)) return e;
    auto bmp = std::make_unique<BmpDecoder>(data, h);
    if (VekError e = bmp->describe()) return e;
    decoder = std::move(bmp);
    return VEK_OK;
}

} // namespace bmp_format
} // namespace vek
