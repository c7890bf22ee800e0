// Bitmap headers: file and info headers of every version, headerless DIBs, palette and pixel offsets.
#include "libvek/formats/bmp_header.h"

#include <algorithm>

#include "libvek/base/limits.h"
#include "libvek/core/pixels.h"

namespace vek::bmp {
namespace {

// Palette entries stored after the headers: the colours used, or for up to 8 bits a pixel all that
// the depth implies.
uint32_t paletteEntriesStored(const Header& h) {
    if (h.bitCount == 0) return 0; // embedded JPEG or PNG
    if (h.bitCount <= 8)
        return h.coloursUsed != 0 && h.coloursUsed < (1u << h.bitCount) ? h.coloursUsed : 1u << h.bitCount;
    return std::min<uint32_t>(h.coloursUsed, 256);
}

VekError endsInside(const char* what) { return refuse(VEK_ERROR_DAMAGED, "BMP: the file ends inside the %s", what); }

// Where the colour table ends and the pixels begin, from the offsets the headers give.
VekError placePixels(ByteView data, Header& h) {
    // OS/2 1.x headers count no entries: a table shorter than the depth implies ends where the
    // pixels begin.
    if (h.headerSize == kOs2Header && h.bitCount <= 8 && h.pixelOffset > h.paletteOffset &&
        h.pixelOffset - h.paletteOffset < 3u << h.bitCount)
        h.coloursUsed = (h.pixelOffset - h.paletteOffset) / 3;
    // An offset of 0 (some writers leave it so, and a DIB has none) means the pixels follow the
    // palette; one inside the headers would draw them as pixels.
    size_t paletteBytes;
    if (!checkedMultiply(paletteEntriesStored(h), h.os2 ? 3 : 4, paletteBytes))
        return refuse(VEK_ERROR_DAMAGED, "BMP: a colour table of %u entries", h.coloursUsed);
    const uint64_t paletteEnd = uint64_t{h.paletteOffset} + paletteBytes;
    if (h.pixelOffset == 0) {
        if (paletteEnd > data.size) return endsInside("colour table");
        h.pixelOffset = static_cast<uint32_t>(paletteEnd);
    } else if (h.pixelOffset < h.paletteOffset) {
        return refuse(VEK_ERROR_DAMAGED, "BMP: the pixels begin at %u, inside the %zu bytes of headers", h.pixelOffset,
                      h.paletteOffset);
    } else if (h.bitCount <= 8 && h.pixelOffset < paletteEnd) {
        // An offset at or inside the colour table: some writers count the table out of it. The whole
        // table is read and the pixels right after it, where the file holds both; taking the table's
        // bytes for pixels would draw the palette.
        const bool rle = h.compression == kRle4 || h.compression == kRle8;
        size_t rowBits, stride, pixelBytes = 2;
        if (!checkedMultiply(static_cast<uint32_t>(h.width), h.bitCount, rowBits))
            return refuse(VEK_ERROR_DAMAGED, "BMP: rows of %d pixels", h.width);
        stride = (rowBits + 31) / 32 * 4;
        if (!rle && !checkedMultiply(stride, static_cast<size_t>(h.rows()), pixelBytes))
            return refuse(VEK_ERROR_DAMAGED, "BMP: %d rows of %zu bytes", h.rows(), stride);
        if (paletteEnd + pixelBytes > data.size)
            return refuse(
                VEK_ERROR_DAMAGED,
                "BMP: the pixels begin at %u, inside the colour table, and the file is too short for them after it",
                h.pixelOffset);
        h.pixelOffset = static_cast<uint32_t>(paletteEnd);
    }
    return VEK_OK;
}

} // namespace

bool sniffFile(ByteView data) {
    if (!data.startsWith("BM", 2) || data.size < 18) return false;
    const uint32_t size = loadU32le(data.data + 14);
    // OS/2 1.x, OS/2 2.x and Windows' own 40 to 64, V4, V5.
    return size == kOs2Header || (size >= kOs2v2Smallest && size <= kOs2v2Largest) || size == kV4Header ||
           size == kV5Header;
}

namespace {

VekError readMasks(ByteReader& r, Header& h, int count) {
    for (int i = 0; i < count; ++i)
        if (!r.u32le(h.masks[i])) return endsInside("colour masks");
    h.explicitMasks = true;
    return VEK_OK;
}

// Every header from OS/2 2.x's 16 bytes up: each field present as far as the header's size goes.
VekError readLongHeader(ByteReader& r, Header& h) {
    uint16_t planes;
    uint32_t imageSize;
    if (!r.i32le(h.width) || !r.i32le(h.height) || !r.u16le(planes) || !r.u16le(h.bitCount))
        return endsInside("info header");
    if (h.headerSize >= kCompressionEnd && !r.u32le(h.compression)) return endsInside("info header");
    if (h.headerSize >= kColoursUsedEnd &&
        (!r.u32le(imageSize) || !r.i32le(h.xPelsPerMeter) || !r.i32le(h.yPelsPerMeter) || !r.u32le(h.coloursUsed) ||
         (h.headerSize >= kInfoHeader && !r.skip(4))))
        return endsInside("info header");
    // OS/2 2.x headers are any size from 16 to 64 other than Windows' own 40, 52 and 56.
    const bool os2v2 = h.headerSize != kInfoHeader && h.headerSize != kThreeMasksHeader &&
                       h.headerSize != kFourMasksHeader && h.headerSize <= kOs2v2Largest;
    if (os2v2 && (h.compression == 3 || h.compression == 4))
        return refuse(VEK_ERROR_UNSUPPORTED, "BMP: OS/2 %s compression is not read",
                      h.compression == 3 ? "Huffman" : "RLE24");
    if (h.headerSize < kThreeMasksHeader || os2v2) return VEK_OK;
    if (!r.seek(h.infoStart + kInfoHeader)) return endsInside("info header");
    return readMasks(r, h, h.headerSize >= kFourMasksHeader ? 4 : 3);
}

VekError checkDepthAndCompression(const Header& h) {
    switch (h.bitCount) {
    case 1:
    case 2:
    case 4:
    case 8:
    case 16:
    case 24:
    case 32: break;
    case 0:
        if (h.compression == kJpeg || h.compression == kPng) break;
        return refuse(VEK_ERROR_DAMAGED, "BMP: 0 bits a pixel, and the pixels are not a JPEG or PNG");
    default: return refuse(VEK_ERROR_UNSUPPORTED, "BMP: %u bits a pixel", h.bitCount);
    }
    switch (h.compression) {
    case kRgb:
    case kJpeg:
    case kPng: return VEK_OK;
    case kRle8:
        if (h.bitCount == 8) return VEK_OK;
        return refuse(VEK_ERROR_DAMAGED, "BMP: RLE8 compression at %u bits a pixel", h.bitCount);
    case kRle4:
        if (h.bitCount == 4) return VEK_OK;
        return refuse(VEK_ERROR_DAMAGED, "BMP: RLE4 compression at %u bits a pixel", h.bitCount);
    case kBitfields:
    case kAlphaBitfields:
        if (h.bitCount == 16 || h.bitCount == 32) return VEK_OK;
        return refuse(VEK_ERROR_DAMAGED, "BMP: colour masks at %u bits a pixel", h.bitCount);
    default: return refuse(VEK_ERROR_UNSUPPORTED, "BMP: compression %u is not read", h.compression);
    }
}

} // namespace

VekError readHeader(ByteView data, Header& h, size_t infoStart) {
    ByteReader r(data);
    if (infoStart != 0 && (!r.skip(10) || !r.u32le(h.pixelOffset))) return endsInside("file header");
    h.infoStart = infoStart;
    if (!r.seek(infoStart) || !r.u32le(h.headerSize)) return endsInside("info header");
    if (h.headerSize == kOs2Header) {
        // OS/2 1.x: 16-bit dimensions, 3-byte palette entries.
        uint16_t w, hh, planes;
        if (!r.u16le(w) || !r.u16le(hh) || !r.u16le(planes) || !r.u16le(h.bitCount)) return endsInside("info header");
        h.width = w;
        h.height = hh;
        h.os2 = true;
    } else if (h.headerSize >= kOs2v2Smallest) {
        if (VekError e = readLongHeader(r, h)) return e;
    } else {
        return refuse(VEK_ERROR_UNSUPPORTED, "BMP: an info header of %u bytes", h.headerSize);
    }
    if (!r.seek(infoStart + h.headerSize)) return endsInside("info header");
    // A 40-byte header keeps its masks after the header.
    if (h.headerSize == kInfoHeader && (h.compression == kBitfields || h.compression == kAlphaBitfields))
        if (VekError e = readMasks(r, h, h.compression == kAlphaBitfields ? 4 : 3)) return e;
    h.paletteOffset = r.position();
    if (h.width <= 0 || h.height == 0 || h.height == INT32_MIN)
        return refuse(VEK_ERROR_DAMAGED, "BMP: a picture of %d x %d pixels", h.width, h.height);
    if (VekError e = checkDepthAndCompression(h)) return e;
    return placePixels(data, h);
}

bool sniffDib(ByteView data) {
    if (data.size < 40) return false;
    const uint8_t* p = data.data;
    const uint32_t size = loadU32le(p);
    const int32_t width = static_cast<int32_t>(loadU32le(p + 4));
    const int32_t height = static_cast<int32_t>(loadU32le(p + 8));
    const uint16_t planes = loadU16le(p + 12);
    const uint16_t bits = loadU16le(p + 14);
    const uint32_t compression = loadU32le(p + 16);
    const uint32_t colours = loadU32le(p + 32);
    if ((size != kInfoHeader && size != kV4Header && size != kV5Header) || size > data.size || planes != 1)
        return false;
    const int64_t rows = height < 0 ? -int64_t{height} : int64_t{height};
    if (width <= 0 || width > kMaxDimension || rows == 0 || rows > kMaxDimension) return false;
    switch (compression) {
    case kRgb:
        if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) return false;
        break;
    case kRle8:
        if (bits != 8 || height < 0) return false;
        break;
    case kRle4:
        if (bits != 4 || height < 0) return false;
        break;
    case kBitfields:
    case kAlphaBitfields:
        if (bits != 16 && bits != 32) return false;
        break;
    default: return false;
    }
    if (colours > (bits <= 8 ? (1u << bits) : 256u)) return false;
    Header h;
    if (readHeader(data, h, 0) != VEK_OK) return false;
    if (compression == kRle4 || compression == kRle8) return h.pixelOffset + uint64_t{2} <= data.size;
    size_t rowBits, bytes;
    if (!checkedMultiply(static_cast<uint32_t>(width), bits, rowBits) ||
        !checkedMultiply((rowBits + 31) / 32 * 4, static_cast<size_t>(rows), bytes))
        return false;
    return uint64_t{h.pixelOffset} + bytes <= data.size;
}

} // namespace vek::bmp
