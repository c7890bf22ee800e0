#include "libvek/formats/png_inflate.h"

#include <libdeflate.h>

#include <cstring>
#include <memory>
#include <new>

#include "libvek/base/limits.h"
#include "libvek/core/pixels.h"
#include "libvek/core/rows.h"
#include "libvek/formats/png_filter.h"

namespace vek::png {
namespace {

// Row buffers are read and written a whole pixel word at a time: room for the word past the end.
constexpr size_t kRowPadding = kUnfilterPadding;

size_t channelsOf(Form form) {
    switch (form) {
    case Form::GreyAlpha: return 2;
    case Form::Rgb: return 3;
    case Form::Rgba: return 4;
    default: return 1;
    }
}

// An unfiltered row into the picture's row.
void convert(const Rows& rows, const uint8_t* in, uint8_t* out, simd::Level kernels) {
    const size_t w = rows.width;
    switch (rows.form) {
    case Form::Indices: std::memcpy(out, in, w); return;
    case Form::Palette: rows::indexedToBgra(in, out, w, rows.words); return;
    case Form::Rgba: rows::rgbaToBgra(in, out, w, kernels); return;
    case Form::GreyAlpha:
        for (size_t x = 0; x < w; ++x, in += 2, out += 4) out[0] = out[1] = out[2] = in[0], out[3] = in[1];
        return;
    case Form::Grey:
        if (!rows.keyed) return rows::greyToBgra(in, out, w, kernels);
        for (size_t x = 0; x < w; ++x, out += 4)
            out[0] = out[1] = out[2] = in[x], out[3] = in[x] == rows.key[0] ? 0 : 255;
        return;
    case Form::Rgb:
        if (!rows.keyed) return rows::rgbToBgra(in, out, w, kernels);
        for (size_t x = 0; x < w; ++x, in += 3, out += 4) {
            out[0] = in[2], out[1] = in[1], out[2] = in[0];
            out[3] = in[0] == rows.key[0] && in[1] == rows.key[1] && in[2] == rows.key[2] ? 0 : 255;
        }
        return;
    }
}

struct DecompressorFree {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

} // namespace

bool idatChecksumsHold(ByteView data, const WholeStream& stream) {
    // Each CRC covers the chunk's type, the four bytes before its data, and the data.
    for (const Range& r : stream.idat)
        if (libdeflate_crc32(0, data.data + r.offset - 4, r.length + 4) != loadU32be(data.data + r.offset + r.length))
            return false;
    return true;
}

FastPath decodeWhole(ByteView data, const WholeStream& stream, const Rows& rows, const LoadOptions& options,
                     Image& image) {
    if (!stream.together || stream.idat.empty()) return FastPath::notTaken();
    const size_t bpp = channelsOf(rows.form), width = rows.width, height = rows.height;
    size_t rowBytes, inflated;
    if (!checkedMultiply(width, bpp, rowBytes) || !checkedMultiply(rowBytes + 1, height, inflated))
        return FastPath::notTaken();

    // The stream lands at the end of the picture's memory, with the padding after it; unfiltered
    // row y ends no later than the stream's row y + 1 begins, as the output rows are never narrower.
    const size_t slack = height + kRowPadding;
    const Layout layout = rows.form == Form::Indices ? Layout::Indexed8 : Layout::Bgra32;
    if (VekError e = image.allocate(rows.width, rows.height, layout, options, slack)) return FastPath::failed(e);
    uint8_t* const base = image.store()->data();
    uint8_t* const stream0 = base + image.stride() * height + height - inflated;

    std::unique_ptr<libdeflate_decompressor, DecompressorFree> inflater(libdeflate_alloc_decompressor());
    std::unique_ptr<uint8_t[]> joined, rowMemory(new (std::nothrow) uint8_t[2 * (rowBytes + kRowPadding)]());
    if (!inflater || !rowMemory) return FastPath::failed(outOfMemory(2 * (rowBytes + kRowPadding)));
    const uint8_t* compressed = data.data + stream.idat.front().offset;
    size_t compressedBytes = stream.idat.front().length;
    if (stream.idat.size() > 1) {
        compressedBytes = 0;
        for (const Range& r : stream.idat) compressedBytes += r.length;
        joined.reset(new (std::nothrow) uint8_t[compressedBytes]);
        if (!joined) return FastPath::failed(outOfMemory(compressedBytes));
        size_t at = 0;
        for (const Range& r : stream.idat)
            std::memcpy(joined.get() + at, data.data + r.offset, r.length), at += r.length;
        compressed = joined.get();
    }
    size_t used = 0, produced = 0;
    if (libdeflate_zlib_decompress_ex(inflater.get(), compressed, compressedBytes, stream0, inflated, &used,
                                      &produced) != LIBDEFLATE_SUCCESS ||
        produced != inflated)
        return FastPath::notTaken();
    joined.reset();

    uint8_t* prev = rowMemory.get();
    uint8_t* cur = prev + rowBytes + kRowPadding;
    const simd::Level kernels = image.kernels();
    for (size_t y = 0; y < height; ++y) {
        if (!unfilter(stream0 + y * (rowBytes + 1), prev, cur, rowBytes, bpp, kernels)) return FastPath::notTaken();
        convert(rows, cur, base + y * image.stride(), kernels);
        image.finishRow(base + y * image.stride());
        std::swap(prev, cur);
    }
    image.storeTopDownRowsInOrder();
    image.markRowsFinished();
    return FastPath::done();
}

} // namespace vek::png
