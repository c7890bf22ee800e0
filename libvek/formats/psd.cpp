// Photoshop PSD and PSB: the merged image that follows the layers, raw or PackBits, in every
// colour mode, reduced to 8 bits a channel.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "support/simd.h"

#ifdef VEK_SIMD_X86
#include <emmintrin.h>
#endif

#include "libvek/core/guarded.h"
#include "libvek/base/limits.h"
#include "libvek/core/pixels.h"
#include "libvek/formats/formats.h"
#include "libvek/formats/psd_channels.h"
#include "libvek/formats/psd_colour.h"
#include "libvek/formats/psd_compose.h"
#include "libvek/formats/psd_header.h"
#include "libvek/formats/psd_layers.h"
#include "libvek/system/workers.h"

namespace vek {
namespace {

using namespace psd;

#ifdef VEK_SIMD_X86
// Sixteen pixels a step, returning how many were done.
__attribute__((target("sse2"))) size_t interleaveSse2(const uint8_t* r, const uint8_t* g, const uint8_t* b,
                                                      const uint8_t* a, uint8_t* out, size_t width) {
    const __m128i opaque = _mm_set1_epi8(static_cast<char>(0xFF));
    size_t x = 0;
    for (; x + 16 <= width; x += 16) {
        const __m128i vr = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r + x));
        const __m128i vg = _mm_loadu_si128(reinterpret_cast<const __m128i*>(g + x));
        const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + x));
        const __m128i va = a ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + x)) : opaque;
        const __m128i bg0 = _mm_unpacklo_epi8(vb, vg), bg1 = _mm_unpackhi_epi8(vb, vg);
        const __m128i ra0 = _mm_unpacklo_epi8(vr, va), ra1 = _mm_unpackhi_epi8(vr, va);
        auto* o = reinterpret_cast<__m128i*>(out + x * 4);
        _mm_storeu_si128(o, _mm_unpacklo_epi16(bg0, ra0));
        _mm_storeu_si128(o + 1, _mm_unpackhi_epi16(bg0, ra0));
        _mm_storeu_si128(o + 2, _mm_unpacklo_epi16(bg1, ra1));
        _mm_storeu_si128(o + 3, _mm_unpackhi_epi16(bg1, ra1));
    }
    return x;
}
#endif

// 8-bit red, green, blue and alpha rows into BGRA, the common case.
void interleave8(const uint8_t* r, const uint8_t* g, const uint8_t* b, const uint8_t* a, uint8_t* out, size_t width,
                 [[maybe_unused]] simd::Level kernels) {
    size_t x = 0;
#ifdef VEK_SIMD_X86
    if (simd::allows(kernels, simd::Level::Sse2)) x = interleaveSse2(r, g, b, a, out, width);
#endif
    for (; x < width; ++x) storeBgra(out + x * 4, r[x], g[x], b[x], a ? a[x] : 255);
}

// Photoshop stores the merged colours blended with white where the merged picture is transparent;
// the white comes off: colour = (stored - (1 - a) x white) / a, rounded and clipped. Pixels with no
// coverage at all keep what is stored.
inline uint8_t unmatte(uint8_t stored, uint8_t alpha) {
    if (alpha == 0 || alpha == 255) return stored;
    const int numerator = (int{stored} - 255 + alpha) * 255;
    if (numerator <= 0) return 0;
    return static_cast<uint8_t>(std::min(255, (numerator + alpha / 2) / alpha));
}

void unmatteBgraRow(uint8_t* row, size_t width) {
    for (size_t x = 0; x < width; ++x) {
        uint8_t* p = row + x * 4;
        if (p[3] == 255) continue;
        p[0] = unmatte(p[0], p[3]), p[1] = unmatte(p[1], p[3]), p[2] = unmatte(p[2], p[3]);
    }
}

// Where the merged image's rows are: raw planes one after another, or PackBits rows at the offsets
// their byte counts give.
struct MergedRows {
    uint16_t compression = 0;
    unsigned used = 0, base = 0; // the channels decoded, and the colour channels among them
    size_t rowBytes = 0, planeBytes = 0, dataStart = 0;
    std::vector<size_t> rowStart; // PackBits: offset of each used row, channel after channel
    std::vector<uint32_t> rowLength;
    const colour::Transform* cmykProfile = nullptr; // CMYK through the file's profile
    bool matted = false;                            // colours blended with white where transparent, to be taken off
    bool oneByte = false;                           // indices or grey, kept as they are stored
};

// The channels of row y, unpacked where packed into `unpacked`.
bool rowsAt(ByteView data, const Header& h, const MergedRows& m, uint32_t y, std::vector<uint8_t>& unpacked,
            std::vector<const uint8_t*>& rows) {
    for (unsigned c = 0; c < m.used; ++c) {
        if (m.compression == 0) {
            rows[c] = data.data + m.dataStart + m.planeBytes * c + m.rowBytes * y;
            continue;
        }
        const size_t i = static_cast<size_t>(c) * h.height + y;
        uint8_t* to = unpacked.data() + m.rowBytes * c;
        if (!unpackBits(data.data + m.rowStart[i], m.rowLength[i], to, m.rowBytes)) return false;
        rows[c] = to;
    }
    return true;
}

// Whether the merged colours are blended with white where transparent, as Photoshop stores them:
// then no colour sample is darker than the white its transparency lets in, and fully transparent
// pixels are white. Other writers (ImageMagick) store the colours themselves, which a few rows
// spread over the picture soon show.
bool looksMatted(ByteView data, const Header& h, const MergedRows& m) {
    std::vector<uint8_t> unpacked(m.compression == 1 ? m.rowBytes * m.used : 0);
    std::vector<const uint8_t*> rows(m.used);
    const uint32_t step = std::max<uint32_t>(1, h.height / 64);
    for (uint32_t y = 0; y < h.height; y += step) {
        if (!rowsAt(data, h, m, y, unpacked, rows)) return false;
        for (uint32_t x = 0; x < h.width; ++x) {
            const int alpha = sample8(rows[m.base], x, h.depth);
            for (unsigned c = 0; c < m.base; ++c) {
                const int v = sample8(rows[c], x, h.depth);
                if (v + 2 < 255 - alpha || (alpha == 0 && v < 253)) return false;
            }
        }
    }
    return true;
}

VekError endsInside(const char* what) { return refuse(VEK_ERROR_DAMAGED, "PSD: the file ends inside the %s", what); }
VekError noRoom() { return refuse(VEK_ERROR_TOO_LARGE, "PSD: the merged image does not fit the address space"); }

// One row of the general case: any mode and depth, sample by sample, into BGRA or one byte a pixel.
void decodeSamples(const Header& h, const MergedRows& m, const uint8_t* const* rows, uint8_t* out,
                   simd::Level kernels) {
    const unsigned base = m.base;
    const bool oneByte = m.oneByte;
    const uint8_t* map = h.colourModeData.data;
    // Colour samples without the white matte (CMYK's white is no ink: 255 as stored).
    const bool matted = m.matted && h.mode != kLab;
    for (uint32_t x = 0; x < h.width; ++x) {
        const uint8_t s0 = sample8(rows[0], x, h.depth);
        if (oneByte) {
            out[x] = s0;
            continue;
        }
        const uint8_t alpha = h.mergedAlpha ? sample8(rows[base], x, h.depth) : 255;
        auto sample = [&](unsigned c) {
            const uint8_t v = sample8(rows[c], x, h.depth);
            return matted ? unmatte(v, alpha) : v;
        };
        uint8_t* p = out + x * 4;
        switch (h.mode) {
        case kRgb: storeBgra(p, sample(0), sample(1), sample(2), alpha); break;
        case kCmyk: {
            // Stored inverted: 255 is no ink.
            const unsigned k = sample(3), c = sample(0);
            if (m.cmykProfile != nullptr) { // converted with the whole row below
                storeBgra(p, sample(2), sample(1), static_cast<uint8_t>(c), static_cast<uint8_t>(k));
                break;
            }
            storeBgra(p, static_cast<uint8_t>((c * k + 127) / 255), static_cast<uint8_t>((sample(1) * k + 127) / 255),
                      static_cast<uint8_t>((sample(2) * k + 127) / 255), alpha);
            break;
        }
        case kLab: {
            uint8_t rgb[3];
            labSamplesToRgb(s0, sample8(rows[1], x, h.depth), sample8(rows[2], x, h.depth), rgb);
            storeBgra(p, rgb[0], rgb[1], rgb[2], alpha);
            break;
        }
        case kIndexed: storeBgra(p, map[s0], map[256 + s0], map[512 + s0], alpha); break;
        default: { // grey, duotone and multichannel with alpha
            const uint8_t v = matted ? unmatte(s0, alpha) : s0;
            storeBgra(p, v, v, v, alpha);
            break;
        }
        }
    }
    if (h.mode == kCmyk && m.cmykProfile != nullptr) {
        m.cmykProfile->cmykRow(out, out, h.width, true, kernels);
        if (h.mergedAlpha)
            for (uint32_t x = 0; x < h.width; ++x) out[x * 4 + 3] = sample8(rows[base], x, h.depth);
    }
}

// Rows first to end of the merged image into the picture.
VekError decodeRows(ByteView data, const Header& h, const MergedRows& m, uint32_t first, uint32_t end, Image& image) {
    const unsigned inks = h.inkChannels();
    std::vector<uint8_t> unpacked(m.compression == 1 ? m.rowBytes * m.used : 0);
    std::vector<const uint8_t*> rows(m.used);
    InkLayers layers(h.display, inks);
    for (uint32_t y = first; y < end; ++y) {
        if (!rowsAt(data, h, m, y, unpacked, rows))
            return refuse(VEK_ERROR_DAMAGED, "PSD: merged row %u does not unpack", y);
        uint8_t* out = image.row(static_cast<int32_t>(y));
        if (h.depth == 8 && m.oneByte) {
            std::memcpy(out, rows[0], h.width);
        } else if (h.depth == 8 && h.mode == kRgb) {
            interleave8(rows[0], rows[1], rows[2], h.mergedAlpha ? rows[3] : nullptr, out, h.width, image.kernels());
            if (m.matted) unmatteBgraRow(out, h.width);
        } else if (inks > 0) {
            for (uint32_t x = 0; x < h.width; ++x) layers.composite(rows.data(), x, h.depth, out + x * 4);
        } else {
            decodeSamples(h, m, rows.data(), out, image.kernels());
        }
        image.finishRows(static_cast<int32_t>(y), 1);
    }
    return VEK_OK;
}

// Where each channel's rows start: raw planes follow each other; PackBits rows follow their byte
// counts, every one of which must be in the file before anything is allocated.
VekError findRows(ByteView data, const Header& h, ByteReader& r, MergedRows& m) {
    size_t rowBits;
    if (!checkedMultiply(h.width, h.depth, rowBits)) return noRoom();
    m.rowBytes = rowBits / 8 + (rowBits % 8 != 0);
    if (!checkedMultiply(m.rowBytes, h.height, m.planeBytes)) return noRoom();
    const size_t dataStart = m.dataStart = r.position();
    if (m.compression == 0) {
        size_t allPlanes;
        if (!checkedMultiply(m.planeBytes, m.used, allPlanes) || !r.has(allPlanes)) return endsInside("merged image");
        return VEK_OK;
    }
    const size_t countBytes = h.version == 2 ? 4 : 2;
    // Every channel's counts are there, used or not; the files that hold more channels than anyone
    // decodes could otherwise claim counts past the end.
    size_t counts, usedRows;
    if (!checkedMultiply(h.channels, h.height, countBytes, counts) || !r.has(counts))
        return endsInside("row byte counts");
    if (!checkedMultiply(m.used, h.height, usedRows)) return noRoom();
    m.rowStart.resize(usedRows);
    m.rowLength.resize(usedRows);
    uint64_t offset = dataStart + counts;
    for (size_t i = 0; i < usedRows; ++i) {
        const uint8_t* p = data.data + dataStart + i * countBytes;
        m.rowLength[i] = countBytes == 4 ? loadU32be(p) : loadU16be(p);
        m.rowStart[i] = static_cast<size_t>(offset);
        offset += m.rowLength[i];
        if (offset > data.size) return endsInside("merged image");
    }
    return VEK_OK;
}

VekError loadPicture(ByteView data, const Header& h, const LoadOptions& options, const colour::Transform* cmykProfile,
                     Image& image) {
    ByteReader r(data);
    if (!r.seek(h.imageData)) return endsInside("merged image");
    MergedRows m;
    m.cmykProfile = cmykProfile;
    if (!r.u16be(m.compression)) return endsInside("merged image");
    if (m.compression > 1)
        return refuse(VEK_ERROR_UNSUPPORTED, "PSD: merged image compression %u", m.compression); // ZIP

    // Only the channels the picture is made of are decoded; later ones are skipped.
    const unsigned inks = h.inkChannels();
    m.base = inks > 0 ? inks : h.mode == kDuotone || h.mode == kMultichannel ? 1 : colourChannels(h.mode);
    m.used = m.base + (h.mergedAlpha ? 1u : 0u);
    if (VekError e = findRows(data, h, r, m)) return e;

    m.matted = h.mergedAlpha && looksMatted(data, h, m);
    image.bitsPerComponent = 8;
    const bool indexed = h.mode == kIndexed && !h.mergedAlpha;
    const bool grey = !h.mergedAlpha && m.base == 1 && h.mode != kIndexed && inks == 0;
    m.oneByte = indexed || grey;
    const Layout layout = indexed ? Layout::Indexed8 : grey ? Layout::Gray8 : Layout::Bgra32;
    if (VekError e = image.allocate(h.width, h.height, layout, options)) return e;
    image.componentsPerPixel = indexed || grey ? 1 : h.mergedAlpha ? 4 : 3;
    const uint8_t* map = h.colourModeData.data; // indexed: 256 reds, 256 greens, 256 blues
    if (h.mode == kIndexed) {
        image.paletteEntries = 256;
        for (int i = 0; i < 256; ++i) image.setPaletteEntry(i, map[i], map[256 + i], map[512 + i]);
        if (indexed && h.transparentIndex >= 0 && h.transparentIndex < 256)
            image.transparentIndex = static_cast<int16_t>(h.transparentIndex);
    }

    // A row at a time: each channel's row, unpacked into a small buffer where it is packed, then
    // all of them into the picture's row. Nothing the size of the picture but the picture itself.
    // Every row's data is found above, so bands of rows decode on their own.
    std::atomic<int> failure{VEK_OK};
    workers::forRanges(uint64_t{h.width} * h.height, h.height, [&](size_t first, size_t end) {
        const VekError e = guarded("unpacking rows", [&] {
            return decodeRows(data, h, m, static_cast<uint32_t>(first), static_cast<uint32_t>(end), image);
        });
        if (e != VEK_OK) failure.store(e, std::memory_order_relaxed);
    });
    image.markRowsFinished(); // each band ran the row work on its rows
    return static_cast<VekError>(failure.load());
}

// Whether the merged image is all there: its compression known, its raw planes or PackBits rows
// within the file.
bool mergedComplete(ByteView data, const Header& h) {
    ByteReader r(data);
    uint16_t compression;
    if (!r.seek(h.imageData) || !r.u16be(compression) || compression > 1) return false;
    const uint64_t rowBytes = (uint64_t{h.width} * h.depth + 7) / 8;
    if (compression == 0) return r.remaining() / h.channels / h.height >= rowBytes;
    const size_t countBytes = h.version == 2 ? 4 : 2;
    const uint64_t counts = uint64_t{h.channels} * h.height;
    if (r.remaining() / countBytes < counts) return false;
    uint64_t total = 0;
    for (uint64_t i = 0; i < counts; ++i) total += countBytes == 4 ? loadU32be(r.take(4)) : loadU16be(r.take(2));
    return total <= r.remaining();
}

class PsdDecoder final : public Decoder {
public:
    PsdDecoder(ByteView data, Header h) : Decoder(data, "PSD"), h_(std::move(h)) {
        describe(data, h_, info_);
        describeColour();
        prepareLayers();
    }
    VekError decode(const LoadOptions& options, Image& image) override {
        std::shared_ptr<const colour::Transform> cmyk;
        if (colour_.space == colour::Space::Cmyk) cmyk = colour::toSrgb(colour_, colour::Space::Cmyk);
        if (layers_) return layers_->render(options, cmyk.get(), image);
        return loadPicture(data_, h_, options, cmyk.get(), image);
    }

private:
    // A file that keeps no picture of its layers (no real merged data, or merged data missing or
    // cut short) is drawn from them, where its layer section can be read; otherwise, and for
    // anything amiss in that section, the merged picture stands.
    void prepareLayers() {
        if (h_.realMergedData && mergedComplete(data_, h_)) return;
        // Why the layers could not be drawn is not why anything is refused: the merged picture
        // answers for itself.
        try {
            if (readLayers(data_, h_, section_) != VEK_OK) return refusal::forget();
            if (Composition::prepare(data_, h_, section_, colour_, layers_) != VEK_OK) {
                layers_.reset();
                return refusal::forget();
            }
        } catch (const std::bad_alloc&) {
            layers_.reset();
            return refusal::forget();
        }
        info_.componentsPerPixel = static_cast<uint16_t>(colourChannels(h_.mode) + (layers_->hasAlpha() ? 1 : 0));
        info_.paletteEntries = 0;
    }

    // The profile counts for the modes it can describe: RGB (and an indexed picture's palette),
    // grey, and CMYK, which the load converts itself.
    void describeColour() {
        if (h_.profile.size == 0) return;
        switch (h_.mode) {
        case kRgb:
        case kIndexed: colour_.space = colour::Space::Rgb; break;
        case kGrey: colour_.space = colour::Space::Grey; break;
        case kCmyk: colour_.space = colour::Space::Cmyk; break;
        default: return;
        }
        try {
            colour_.setProfile(h_.profile.data, h_.profile.size);
        } catch (const std::bad_alloc&) {
            colour_ = {};
        }
    }

    Header h_;
    LayerSection section_; // the records the composition points into
    std::unique_ptr<Composition> layers_;
};

} // namespace

namespace psd_format {

bool sniff(ByteView data) { return sniffSignature(data); }
bool sniffLate(ByteView) { return false; }

VekError open(ByteView data, DecoderPtr& decoder) {
    Header h;
    if (VekError e = readHeader(data, h)) return e;
    decoder = std::make_unique<PsdDecoder>(data, std::move(h));
    return VEK_OK;
}

} // namespace psd_format
} // namespace vek
