// GIF on giflib: the first frame, drawn on the logical screen as a browser shows it, kept as
// palette indices with the frame's transparent index. giflib refuses LZW minimum code sizes above
// 8, and data whose last sub-block is cut short; sizes up to 11 still fit the format's 12-bit
// codes, and a cut after the last pixel loses nothing, so such data is decoded here. 12 and above
// leave no room for a single code and are refused.
#include <gif_lib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "libvek/core/guarded.h"
#include "libvek/core/convert.h"
#include "libvek/base/limits.h"
#include "libvek/formats/formats.h"
#include "libvek/formats/gif_lzw.h"

namespace vek {
namespace {

using gif::Lzw;
using gif::mostPixels;

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

// giflib's own words for what it refused.
VekError codeFor(int gifError) {
    const VekError code = gifError == D_GIF_ERR_NOT_ENOUGH_MEM ? VEK_ERROR_OUT_OF_MEMORY
                          : gifError == D_GIF_ERR_NOT_GIF_FILE ? VEK_ERROR_UNKNOWN_FORMAT
                                                               : VEK_ERROR_DAMAGED;
    const char* words = GifErrorString(gifError);
    return refuse(code, "GIF: %s", words != nullptr ? words : "giflib refused the file");
}

struct FirstFrame {
    int transparentIndex = -1;
    int left = 0, top = 0, width = 0, height = 0;
    bool interlaced = false;
    int codeSize = 0;           // the LZW minimum code size
    size_t dataStart = 0;       // the first sub-block of the frame's data
    uint64_t dataBytes = 0;     // what its sub-blocks hold, as far as the file goes
    bool chainComplete = false; // the sub-blocks end with their terminator inside the file
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

// Walks the frame's sub-blocks without decoding them: how many data bytes the file holds for it,
// and whether the chain reaches its terminator.
void measureData(ByteView data, FirstFrame& frame) {
    size_t at = frame.dataStart;
    while (at < data.size) {
        const size_t length = data.data[at];
        if (length == 0) {
            frame.chainComplete = true;
            return;
        }
        frame.dataBytes += std::min(length, data.size - at - 1);
        at += 1 + length;
    }
}

// Reads up to the first image descriptor, taking the transparency of the control extension that
// precedes it.
VekError findFirstFrame(GifFileType* gif, Input& input, ByteView data, FirstFrame& frame) {
    for (;;) {
        GifRecordType type;
        if (DGifGetRecordType(gif, &type) == GIF_ERROR) return codeFor(gif->Error);
        if (type == TERMINATE_RECORD_TYPE)
            return refuse(VEK_ERROR_DAMAGED, "GIF: the file ends before its first picture");
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
            // Either way giflib has just read the minimum code size, the byte before the data.
            if (DGifGetImageDesc(gif) == GIF_ERROR) {
                const int codeSize = refusedCodeSize(data, descriptor, input.reader.position());
                if (codeSize == 0) return codeFor(gif->Error);
                if (codeSize > 11) return refuse(VEK_ERROR_UNSUPPORTED, "GIF: LZW minimum code size %d", codeSize);
            }
            frame.dataStart = input.reader.position();
            frame.codeSize = data.data[frame.dataStart - 1];
            measureData(data, frame);
            frame.left = gif->Image.Left;
            frame.top = gif->Image.Top;
            frame.width = gif->Image.Width;
            frame.height = gif->Image.Height;
            frame.interlaced = gif->Image.Interlace;
            return VEK_OK;
        }
    }
}

VekError openFile(ByteView data, Input& input, Gif& gif, FirstFrame& frame, int& screenWidth, int& screenHeight) {
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

// Where literals past 255 (minimum code sizes 9 to 11) paint their black: an index past the palette,
// else an opaque black entry; -1 when the palette leaves neither.
int strayIndex(const Image& image) {
    int past = image.paletteEntries;
    if (past == image.transparentIndex) ++past;
    if (past < 256) return past;
    for (int i = 0; i < 256; ++i) {
        const uint8_t* e = image.palette + i * 4;
        if (i != image.transparentIndex && e[0] == 0 && e[1] == 0 && e[2] == 0) return i;
    }
    return -1;
}

// Whether the frame's data holds a literal past 255; decoded once more, without keeping a pixel.
bool holdsStrayLiteral(ByteView data, const FirstFrame& frame) {
    ByteReader reader(data);
    if (!reader.seek(frame.dataStart)) return false;
    std::vector<uint16_t> line(static_cast<size_t>(frame.width));
    auto lzw = std::make_unique<Lzw>(reader, frame.codeSize);
    for (int row = 0; row < frame.height; ++row) {
        if (lzw->row(line.data(), line.size()) != VEK_OK) return false;
        for (uint16_t v : line)
            if (v > 255) return true;
    }
    return false;
}

struct Target;

class GifDecoder final : public Decoder {
public:
    explicit GifDecoder(ByteView data) : Decoder(data, "GIF"), input_{ByteReader(data)} {}

    VekError open() {
        if (VekError e = openFile(data_, input_, gif_, frame_, screenWidth_, screenHeight_)) return e;
        info_.width = screenWidth_;
        info_.height = screenHeight_;
        const ColorMapObject* map = gif_->Image.ColorMap ? gif_->Image.ColorMap : gif_->SColorMap;
        // The depth of the colour table the frame uses, as PNG and BMP report theirs.
        info_.bitsPerComponent = static_cast<uint16_t>(map ? map->BitsPerPixel : 8);
        info_.componentsPerPixel = 1;
        info_.transparentIndex = static_cast<int16_t>(frame_.transparentIndex);
        info_.paletteEntries = static_cast<uint16_t>(map ? map->ColorCount : 256);
        info_.compression = frame_.interlaced ? 1 : 0;
        return VEK_OK;
    }

    VekError decode(const LoadOptions& options, Image& image) override;

    // Data too short to hold the frame is refused before anything is allocated for it.
    VekError queryVerdict() const override {
        const uint64_t pixels = static_cast<uint64_t>(frame_.width) * static_cast<uint64_t>(frame_.height);
        if (mostPixels(frame_.dataBytes, frame_.codeSize) >= pixels) return VEK_OK;
        return refuse(VEK_ERROR_DAMAGED, "GIF: %llu bytes of LZW data cannot hold %d x %d pixels",
                      static_cast<unsigned long long>(frame_.dataBytes), frame_.width, frame_.height);
    }

private:
    void setPalette(Image& image) const;
    void fillOutsideFrame(Image& image, const Target& target) const;
    VekError readFrame(Image& image, const Target& target);

    Input input_; // giflib reads through it: the decoder stays where it was made
    Gif gif_;
    FirstFrame frame_;
    int screenWidth_ = 0, screenHeight_ = 0;
};

// Where the decoded indices go: the indices themselves, or BGRA words when a stray literal left no
// index to paint (codes past 255 then draw opaque black).
struct Target {
    bool asBgra = false;
    int stray = 0;
    uint32_t words[256] = {};
};

void GifDecoder::setPalette(Image& image) const {
    const ColorMapObject* map = gif_->Image.ColorMap ? gif_->Image.ColorMap : gif_->SColorMap;
    if (map != nullptr) {
        image.paletteEntries = static_cast<uint16_t>(std::min(map->ColorCount, 256));
        for (int i = 0; i < image.paletteEntries; ++i)
            image.setPaletteEntry(i, map->Colors[i].Red, map->Colors[i].Green, map->Colors[i].Blue);
    } else {
        image.paletteEntries = 256; // no palette at all: a grey ramp
        for (int i = 0; i < 256; ++i) {
            const auto v = static_cast<uint8_t>(i);
            image.setPaletteEntry(i, v, v, v);
        }
    }
    image.bitsPerComponent = 8;
    image.componentsPerPixel = 1;
    image.transparentIndex = static_cast<int16_t>(frame_.transparentIndex);
}

// Outside the frame the screen shows through: transparent where the frame has a transparent colour,
// else the background colour. A frame over the whole screen writes every pixel itself.
void GifDecoder::fillOutsideFrame(Image& image, const Target& target) const {
    const FirstFrame& frame = frame_;
    if (frame.left <= 0 && frame.top <= 0 && frame.left + frame.width >= screenWidth_ &&
        frame.top + frame.height >= screenHeight_)
        return;
    const auto background =
        static_cast<uint8_t>(frame.transparentIndex >= 0 ? frame.transparentIndex : gif_->SBackGroundColor);
    if (!target.asBgra) {
        image.fill(background);
        return;
    }
    for (int y = 0; y < screenHeight_; ++y)
        for (int x = 0; x < screenWidth_; ++x)
            std::memcpy(image.row(y) + 4 * static_cast<size_t>(x), &target.words[background], 4);
}

// Puts the visible part of one row of codes from our own LZW decoder into a screen row.
void putCodes(const uint16_t* codes, int frameLeft, int left, int right, const Target& target, uint8_t* out) {
    for (int x = left; x < right; ++x) {
        const unsigned v = codes[x - frameLeft];
        if (target.asBgra) {
            const uint32_t word = v > 255 ? 0xFF000000u : target.words[v];
            std::memcpy(out + 4 * static_cast<size_t>(x), &word, 4);
        } else {
            out[x] = static_cast<uint8_t>(v > 255 ? target.stray : v);
        }
    }
}

// giflib decodes minimum code sizes up to 8 whose sub-blocks end in the file; the rest goes through
// our own LZW decoder. Interlaced frames arrive in four passes: every 8th row from 0, every 8th from
// 4, every 4th from 2, every 2nd from 1.
VekError GifDecoder::readFrame(Image& image, const Target& target) {
    const FirstFrame& frame = frame_;
    const bool ownDecoder = frame.codeSize > 8 || !frame.chainComplete;
    std::vector<GifPixelType> line;
    std::vector<uint16_t> wideLine;
    std::unique_ptr<Lzw> lzw;
    if (VekError e = guarded("for a row of the frame", [&] {
            if (ownDecoder) {
                wideLine.resize(static_cast<size_t>(frame.width));
                lzw = std::make_unique<Lzw>(input_.reader, frame.codeSize);
            } else {
                line.resize(static_cast<size_t>(frame.width));
            }
            return VEK_OK;
        }))
        return e;
    static const int passStart[4] = {0, 4, 2, 1};
    static const int passStep[4] = {8, 8, 4, 2};
    const int passes = frame.interlaced ? 4 : 1;
    const int visibleLeft = std::max(frame.left, 0);
    const int visibleRight = std::min(frame.left + frame.width, screenWidth_);
    for (int pass = 0; pass < passes; ++pass) {
        const int step = frame.interlaced ? passStep[pass] : 1;
        for (int row = frame.interlaced ? passStart[pass] : 0; row < frame.height; row += step) {
            if (lzw) {
                if (VekError e = lzw->row(wideLine.data(), wideLine.size())) return e;
            } else if (DGifGetLine(gif_.get(), line.data(), frame.width) == GIF_ERROR) {
                return codeFor(gif_->Error);
            }
            const int y = frame.top + row;
            if (y < 0 || y >= screenHeight_ || visibleLeft >= visibleRight) continue;
            if (lzw)
                putCodes(wideLine.data(), frame.left, visibleLeft, visibleRight, target, image.row(y));
            else
                std::memcpy(image.row(y) + visibleLeft, line.data() + (visibleLeft - frame.left),
                            static_cast<size_t>(visibleRight - visibleLeft));
        }
    }
    return VEK_OK;
}

VekError GifDecoder::decode(const LoadOptions& options, Image& image) {
    if (frame_.width <= 0 || frame_.height <= 0)
        return refuse(VEK_ERROR_DAMAGED, "GIF: a frame of %d x %d pixels", frame_.width, frame_.height);
    if (VekError e = queryVerdict()) return e;
    setPalette(image);

    Target target;
    target.stray = frame_.codeSize > 8 ? strayIndex(image) : 0;
    // A full palette without black leaves no index for a stray literal: a picture that has one is
    // held as BGRA, drawn exactly as the indexed form would be.
    if (VekError e = guarded("looking for stray codes", [&] {
            target.asBgra = target.stray < 0 && holdsStrayLiteral(data_, frame_);
            return VEK_OK;
        }))
        return e;
    const Layout layout = target.asBgra ? Layout::Bgra32 : Layout::Indexed8;
    if (VekError e = image.allocate(screenWidth_, screenHeight_, layout, options)) return e;
    if (target.asBgra) {
        paletteWords(image.palette, image.paletteEntries, image.transparentIndex, target.words);
        image.componentsPerPixel = 4;
        image.transparentIndex = VEK_NO_TRANSPARENT_INDEX;
    }
    fillOutsideFrame(image, target);
    return readFrame(image, target);
}

} // namespace

namespace gif_format {

bool sniff(ByteView data) { return data.startsWith("GIF87a", 6) || data.startsWith("GIF89a", 6); }
bool sniffLate(ByteView) { return false; }

VekError open(ByteView data, DecoderPtr& decoder) {
    auto gif = std::make_unique<GifDecoder>(data);
    if (VekError e = gif->open()) return e;
    decoder = std::move(gif);
    return VEK_OK;
}

} // namespace gif_format
} // namespace vek
