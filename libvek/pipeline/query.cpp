#include "libvek/pipeline/query.h"

#include <atomic>
#include <cstring>
#include <memory>

#include "libvek/base/refusal.h"
#include "libvek/core/bitmap.h"
#include "libvek/core/registry.h"
#include "libvek/formats/formats.h"
#include "libvek/system/file_bytes.h"
#include "libvek/system/workers.h"

namespace vek {
namespace {

// What a query keeps until its record is freed: a file's bytes, read once, and the decoder that
// parsed them, for the load after it.
struct QueryState {
    RegistryNode node;
    Source source;
    FileBytes bytes; // before the decoder, which reads them
    DecoderPtr decoder;
    std::atomic<bool> taken{false}; // one load uses the decoder; any other opens its own
};

constinit Registry liveQueries;

// The source's bytes: a file is mapped into `bytes`, memory is the caller's own.
VekError viewOf(const Source& source, FileBytes& bytes, ByteView& view) {
    if (const auto* memory = std::get_if<std::pair<const void*, uint32_t>>(&source)) {
        view = {static_cast<const uint8_t*>(memory->first), memory->second};
        return VEK_OK;
    }
    const VekError e = std::holds_alternative<std::string>(source)
                           ? bytes.read(std::get<std::string>(source).c_str())
                           : bytes.read(std::get<std::basic_string<VekWideChar>>(source).c_str());
    view = bytes.view();
    return e;
}

VekError open(ByteView view, int32_t formatIndex, const Format*& format, DecoderPtr& decoder) {
    if (view.size == 0) return refuse(VEK_ERROR_DAMAGED, "the file is empty");
    format = findFormat(view, formatIndex);
    if (format == nullptr)
        return formatIndex == VEK_FORMAT_DETECT
                   ? refuse(VEK_ERROR_UNKNOWN_FORMAT, "no reader knows the first bytes of this file")
                   : refuse(VEK_ERROR_UNKNOWN_FORMAT, "the file is not in the format asked for (%d)", formatIndex);
    return format->open(view, decoder);
}

void fill(FileInformation* info, const Format& format, const ImageInfo& found) {
    info->width = found.width;
    info->height = found.height;
    info->bitsPerComponent = found.bitsPerComponent;
    info->componentsPerPixel = found.componentsPerPixel;
    info->xResolution = found.xDpi;
    info->yResolution = found.yDpi;
    info->xOffset = found.xOffset;
    info->yOffset = found.yOffset;
    info->formatIndex = format.index;
    info->compression = found.compression;
    info->transparentIndex = found.transparentIndex;
    info->paletteEntries = found.paletteEntries;
    std::memset(info->formatName, 0, sizeof info->formatName);
    std::strncpy(info->formatName, format.name, sizeof info->formatName - 1);
}

VekError optionsFrom(const LoadParams* params, LoadOptions& options) {
    if (params->rowOrigin != VEK_ORIGIN_TOP_LEFT && params->rowOrigin != VEK_ORIGIN_BOTTOM_LEFT)
        return refuse(VEK_ERROR_BAD_ARGUMENT, "row origin %d is neither top-left nor bottom-left", params->rowOrigin);
    options.bottomUp = params->rowOrigin == VEK_ORIGIN_BOTTOM_LEFT;
    options.maxPixels = params->maxPixels;
    return VEK_OK;
}

// The decoder a query kept for this very source, if no other load has taken it.
Decoder* keptDecoder(const Source& source, const FileInformation* info) {
    if (info->internal == nullptr || !liveQueries.contains(info->internal)) return nullptr;
    auto* state = static_cast<QueryState*>(info->internal);
    if (state->decoder == nullptr || state->source != source || state->taken.exchange(true)) return nullptr;
    return state->decoder.get();
}

} // namespace

VekError queryPicture(const Source& source, int32_t formatIndex, FileInformation* info) {
    auto state = std::make_unique<QueryState>();
    state->source = source;
    ByteView view;
    if (VekError e = viewOf(source, state->bytes, view)) return e;
    const Format* format = nullptr;
    if (VekError e = open(view, formatIndex, format, state->decoder)) return e;
    if (VekError e = state->decoder->queryVerdict()) return e;
    fill(info, *format, state->decoder->info());
    liveQueries.add(state->node, state.get());
    info->internal = state.release();
    return VEK_OK;
}

VekError loadPicture(const Source& source, const LoadParams* params, FileInformation* info, LibraryBitmap** bitmap) {
    LoadOptions options;
    if (VekError e = optionsFrom(params, options)) return e;
    Decoder* decoder = keptDecoder(source, info);
    FileBytes bytes;
    DecoderPtr own;
    if (decoder == nullptr) {
        ByteView view;
        if (VekError e = viewOf(source, bytes, view)) return e;
        const Format* format = nullptr;
        if (VekError e = open(view, VEK_FORMAT_DETECT, format, own)) return e;
        decoder = own.get();
    }
    // The conversion to sRGB is offered to the reader, which may run it on rows it has just decoded.
    const std::shared_ptr<const colour::Transform> toSrgb = colour::transformFor(decoder->colour());
    options.finish = colour::rowWorkFor(toSrgb.get());
    Image image;
    const workers::Caller caller;
    if (VekError e = decoder->load(options, image)) return e;
    if (!image.rowsFinished()) colour::convert(toSrgb.get(), image);
    return publishImage(image, options.bottomUp ? VEK_ORIGIN_BOTTOM_LEFT : VEK_ORIGIN_TOP_LEFT, bitmap);
}

bool releaseQuery(FileInformation* info) {
    if (!liveQueries.remove(info->internal)) return false;
    delete static_cast<QueryState*>(info->internal);
    info->internal = nullptr;
    return true;
}

} // namespace vek
