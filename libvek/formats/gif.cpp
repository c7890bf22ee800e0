// GIF on giflib: the first frame, drawn on the logical screen as a browser shows it, kept as
// palette indices with the frame's transparent index.
#include <gif_lib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "libvek/core/limits.h"
#include "libvek/formats/formats.h"

namespace vek {
namespace {

struct Input {
    ByteReader reader;
};

int readBytes(GifFileType* gif, GifByteType* out, int wanted) {
    auto* input = static_cast<Input*>(gif->UserData);
    const size_t n = wanted < 0 ? 0 : std::min(static_cast<size_t>(wanted), input->reader.remaining());
    const uint8_t* p = input->reader.take(n);
    if (n != 0) std::memcpy(out, p, n);
    return static_cast<int>(n);
}

struct GifClose {
    void operator()(GifFileType* gif) const {
        int error = 0;
        DGifCloseFile(gif, &error);
    }
};
using Gif = std::unique_ptr<GifFileType, GifClose>;

VekError codeFor(int gifError) {
    switch (gifError) {
    case D_GIF_ERR_NOT_ENOUGH_MEM: return VEK_ERROR_OUT_OF_MEMORY;
    case D_GIF_ERR_NOT_GIF_FILE: return VEK_ERROR_UNKNOWN_FORMAT;
    default: return VEK_ERROR_DAMAGED;
    }
}

bool sniff(ByteView data) { return data.startsWith("GIF87a", 6) || data.startsWith("GIF89a", 6); }

struct FirstFrame {
    int transparentIndex = -1;
    int left = 0, top = 0, width = 0, height = 0;
    bool interlaced = false;
};

// Reads up to the first image descriptor, taking the transparency of the control extension that
// precedes it.
VekError findFirstFrame(GifFileType* gif, FirstFrame& frame) {
    for (;;) {
        GifRecordType type;
        if (DGifGetRecordType(gif, &type) == GIF_ERROR) return codeFor(gif->Error);
        if (type == TERMINATE_RECORD_TYPE) return VEK_ERROR_DAMAGED;  // no picture in the file
        if (type == EXTENSION_RECORD_TYPE) {
            int code = 0;
            GifByteType* block = nullptr;
            if (DGifGetExtension(gif, &code, &block) == GIF_ERROR) return codeFor(gif->Error);
            if (code == GRAPHICS_EXT_FUNC_CODE && block != nullptr && block[0] >= 4) {
                frame.transparentIndex = (block[1] & 1) ? block[4] : -1;
            }
            while (block != nullptr) {
                if (DGifGetExtensionNext(gif, &block) == GIF_ERROR) return codeFor(gif->Error);
            }
            continue;
        }
        if (type == IMAGE_DESC_RECORD_TYPE) {
            if (DGifGetImageDesc(gif) == GIF_ERROR) return codeFor(gif->Error);
            frame.left = gif->Image.Left;
            frame.top = gif->Image.Top;
            frame.width = gif->Image.Width;
            frame.height = gif->Image.Height;
            frame.interlaced = gif->Image.Interlace;
            return VEK_OK;
        }
    }
}

VekError open(Input& input, Gif& gif, FirstFrame& frame, int& screenWidth, int& screenHeight) {
    int error = 0;
    gif.reset(DGifOpen(&input, readBytes, &error));
    if (!gif) return codeFor(error);
    if (VekError e = findFirstFrame(gif.get(), frame)) return e;
    // Some writers leave the logical screen empty; the frame then sets the size.
    screenWidth = gif->SWidth > 0 ? gif->SWidth : frame.left + frame.width;
    screenHeight = gif->SHeight > 0 ? gif->SHeight : frame.top + frame.height;
    return VEK_OK;
}

VekError query(ByteView data, ImageInfo& info) {
    Input input{ByteReader(data)};
    Gif gif;
    FirstFrame frame;
    int w = 0, h = 0;
    if (VekError e = open(input, gif, frame, w, h)) return e;
    info.width = w;
    info.height = h;
    info.bitsPerComponent = 8;
    info.componentsPerPixel = 1;
    info.transparentIndex = static_cast<int16_t>(frame.transparentIndex);
    const ColorMapObject* map = gif->Image.ColorMap ? gif->Image.ColorMap : gif->SColorMap;
    info.paletteEntries = static_cast<uint16_t>(map ? map->ColorCount : 256);
    info.compression = frame.interlaced ? 1 : 0;
    return VEK_OK;
}

VekError load(ByteView data, const LoadOptions& options, Image& image) {
    Input input{ByteReader(data)};
    Gif gif;
    FirstFrame frame;
    int screenWidth = 0, screenHeight = 0;
    if (VekError e = open(input, gif, frame, screenWidth, screenHeight)) return e;
    if (frame.width <= 0 || frame.height <= 0) return VEK_ERROR_DAMAGED;
    if (!dimensionsAllowed(frame.width, frame.height, options.maxPixels)) return VEK_ERROR_TOO_LARGE;
    if (VekError e = image.allocate(screenWidth, screenHeight, Layout::Indexed8, options)) return e;

    const ColorMapObject* map = gif->Image.ColorMap ? gif->Image.ColorMap : gif->SColorMap;
    if (map != nullptr) {
        image.paletteEntries = static_cast<uint16_t>(std::min(map->ColorCount, 256));
        for (int i = 0; i < image.paletteEntries; ++i)
            image.setPaletteEntry(i, map->Colors[i].Red, map->Colors[i].Green, map->Colors[i].Blue);
    } else {
        image.paletteEntries = 256;  // no palette at all: a grey ramp
        for (int i = 0; i < 256; ++i) {
            const auto v = static_cast<uint8_t>(i);
            image.setPaletteEntry(i, v, v, v);
        }
    }
    image.bitsPerComponent = 8;
    image.componentsPerPixel = 1;
    image.transparentIndex = static_cast<int16_t>(frame.transparentIndex);
    // Outside the frame the screen shows through: transparent where the frame has a transparent
    // colour, else the background colour.
    image.fill(static_cast<uint8_t>(frame.transparentIndex >= 0 ? frame.transparentIndex : gif->SBackGroundColor));

    std::vector<GifPixelType> line;
    try {
        line.resize(static_cast<size_t>(frame.width));
    } catch (...) {
        return VEK_ERROR_OUT_OF_MEMORY;
    }
    // Interlaced frames arrive in four passes: every 8th row from 0, every 8th from 4, every 4th
    // from 2, every 2nd from 1.
    static const int passStart[4] = {0, 4, 2, 1};
    static const int passStep[4] = {8, 8, 4, 2};
    const int passes = frame.interlaced ? 4 : 1;
    const int visibleLeft = std::max(frame.left, 0);
    const int visibleRight = std::min(frame.left + frame.width, screenWidth);
    for (int pass = 0; pass < passes; ++pass) {
        const int start = frame.interlaced ? passStart[pass] : 0;
        const int step = frame.interlaced ? passStep[pass] : 1;
        for (int row = start; row < frame.height; row += step) {
            if (DGifGetLine(gif.get(), line.data(), frame.width) == GIF_ERROR) return codeFor(gif->Error);
            const int y = frame.top + row;
            if (y < 0 || y >= screenHeight || visibleLeft >= visibleRight) continue;
            std::memcpy(image.row(y) + visibleLeft, line.data() + (visibleLeft - frame.left),
                        static_cast<size_t>(visibleRight - visibleLeft));
        }
    }
    return VEK_OK;
}

} // namespace

const FormatReader kGifReader = {VEK_FORMAT_GIF, "GIF", sniff, query, load};

} // namespace vek
