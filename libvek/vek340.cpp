// libvek340's entry points: arguments checked, then handed to the library's core, with nothing
// thrown past the boundary. Every failure is an error code.
#include <algorithm>
#include <atomic>
#include <cstring>

#include "imagelib/refusal.h"
#include "imagelib/vek.h"
#include "libvek/base/refusal.h"
#include "libvek/colour/colour.h"
#include "libvek/core/bitmap.h"
#include "libvek/core/guarded.h"
#include "libvek/core/image.h"
#include "libvek/pipeline/query.h"
#include "libvek/formats/formats.h"

namespace {

using namespace vek;

std::atomic<int> initCount{0};

// An extension vekFormatIsSupported takes: the one after the name's last dot, with no folder
// separator after it.
template <typename Char> int32_t nameIsSupported(const Char* fileName) {
    if (fileName == nullptr) return 1;
    const Char* dot = nullptr;
    for (const Char* p = fileName; *p != 0; ++p) {
        if (*p == '.')
            dot = p;
        else if (*p == '/' || *p == '\\')
            dot = nullptr;
    }
    return dot != nullptr && extensionIsRead(dot + 1) ? 0 : 1;
}

// A call that may refuse its input: what it says why is kept for vekGetLastRefusal.
template <typename Body> VekError reasoned(Body&& body) noexcept {
    refusal::begin();
    const VekError result = guarded(body);
    refusal::end(result);
    return result;
}

VekError missing(const char* what) { return refuse(VEK_ERROR_BAD_ARGUMENT, "no %s given", what); }

template <typename Char> VekError queryFile(const Char* fileName, int32_t formatIndex, FileInformation* info) {
    return reasoned([&] {
        if (fileName == nullptr || info == nullptr) return missing(fileName == nullptr ? "file name" : "record");
        return queryPicture(Source(std::basic_string<Char>(fileName)), formatIndex, info);
    });
}

template <typename Char>
VekError loadFile(const Char* fileName, LibraryBitmap** bitmap, LoadParams* params, FileInformation* info) {
    return reasoned([&] {
        if (bitmap == nullptr) return missing("bitmap pointer");
        *bitmap = nullptr;
        if (fileName == nullptr || params == nullptr || info == nullptr)
            return missing(fileName == nullptr ? "file name" : params == nullptr ? "load parameters" : "record");
        // The name is copied inside: a copy that fails is an error code like any other.
        return loadPicture(Source(std::basic_string<Char>(fileName)), params, info, bitmap);
    });
}

} // namespace

extern "C" {

VekError VEKAPI vekLibraryInit(void) {
    initCount.fetch_add(1);
    return VEK_OK;
}

VekError VEKAPI vekLibraryExit(void) {
    int current = initCount.load();
    while (current > 0 && !initCount.compare_exchange_weak(current, current - 1)) {
    }
    if (current == 1) {
        PixelStore::releaseKeptBuffers();
        colour::releaseTransforms();
    }
    return VEK_OK;
}

int32_t VEKAPI vekFormatIsSupported(const char* fileName) { return nameIsSupported(fileName); }
int32_t VEKAPI vekFormatIsSupportedW(const VekWideChar* fileName) { return nameIsSupported(fileName); }

VekError VEKAPI vekGetFileInformation(const char* fileName, int32_t formatIndex, FileInformation* info) {
    return queryFile(fileName, formatIndex, info);
}

VekError VEKAPI vekGetFileInformationW(const VekWideChar* fileName, int32_t formatIndex, FileInformation* info) {
    return queryFile(fileName, formatIndex, info);
}

VekError VEKAPI vekGetFileInformationFromMemory(const void* data, uint32_t length, int32_t formatIndex,
                                                FileInformation* info) {
    return reasoned([&] {
        if (data == nullptr || info == nullptr) return missing(data == nullptr ? "data" : "record");
        return queryPicture(Source(std::pair(data, length)), formatIndex, info);
    });
}

VekError VEKAPI vekFreeFileInformation(FileInformation* info) {
    if (info == nullptr || info->internal == nullptr) return VEK_OK;
    return releaseQuery(info) ? VEK_OK : VEK_ERROR_BAD_ARGUMENT;
}

VekError VEKAPI vekGetDefaultLoadParams(LoadParams* params) {
    if (params == nullptr) return VEK_ERROR_BAD_ARGUMENT;
    std::memset(params, 0, sizeof *params);
    params->size = sizeof *params;
    params->rowOrigin = VEK_ORIGIN_TOP_LEFT;
#ifdef VEK_FUZZ_MAX_PIXELS
    // Fuzzing builds only: the plug-in takes the defaults, and its fuzzer needs small pictures.
    params->maxPixels = VEK_FUZZ_MAX_PIXELS;
#endif
    return VEK_OK;
}

VekError VEKAPI vekLoadBitmap(const char* fileName, LibraryBitmap** bitmap, LoadParams* params, FileInformation* info) {
    return loadFile(fileName, bitmap, params, info);
}

VekError VEKAPI vekLoadBitmapW(const VekWideChar* fileName, LibraryBitmap** bitmap, LoadParams* params,
                               FileInformation* info) {
    return loadFile(fileName, bitmap, params, info);
}

VekError VEKAPI vekLoadBitmapFromMemory(const void* data, uint32_t length, LibraryBitmap** bitmap, LoadParams* params,
                                        FileInformation* info) {
    return reasoned([&] {
        if (bitmap == nullptr) return missing("bitmap pointer");
        *bitmap = nullptr;
        if (data == nullptr || params == nullptr || info == nullptr)
            return missing(data == nullptr ? "data" : params == nullptr ? "load parameters" : "record");
        return loadPicture(Source(std::pair(data, length)), params, info, bitmap);
    });
}

VekError VEKAPI vekChangeColorDepth(LibraryBitmap* source, LibraryBitmap** converted, int32_t mode,
                                    int32_t modeParameter) {
    return reasoned([&] {
        if (converted == nullptr) return missing("pointer for the converted bitmap");
        *converted = nullptr;
        if (!ownsBitmap(source)) return refuse(VEK_ERROR_BAD_ARGUMENT, "the bitmap is not one of this library's");
        if (mode != VEK_COLOR_BGRA32 || modeParameter != 0)
            return refuse(VEK_ERROR_UNSUPPORTED, "colour mode %d (%d) is not made; only 32-bit BGRA", mode,
                          modeParameter);
        return convertToBgra(source, converted);
    });
}

VekError VEKAPI vekFreeBitmap(LibraryBitmap* bitmap) {
    if (bitmap == nullptr) return VEK_OK;
    return freeBitmap(bitmap) ? VEK_OK : VEK_ERROR_BAD_ARGUMENT;
}

VekError VEKAPI vekGetLastRefusal(char* text, uint32_t size) {
    const refusal::Said& said = refusal::last();
    if (text != nullptr && size > 0) {
        const size_t n = std::min<size_t>(std::strlen(said.reason), size - 1);
        std::memcpy(text, said.reason, n);
        text[n] = '\0';
    }
    return said.code;
}

} // extern "C"
