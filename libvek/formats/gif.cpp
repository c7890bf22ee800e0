// GIF on giflib: the first frame, drawn on the logical screen as a browser shows it, kept as
// palette indices with the frame's transparent index. giflib refuses LZW minimum code sizes above
// 8; those up to 11 still fit the format's 12-bit codes and browsers show them, so their data is
// decoded here. 12 and above leave no room for a single code and are refused.
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
    int wideCodeSize = 0;  // a minimum code size of 9 to 11, whose data giflib does not read
};

// Whether giflib stopped at a minimum code size above 8: the byte it refused is the one after the
// descriptor that starts at `descriptor` and its local colour table.
int refusedCodeSize(ByteView data, size_t descriptor, size_t position) {
    if (descriptor + 9 > data.size) return 0;
    const uint8_t flags = data.data[descriptor + 8];
    const size_t table = (flags & 0x80) ? 3u << ((flags & 7) + 1) : 0;
    const size_t at = descriptor + 9 + table;
    return position == at + 1 && at < data.size && data.data[at] > 8 ? data.data[at] : 0;
}

// Reads up to the first image descriptor, taking the transparency of the control extension that
// precedes it.
VekError findFirstFrame(GifFileType* gif, Input& input, ByteView data, FirstFrame& frame) {
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
            const size_t descriptor = input.reader.position();
            if (DGifGetImageDesc(gif) == GIF_ERROR) {
                const int codeSize = refusedCodeSize(data, descriptor, input.reader.position());
                if (codeSize == 0) return codeFor(gif->Error);
                if (codeSize > 11) return VEK_ERROR_UNSUPPORTED;
                frame.wideCodeSize = codeSize;
            }
            frame.left = gif->Image.Left;
            frame.top = gif->Image.Top;
            frame.width = gif->Image.Width;
            frame.height = gif->Image.Height;
            frame.interlaced = gif->Image.Interlace;
            return VEK_OK;
        }
    }
}

VekError open(ByteView data, Input& input, Gif& gif, FirstFrame& frame, int& screenWidth, int& screenHeight) {
    int error = 0;
    gif.reset(DGifOpen(&input, readBytes, &error));
    if (!gif) return codeFor(error);
    if (VekError e = findFirstFrame(gif.get(), input, data, frame)) return e;
    // The screen grows to hold the first frame, as browsers show it: some writers leave the
    // logical screen empty or smaller than the picture.
    screenWidth = std::max(gif->SWidth, frame.left + frame.width);
    screenHeight = std::max(gif->SHeight, frame.top + frame.height);
    return VEK_OK;
}

// GIF's LZW: codes of growing width up to 12 bits, least significant bit first, in sub-blocks.
// Writes count indices. Values past 255 cannot be palette indices: they become `outside`, an
// index past the palette that paints black, or refuse the frame when the palette leaves none.
class WideLzw {
public:
    WideLzw(ByteReader& reader, int minCodeSize) : reader_(reader), minCodeSize_(minCodeSize) {}

    VekError decode(uint8_t* out, size_t count, int outside) {
        const int clear = 1 << minCodeSize_, end = clear + 1;
        int codeSize = minCodeSize_ + 1, next = clear + 2, previous = -1;
        uint16_t first = 0;
        size_t written = 0;
        while (written < count) {
            int code;
            if (!read(codeSize, code)) return VEK_ERROR_DAMAGED;
            if (code == clear) {
                codeSize = minCodeSize_ + 1;
                next = clear + 2;
                previous = -1;
                continue;
            }
            if (code == end) break;
            int start = code;
            if (previous < 0) {
                if (code > clear) return VEK_ERROR_DAMAGED;
            } else if (code > next || (code == next && next >= kCodes)) {
                return VEK_ERROR_DAMAGED;
            }
            // The string of a code not yet in the table is the previous string and its first value.
            int depth = 0;
            if (previous >= 0 && code == next) {
                stack_[depth++] = first;
                start = previous;
            }
            for (int c = start; c >= clear; c = prefix_[c]) stack_[depth++] = suffix_[c];
            stack_[depth++] = static_cast<uint16_t>(start);
            first = stack_[depth - 1];
            while (depth > 0 && written < count) {
                const uint16_t v = stack_[--depth];
                if (v > 255 && outside < 0) return VEK_ERROR_DAMAGED;
                out[written++] = static_cast<uint8_t>(v > 255 ? outside : v);
            }
            if (previous >= 0 && next < kCodes) {
                prefix_[next] = static_cast<uint16_t>(previous);
                suffix_[next] = first;
                if (++next == (1 << codeSize) && codeSize < 12) ++codeSize;
            }
            previous = code;
        }
        return written == count ? VEK_OK : VEK_ERROR_DAMAGED;
    }

private:
    static constexpr int kCodes = 4096;

    bool read(int bits, int& code) {
        while (held_ < bits) {
            if (blockLeft_ == 0) {
                uint8_t length;
                if (!reader_.u8(length) || length == 0) return false;
                blockLeft_ = length;
            }
            uint8_t byte;
            if (!reader_.u8(byte)) return false;
            --blockLeft_;
            bits_ |= static_cast<uint32_t>(byte) << held_;
            held_ += 8;
        }
        code = static_cast<int>(bits_ & ((1u << bits) - 1));
        bits_ >>= bits;
        held_ -= bits;
        return true;
    }

    ByteReader& reader_;
    int minCodeSize_;
    uint32_t bits_ = 0;
    int held_ = 0;
    unsigned blockLeft_ = 0;
    uint16_t prefix_[kCodes] = {};
    uint16_t suffix_[kCodes] = {};
    uint16_t stack_[kCodes + 1] = {};
};

VekError query(ByteView data, ImageInfo& info) {
    Input input{ByteReader(data)};
    Gif gif;
    FirstFrame frame;
    int w = 0, h = 0;
    if (VekError e = open(data, input, gif, frame, w, h)) return e;
    info.width = w;
    info.height = h;
    const ColorMapObject* map = gif->Image.ColorMap ? gif->Image.ColorMap : gif->SColorMap;
    // The depth of the colour table the frame uses, as PNG and BMP report theirs.
    info.bitsPerComponent = static_cast<uint16_t>(map ? map->BitsPerPixel : 8);
    info.componentsPerPixel = 1;
    info.transparentIndex = static_cast<int16_t>(frame.transparentIndex);
    info.paletteEntries = static_cast<uint16_t>(map ? map->ColorCount : 256);
    info.compression = frame.interlaced ? 1 : 0;
    return VEK_OK;
}

VekError load(ByteView data, const LoadOptions& options, Image& image) {
    Input input{ByteReader(data)};
    Gif gif;
    FirstFrame frame;
    int screenWidth = 0, screenHeight = 0;
    if (VekError e = open(data, input, gif, frame, screenWidth, screenHeight)) return e;
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
    // colour, else the background colour. A frame over the whole screen writes every pixel itself.
    const bool coversScreen = frame.left <= 0 && frame.top <= 0 && frame.left + frame.width >= screenWidth &&
                              frame.top + frame.height >= screenHeight;
    if (!coversScreen)
        image.fill(static_cast<uint8_t>(frame.transparentIndex >= 0 ? frame.transparentIndex : gif->SBackGroundColor));

    // giflib hands over one row at a time; wide-code data is decoded whole, then taken row by row.
    std::vector<GifPixelType> line;
    std::unique_ptr<WideLzw> wide;
    try {
        line.resize(frame.wideCodeSize ? static_cast<size_t>(frame.width) * static_cast<size_t>(frame.height)
                                       : static_cast<size_t>(frame.width));
        if (frame.wideCodeSize) wide = std::make_unique<WideLzw>(input.reader, frame.wideCodeSize);
    } catch (...) {
        return VEK_ERROR_OUT_OF_MEMORY;
    }
    if (wide) {
        int outside = image.paletteEntries;
        if (outside == frame.transparentIndex) ++outside;
        if (VekError e = wide->decode(line.data(), line.size(), outside < 256 ? outside : -1)) return e;
    }
    size_t sequence = 0;  // rows in the order the data holds them
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
            const GifPixelType* pixels = line.data();
            if (wide)
                pixels += static_cast<size_t>(frame.width) * sequence++;
            else if (DGifGetLine(gif.get(), line.data(), frame.width) == GIF_ERROR)
                return codeFor(gif->Error);
            const int y = frame.top + row;
            if (y < 0 || y >= screenHeight || visibleLeft >= visibleRight) continue;
            std::memcpy(image.row(y) + visibleLeft, pixels + (visibleLeft - frame.left),
                        static_cast<size_t>(visibleRight - visibleLeft));
        }
    }
    return VEK_OK;
}

} // namespace

const FormatReader kGifReader = {VEK_FORMAT_GIF, "GIF", sniff, query, load};

} // namespace vek
