// PNG on libspng. Palettes stay palettes where a single fully transparent entry (or none) says
// which colour is see-through; everything else decodes to BGRA with 16-bit samples reduced to 8.
// Ancillary chunks the library never uses are kept from libspng, so that its limits on text and
// metadata chunks cannot refuse a picture whose pixels are sound.
#include <libdeflate.h>
#include <spng.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "libvek/core/guarded.h"
#include "libvek/base/limits.h"
#include "libvek/core/pixels.h"
#include "libvek/core/rows.h"
#include "libvek/formats/formats.h"
#include "libvek/formats/png_colour.h"
#include "libvek/formats/png_inflate.h"

namespace vek {
namespace {

const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

struct ContextFree {
    void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};
using Context = std::unique_ptr<spng_ctx, ContextFree>;

// libspng's own words for what it refused.
VekError codeFor(int spngError) {
    VekError code = VEK_ERROR_DAMAGED;
    if (spngError == SPNG_EMEM) code = VEK_ERROR_OUT_OF_MEMORY;
    if (spngError == SPNG_EUSER_WIDTH || spngError == SPNG_EUSER_HEIGHT || spngError == SPNG_EWIDTH ||
        spngError == SPNG_EHEIGHT)
        code = VEK_ERROR_TOO_LARGE;
    if (spngError == SPNG_IO_EOF) return refuse(code, "PNG: the file ends inside a chunk");
    return refuse(code, "PNG: %s", spng_strerror(spngError));
}

// The parts of the file handed to libspng: the signature and every chunk it needs (the critical
// ones, tRNS and pHYs), in order. Runs of kept chunks are one part.
struct KeptParts {
    struct Part {
        size_t offset, length;
    };
    ByteView data;
    std::vector<Part> parts;
    size_t part = 0, done = 0; // the reading position
    char damaged[5] = {};      // the first critical chunk but IDAT that fails its CRC
};

bool needed(const uint8_t* type) {
    const bool critical = (type[0] & 0x20) == 0;
    return critical || std::memcmp(type, "tRNS", 4) == 0 || std::memcmp(type, "pHYs", 4) == 0;
}

// Chunk types are four ASCII letters: anything else is not a chunk, and nothing after it is walked.
bool chunkType(const uint8_t* type) {
    for (int i = 0; i < 4; ++i) {
        const uint8_t c = type[i] & ~0x20;
        if (c < 'A' || c > 'Z') return false;
    }
    return true;
}

// Lists the kept parts; false when nothing is left out, so that libspng reads the bytes as they
// are. A chunk that runs past the end, or what follows a broken chunk header, is kept with all that
// follows, for libspng to judge. Also finds the IDAT chunks and counts their bytes.
bool findKeptParts(ByteView data, KeptParts& kept, png::WholeStream& stream, uint64_t& idatBytes,
                   png::ColourChunks& colour) {
    kept.data = data;
    size_t offset = sizeof kSignature, runStart = 0;
    bool leftOut = false, afterIdat = false;
    idatBytes = 0;
    while (offset + 8 <= data.size && chunkType(data.data + offset + 4)) {
        // A 32-bit length in 64 bits: no sum here can wrap.
        const uint64_t length = loadU32be(data.data + offset);
        const uint64_t end = uint64_t{offset} + length + 12;
        if (end > data.size) break;
        if (std::memcmp(data.data + offset + 4, "IDAT", 4) == 0) {
            idatBytes += length;
            if (afterIdat) stream.together = false;
            stream.idat.push_back({offset + 8, static_cast<size_t>(length)});
        } else if (!stream.idat.empty()) {
            afterIdat = true;
        } else {
            colour.note(data, offset + 8, static_cast<size_t>(length));
        }
        // IDAT's checksums are checked where its data is read; the other critical chunks' here,
        // for both paths, since a damaged critical chunk refuses the file.
        const uint8_t* type = data.data + offset + 4;
        if ((type[0] & 0x20) == 0 && std::memcmp(type, "IDAT", 4) != 0 &&
            libdeflate_crc32(0, type, static_cast<size_t>(length) + 4) != loadU32be(type + 4 + length))
            if (kept.damaged[0] == '\0') std::memcpy(kept.damaged, type, 4);
        if (!needed(data.data + offset + 4)) {
            if (offset > runStart) kept.parts.push_back({runStart, offset - runStart});
            runStart = static_cast<size_t>(end);
            leftOut = true;
        }
        offset = static_cast<size_t>(end);
    }
    if (data.size > runStart) kept.parts.push_back({runStart, data.size - runStart});
    return leftOut;
}

int readKept(spng_ctx*, void* user, void* out, size_t length) {
    auto* kept = static_cast<KeptParts*>(user);
    auto* to = static_cast<uint8_t*>(out);
    while (length > 0) {
        if (kept->part == kept->parts.size()) return SPNG_IO_EOF;
        const KeptParts::Part& p = kept->parts[kept->part];
        const size_t n = std::min(length, p.length - kept->done);
        std::memcpy(to, kept->data.data + p.offset + kept->done, n);
        to += n;
        length -= n;
        kept->done += n;
        if (kept->done == p.length) {
            ++kept->part;
            kept->done = 0;
        }
    }
    return 0;
}

VekError openStream(ByteView data, KeptParts& kept, png::WholeStream& stream, Context& ctx, spng_ihdr& ihdr,
                    uint64_t& idatBytes, png::ColourChunks& colour) {
    // The first chunk is IHDR, 13 bytes long: anything else behind a PNG signature is refused at
    // once, before a single later byte is read.
    if (data.size < sizeof kSignature + 8 + 13 + 4 || loadU32be(data.data + 8) != 13 ||
        std::memcmp(data.data + 12, "IHDR", 4) != 0)
        return refuse(VEK_ERROR_DAMAGED, "PNG: IHDR is not the first chunk");
    ctx.reset(spng_ctx_new(0));
    if (!ctx) return outOfMemory(sizeof(spng_ctx*));
    // A damaged critical chunk refuses the file; damaged ancillary chunks are dropped.
    spng_set_crc_action(ctx.get(), SPNG_CRC_ERROR, SPNG_CRC_DISCARD);
    spng_set_image_limits(ctx.get(), static_cast<uint32_t>(kMaxDimension), static_cast<uint32_t>(kMaxDimension));
    spng_set_chunk_limits(ctx.get(), size_t{1} << 26, size_t{1} << 26);
    bool leftOut = false;
    uint64_t idat = 0;
    if (VekError e = guarded("listing the chunks", [&] {
            leftOut = findKeptParts(data, kept, stream, idat, colour);
            return VEK_OK;
        }))
        return e;
    if (kept.damaged[0] != '\0') return refuse(VEK_ERROR_DAMAGED, "PNG: chunk %s fails its checksum", kept.damaged);
    const int set = leftOut ? spng_set_png_stream(ctx.get(), readKept, &kept)
                            : spng_set_png_buffer(ctx.get(), data.data, data.size);
    if (set) return codeFor(set);
    if (int e = spng_get_ihdr(ctx.get(), &ihdr)) return codeFor(e);
    idatBytes = idat;
    return VEK_OK;
}

// Deflate makes at most 1032 bytes of each compressed byte (258 from a 2-bit code, as a bound): data
// that cannot hold the picture's samples is refused before anything is allocated for them.
bool dataCanHold(uint64_t idatBytes, const spng_ihdr& ihdr) {
    const uint64_t samples = ihdr.color_type == SPNG_COLOR_TYPE_TRUECOLOR         ? 3
                             : ihdr.color_type == SPNG_COLOR_TYPE_TRUECOLOR_ALPHA ? 4
                             : ihdr.color_type == SPNG_COLOR_TYPE_GRAYSCALE_ALPHA ? 2
                                                                                  : 1;
    const uint64_t bits = static_cast<uint64_t>(ihdr.width) * ihdr.height * samples * ihdr.bit_depth;
    return idatBytes * 1032 >= bits / 8;
}

uint16_t componentsOf(uint8_t colourType) {
    switch (colourType) {
    case SPNG_COLOR_TYPE_GRAYSCALE: return 1;
    case SPNG_COLOR_TYPE_TRUECOLOR: return 3;
    case SPNG_COLOR_TYPE_INDEXED: return 1;
    case SPNG_COLOR_TYPE_GRAYSCALE_ALPHA: return 2;
    default: return 4;
    }
}

// The palette form holds when no entry is partly transparent and at most one is fully so.
bool paletteKeepsItsForm(const spng_trns& trns, uint32_t entries, int& transparent) {
    transparent = -1;
    for (uint32_t i = 0; i < trns.n_type3_entries && i < entries; ++i) {
        const uint8_t a = trns.type3_alpha[i];
        if (a == 255) continue;
        if (a != 0 || transparent != -1) return false;
        transparent = static_cast<int>(i);
    }
    return true;
}

// RGBA to BGRA in place.
void swapRedAndBlue(uint8_t* p, int32_t width, simd::Level kernels) {
    rows::rgbaToBgra(p, p, static_cast<size_t>(width), kernels);
}

// Decodes row by row into the picture. RGBA rows of a picture that is not interlaced are turned to
// BGRA as they arrive, while still in cache; interlaced rows are complete only after the last pass.
VekError decodeRows(spng_ctx* ctx, Image& image, size_t rowBytes, uint8_t* packed, size_t packedStride,
                    bool swapEachRow = false) {
    for (;;) {
        spng_row_info row{};
        int e = spng_get_row_info(ctx, &row);
        if (e == SPNG_EOI) return VEK_OK;
        if (e) return codeFor(e);
        if (row.row_num >= static_cast<uint32_t>(image.height()))
            return refuse(VEK_ERROR_DAMAGED, "PNG: row %u of %d", row.row_num, image.height());
        uint8_t* out = packed ? packed + packedStride * row.row_num : image.row(static_cast<int32_t>(row.row_num));
        e = spng_decode_row(ctx, out, packed ? packedStride : rowBytes);
        if ((e == 0 || e == SPNG_EOI) && swapEachRow) swapRedAndBlue(out, image.width(), image.kernels());
        if (e == SPNG_EOI) return VEK_OK;
        if (e) return codeFor(e);
    }
}

class PngDecoder final : public Decoder {
public:
    explicit PngDecoder(ByteView data) : Decoder(data, "PNG") {}

    VekError open() {
        png::ColourChunks colour;
        if (VekError e = openStream(data_, kept_, stream_, ctx_, ihdr_, idatBytes_, colour)) return e;
        png::describeColour(data_, colour, colour_);
        const bool grey =
            ihdr_.color_type == SPNG_COLOR_TYPE_GRAYSCALE || ihdr_.color_type == SPNG_COLOR_TYPE_GRAYSCALE_ALPHA;
        colour_.space = grey ? colour::Space::Grey : colour::Space::Rgb;
        info_.width = static_cast<int32_t>(ihdr_.width);
        info_.height = static_cast<int32_t>(ihdr_.height);
        info_.bitsPerComponent = ihdr_.bit_depth;
        info_.componentsPerPixel = componentsOf(ihdr_.color_type);
        info_.compression = ihdr_.interlace_method;
        spng_phys phys{};
        const int physRead = spng_get_phys(ctx_.get(), &phys);
        if (physRead != SPNG_OK && physRead != SPNG_ECHUNKAVAIL) earlier_ = physRead;
        if (physRead == SPNG_OK && phys.unit_specifier == 1) {
            info_.xDpi = dotsPerInch(phys.ppu_x);
            info_.yDpi = dotsPerInch(phys.ppu_y);
        }
        if (ihdr_.color_type == SPNG_COLOR_TYPE_INDEXED) {
            spng_plte plte{};
            if (spng_get_plte(ctx_.get(), &plte) == 0) info_.paletteEntries = static_cast<uint16_t>(plte.n_entries);
        }
        return VEK_OK;
    }

    VekError decode(const LoadOptions& options, Image& image) override;

private:
    VekError decodeIndices(const spng_plte& plte, int transparent, const LoadOptions& options, Image& image);
    VekError decodeBgra(const spng_trns* trns, const LoadOptions& options, Image& image);
    // The fast path for 8-bit pictures that are not interlaced; not taken when libspng is to decode.
    FastPath decodeWhole(const spng_trns* trns, const spng_plte* plte, bool keepPalette, const LoadOptions& options,
                         Image& image) const;

    KeptParts kept_; // libspng reads through it: the decoder stays where it was made
    png::WholeStream stream_;
    Context ctx_;
    spng_ihdr ihdr_{};
    uint64_t idatBytes_ = 0;
    int earlier_ = 0; // what libspng refused while the header was read, which may have spoilt it

    // libspng's error, or where it only says its state is spoilt, what spoilt it.
    VekError failed(int e) const { return codeFor(e == SPNG_EBADSTATE && earlier_ != 0 ? earlier_ : e); }
};

// Sub-byte indices, packed as the file holds them, one index a byte.
void unpackIndices(const uint8_t* packed, size_t packedStride, unsigned depth, Image& image) {
    const unsigned mask = (1u << depth) - 1;
    for (int32_t y = 0; y < image.height(); ++y) {
        const uint8_t* in = packed + packedStride * static_cast<size_t>(y);
        uint8_t* out = image.row(y);
        for (int32_t x = 0; x < image.width(); ++x) {
            const size_t bit = static_cast<size_t>(x) * depth;
            out[x] = static_cast<uint8_t>((in[bit / 8] >> (8 - depth - bit % 8)) & mask);
        }
    }
}

VekError PngDecoder::decodeIndices(const spng_plte& plte, int transparent, const LoadOptions& options, Image& image) {
    image.componentsPerPixel = 1;
    image.transparentIndex = static_cast<int16_t>(transparent);
    image.paletteEntries = static_cast<uint16_t>(plte.n_entries);
    for (uint32_t i = 0; i < plte.n_entries && i < 256; ++i)
        image.setPaletteEntry(static_cast<int>(i), plte.entries[i].red, plte.entries[i].green, plte.entries[i].blue);
    if (const FastPath whole = decodeWhole(nullptr, &plte, true, options, image); whole.taken()) return whole.code;
    if (VekError e = image.allocate(ihdr_.width, ihdr_.height, Layout::Indexed8, options)) return e;
    if (int e = spng_decode_image(ctx_.get(), nullptr, 0, SPNG_FMT_PNG, SPNG_DECODE_PROGRESSIVE)) return failed(e);
    if (ihdr_.bit_depth == 8) {
        if (ihdr_.interlace_method != 0) image.fill(0);
        return decodeRows(ctx_.get(), image, static_cast<size_t>(ihdr_.width), nullptr, 0);
    }
    // Sub-byte indices arrive packed, and interlaced passes add bits to rows already begun.
    const size_t packedStride = (static_cast<size_t>(ihdr_.width) * ihdr_.bit_depth + 7) / 8;
    size_t packedBytes;
    if (!checkedMultiply(packedStride, ihdr_.height, packedBytes))
        return refuse(VEK_ERROR_TOO_LARGE, "PNG: the packed rows do not fit the address space");
    std::unique_ptr<uint8_t, decltype(&std::free)> packed(static_cast<uint8_t*>(std::calloc(packedBytes, 1)),
                                                          &std::free);
    if (!packed) return outOfMemory(packedBytes);
    if (VekError e = decodeRows(ctx_.get(), image, 0, packed.get(), packedStride)) return e;
    unpackIndices(packed.get(), packedStride, ihdr_.bit_depth, image);
    return VEK_OK;
}

// Everything but a palette that keeps its form: BGRA, with tRNS colour keys and palette alpha applied
// by the decoder.
VekError PngDecoder::decodeBgra(const spng_trns* trns, const LoadOptions& options, Image& image) {
    const bool keyed = trns != nullptr && ihdr_.color_type != SPNG_COLOR_TYPE_INDEXED;
    switch (ihdr_.color_type) {
    case SPNG_COLOR_TYPE_GRAYSCALE: image.componentsPerPixel = keyed ? 4 : 1; break;
    case SPNG_COLOR_TYPE_TRUECOLOR: image.componentsPerPixel = keyed ? 4 : 3; break;
    default: image.componentsPerPixel = 4; break;
    }
    spng_plte plte{};
    if (ihdr_.color_type == SPNG_COLOR_TYPE_INDEXED && spng_get_plte(ctx_.get(), &plte) != 0)
        return refuse(VEK_ERROR_DAMAGED, "PNG: a palette picture without PLTE");
    if (const FastPath whole = decodeWhole(trns, &plte, false, options, image); whole.taken()) return whole.code;
    if (VekError e = image.allocate(ihdr_.width, ihdr_.height, Layout::Bgra32, options)) return e;
    if (int e = spng_decode_image(ctx_.get(), nullptr, 0, SPNG_FMT_RGBA8, SPNG_DECODE_TRNS | SPNG_DECODE_PROGRESSIVE))
        return failed(e);
    const bool interlaced = ihdr_.interlace_method != 0;
    if (interlaced) image.fill(0);
    if (VekError e = decodeRows(ctx_.get(), image, static_cast<size_t>(ihdr_.width) * 4, nullptr, 0, !interlaced))
        return e;
    if (interlaced) {
        for (int32_t y = 0; y < image.height(); ++y) swapRedAndBlue(image.row(y), image.width(), image.kernels());
    }
    return VEK_OK;
}

VekError PngDecoder::decode(const LoadOptions& options, Image& image) {
    if (!dataCanHold(idatBytes_, ihdr_))
        return refuse(VEK_ERROR_DAMAGED, "PNG: %llu bytes of IDAT cannot hold %u x %u pixels",
                      static_cast<unsigned long long>(idatBytes_), ihdr_.width, ihdr_.height);
    if (!png::idatChecksumsHold(data_, stream_))
        return refuse(VEK_ERROR_DAMAGED, "PNG: an IDAT chunk fails its checksum");

    spng_trns trns{};
    const bool hasTrns = spng_get_trns(ctx_.get(), &trns) == 0;
    if (hasTrns && ihdr_.color_type == SPNG_COLOR_TYPE_GRAYSCALE && ihdr_.bit_depth < 16) {
        // Only the key's low bits count at depths under 16: a sample has no more bits to match; libspng
        // compares the whole value, so a key written with high bits set would match nothing.
        trns.gray &= static_cast<uint16_t>((1u << ihdr_.bit_depth) - 1);
        if (int e = spng_set_trns(ctx_.get(), &trns)) return failed(e);
    }
    image.bitsPerComponent = 8;
    if (ihdr_.color_type == SPNG_COLOR_TYPE_INDEXED) {
        spng_plte plte{};
        if (int e = spng_get_plte(ctx_.get(), &plte)) return failed(e);
        int transparent = -1;
        if (!hasTrns || paletteKeepsItsForm(trns, plte.n_entries, transparent))
            return decodeIndices(plte, transparent, options, image);
    }
    return decodeBgra(hasTrns ? &trns : nullptr, options, image);
}

FastPath PngDecoder::decodeWhole(const spng_trns* trns, const spng_plte* plte, bool keepPalette,
                                 const LoadOptions& options, Image& image) const {
    if (ihdr_.bit_depth != 8 || ihdr_.interlace_method != 0) return FastPath::notTaken();
    png::Rows rows;
    rows.width = ihdr_.width;
    rows.height = ihdr_.height;
    switch (ihdr_.color_type) {
    case SPNG_COLOR_TYPE_GRAYSCALE: rows.form = png::Form::Grey; break;
    case SPNG_COLOR_TYPE_GRAYSCALE_ALPHA: rows.form = png::Form::GreyAlpha; break;
    case SPNG_COLOR_TYPE_TRUECOLOR: rows.form = png::Form::Rgb; break;
    case SPNG_COLOR_TYPE_TRUECOLOR_ALPHA: rows.form = png::Form::Rgba; break;
    default: rows.form = keepPalette ? png::Form::Indices : png::Form::Palette; break;
    }
    if (trns && (rows.form == png::Form::Grey || rows.form == png::Form::Rgb)) {
        // As libspng compares at this depth: the key's low byte.
        rows.keyed = true;
        rows.key[0] = static_cast<uint8_t>(rows.form == png::Form::Grey ? trns->gray : trns->red);
        rows.key[1] = static_cast<uint8_t>(trns->green);
        rows.key[2] = static_cast<uint8_t>(trns->blue);
    }
    if (rows.form == png::Form::Palette) {
        // Indices past the palette are opaque black, as libspng shows them.
        for (uint32_t i = 0; i < 256; ++i) {
            const spng_plte_entry e = i < plte->n_entries ? plte->entries[i] : spng_plte_entry{};
            const uint8_t alpha = trns && i < trns->n_type3_entries && i < plte->n_entries ? trns->type3_alpha[i] : 255;
            rows.words[i] = bgraWord(e.red, e.green, e.blue, alpha);
        }
    }
    return png::decodeWhole(data_, stream_, rows, options, image);
}

} // namespace

namespace png_format {

bool sniff(ByteView data) { return data.startsWith(kSignature, sizeof kSignature); }
bool sniffLate(ByteView) { return false; }

VekError open(ByteView data, DecoderPtr& decoder) {
    auto png = std::make_unique<PngDecoder>(data);
    if (VekError e = png->open()) return e;
    decoder = std::move(png);
    return VEK_OK;
}

} // namespace png_format
} // namespace vek
