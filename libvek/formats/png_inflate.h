// The common PNG, decoded without libspng: 8-bit samples, not interlaced. The IDAT stream is
// inflated whole by libdeflate into the end of the picture's own memory, then unfiltered a row at a
// time into the rows before it, which it never overtakes. Anything unusual (a damaged
// stream, a filter byte out of range, more or fewer bytes than the rows hold) is not taken, and
// libspng decodes the file instead and gives its own verdict.
#pragma once

#include <cstdint>
#include <vector>

#include "libvek/base/bytes.h"
#include "libvek/base/fast_path.h"
#include "libvek/core/image.h"

namespace vek::png {

struct Range {
    size_t offset, length;
};

struct WholeStream {
    std::vector<Range> idat; // each IDAT chunk's data, in file order
    bool together = true;    // no other chunk between the first IDAT and the last
};

enum class Form : uint8_t { Grey, GreyAlpha, Rgb, Rgba, Indices, Palette };

struct Rows {
    uint32_t width = 0, height = 0;
    Form form = Form::Rgba;
    bool keyed = false;       // a tRNS colour key: matching pixels become transparent
    uint8_t key[3] = {};      // grey, or red, green, blue
    uint32_t words[256] = {}; // Palette: BGRA words for every index
};

// Whether every IDAT chunk's CRC holds: both paths refuse a file where one does not, which libspng
// itself lets through.
bool idatChecksumsHold(ByteView data, const WholeStream& stream);

// Allocates the picture (Indexed8 for Indices, BGRA otherwise) and decodes into it; not taken when
// the caller should decode with libspng instead. A failed allocation is an answer of its own.
FastPath decodeWhole(ByteView data, const WholeStream& stream, const Rows& rows, const LoadOptions& options,
                     Image& image);

} // namespace vek::png
