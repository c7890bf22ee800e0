// Bitmap headers: the file header, every info header version, and where the palette and pixels are.
#pragma once

#include <cstddef>
#include <cstdint>

#include "imagelib/vek.h"
#include "libvek/base/bytes.h"

namespace vek::bmp {

enum Compression : uint32_t {
    kRgb = 0,
    kRle8 = 1,
    kRle4 = 2,
    kBitfields = 3,
    kJpeg = 4,
    kPng = 5,
    kAlphaBitfields = 6,
};

// Info header sizes: OS/2 1.x; Windows' own (BITMAPINFOHEADER, then with three and four masks
// after it, V4, V5); OS/2 2.x headers are any size from 16 to 64 other than Windows' 40, 52 and 56.
// The fields a Windows header holds end at these offsets: compression, the colours used, the masks.
constexpr uint32_t kOs2Header = 12, kOs2v2Smallest = 16, kOs2v2Largest = 64;
constexpr uint32_t kInfoHeader = 40, kThreeMasksHeader = 52, kFourMasksHeader = 56, kV4Header = 108, kV5Header = 124;
constexpr uint32_t kCompressionEnd = 20, kColoursUsedEnd = 36;

struct Header {
    uint32_t pixelOffset = 0;
    uint32_t headerSize = 0;
    int32_t width = 0;
    int32_t height = 0; // as stored: negative for top-down rows
    uint16_t bitCount = 0;
    uint32_t compression = kRgb;
    int32_t xPelsPerMeter = 0;
    int32_t yPelsPerMeter = 0;
    uint32_t coloursUsed = 0;
    uint32_t masks[4] = {}; // red, green, blue, alpha
    bool explicitMasks = false;
    bool os2 = false; // palette entries of 3 bytes
    size_t paletteOffset = 0;
    size_t infoStart = 0; // where the info header starts

    bool topDown() const { return height < 0; }
    int32_t rows() const { return height < 0 ? -height : height; }
};

// A file header followed by an info header of a size some writer uses.
bool sniffFile(ByteView data);
// infoStart: 14 after a file header, 0 for a headerless DIB, whose pixels follow its palette.
[[nodiscard]] VekError readHeader(ByteView data, Header& h, size_t infoStart);
// A headerless DIB has no signature: only a Windows info header (40, 108 or 124 bytes) whose every
// field is what a writer produces, followed by all the pixel data it declares, is taken for one.
bool sniffDib(ByteView data);

} // namespace vek::bmp
