// A picture through libvek340 as the plug-in takes it: the information query, the load and the
// conversion to BGRA, with everything but the converted bitmap freed. For the tests, the
// conformance tool and the benchmarks.
#pragma once

#include <cstdint>
#include <vector>

#include "imagelib/vek.h"

// The loaded bitmap's own form, before the conversion.
struct LoadedForm {
    int bits = 0, components = 0, transparentIndex = 0;
};

// From the named file, or from `bytes` when given. The converted bitmap is the caller's to free with
// vekFreeBitmap; null on failure, with the library's code in `error`.
inline LibraryBitmap* decodeToBgra(const char* path, const std::vector<uint8_t>* bytes, VekError& error,
                                   uint16_t origin = VEK_ORIGIN_TOP_LEFT, LoadedForm* form = nullptr) {
    FileInformation info{};
    const auto size = static_cast<uint32_t>(bytes ? bytes->size() : 0);
    error = bytes ? vekGetFileInformationFromMemory(bytes->data(), size, VEK_FORMAT_DETECT, &info)
                  : vekGetFileInformation(path, VEK_FORMAT_DETECT, &info);
    LoadParams params;
    vekGetDefaultLoadParams(&params);
    params.rowOrigin = origin;
    LibraryBitmap* loaded = nullptr;
    if (error == VEK_OK)
        error = bytes ? vekLoadBitmapFromMemory(bytes->data(), size, &loaded, &params, &info)
                      : vekLoadBitmap(path, &loaded, &params, &info);
    vekFreeFileInformation(&info);
    LibraryBitmap* converted = nullptr;
    if (error == VEK_OK && form != nullptr)
        *form = {loaded->bitsPerComponent, loaded->componentsPerPixel, loaded->transparentIndex};
    if (error == VEK_OK) error = vekChangeColorDepth(loaded, &converted, VEK_COLOR_BGRA32, 0);
    vekFreeBitmap(loaded);
    return converted;
}

inline std::vector<uint8_t> pixelsOf(const LibraryBitmap* b) {
    if (b == nullptr) return {};
    return {b->pixels, b->pixels + static_cast<size_t>(b->bytesPerLine) * static_cast<size_t>(b->height)};
}
