// libvek340's entry points. Nothing here throws past the boundary: every failure is an error code,
// and every object handed out is registered, so that a stray or repeated free is refused, not fatal.
#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <variant>

#ifdef _WIN32
#include <windows.h>
#endif

#include "imagelib/vek.h"
#include "platform/runtime_memory.h"
#include "libvek/core/convert.h"
#include "libvek/core/image.h"
#include "libvek/core/registry.h"
#include "libvek/core/source.h"
#include "libvek/formats/formats.h"

namespace {

using namespace vek;

std::atomic<int> initCount{0};

constinit Registry liveBitmaps;
constinit Registry liveQueries;

struct BitmapObject {
    LibraryBitmap pub;  // first, so that the public pointer is the object's
    RegistryNode node;
    PixelStore* store = nullptr;
    uint8_t palette[256 * 4] = {};
};

// A file name as the caller gave it, 8-bit or UTF-16; the two kinds never name the same query.
using FileName = std::variant<std::string, std::basic_string<VekWideChar>>;

// A file queried once keeps its bytes until the record is freed, so that the load after the query
// reads the file no second time.
struct QueryState {
    RegistryNode node;
    FileName fileName;
    FileBytes bytes;
};

BitmapObject* bitmapObject(LibraryBitmap* bitmap) {
    return bitmap != nullptr && liveBitmaps.contains(bitmap) ? reinterpret_cast<BitmapObject*>(bitmap) : nullptr;
}

void destroy(BitmapObject* object) {
    if (object->store) object->store->release();
    delete object;
}

VekError publish(BitmapObject* object, LibraryBitmap** out) {
    object->pub.internal = object;
    liveBitmaps.add(object->node, object);
    *out = &object->pub;
    return VEK_OK;
}

VekError wrap(Image& image, uint16_t rowOrigin, LibraryBitmap** out) {
    auto* object = new (std::nothrow) BitmapObject;
    if (object == nullptr) return VEK_ERROR_OUT_OF_MEMORY;
    LibraryBitmap& b = object->pub;
    std::memset(&b, 0, sizeof b);
    b.width = image.width();
    b.height = image.height();
    b.bitsPerComponent = image.bitsPerComponent;
    b.componentsPerPixel = image.componentsPerPixel;
    b.transparentIndex = image.transparentIndex;
    b.rowOrigin = rowOrigin;
    b.bytesPerLine = static_cast<int32_t>(image.stride());
    b.pixelLayout = static_cast<uint16_t>(image.layout());
    if (image.layout() == Layout::Indexed8) {
        std::memcpy(object->palette, image.palette, sizeof object->palette);
        b.paletteEntries = image.paletteEntries;
        b.palette = object->palette;
    }
    object->store = image.store();
    object->store->retain();
    b.pixels = object->store->data();
    return publish(object, out);
}

VekError optionsFrom(const LoadParams* params, LoadOptions& options) {
    if (params == nullptr) return VEK_OK;
    if (params->rowOrigin != VEK_ORIGIN_TOP_LEFT && params->rowOrigin != VEK_ORIGIN_BOTTOM_LEFT)
        return VEK_ERROR_BAD_ARGUMENT;
    options.bottomUp = params->rowOrigin == VEK_ORIGIN_BOTTOM_LEFT;
    options.maxPixels = params->maxPixels;
    return VEK_OK;
}

VekError queryView(ByteView view, int32_t formatIndex, FileInformation* info) {
    if (view.size == 0) return VEK_ERROR_DAMAGED;
    const FormatReader* reader = findReader(view, formatIndex);
    if (reader == nullptr) return VEK_ERROR_UNKNOWN_FORMAT;
    ImageInfo found;
    if (VekError e = reader->query(view, found)) return e;
    info->width = found.width;
    info->height = found.height;
    info->bitsPerComponent = found.bitsPerComponent;
    info->componentsPerPixel = found.componentsPerPixel;
    info->xResolution = found.xDpi;
    info->yResolution = found.yDpi;
    info->xOffset = found.xOffset;
    info->yOffset = found.yOffset;
    info->formatIndex = reader->index;
    info->compression = found.compression;
    info->transparentIndex = found.transparentIndex;
    info->paletteEntries = found.paletteEntries;
    std::memset(info->formatName, 0, sizeof info->formatName);
    std::strncpy(info->formatName, reader->name, sizeof info->formatName - 1);
    return VEK_OK;
}

VekError loadView(ByteView view, LibraryBitmap** bitmap, const LoadParams* params) {
    LoadOptions options;
    if (VekError e = optionsFrom(params, options)) return e;
    if (view.size == 0) return VEK_ERROR_DAMAGED;
    const FormatReader* reader = findReader(view, VEK_FORMAT_DETECT);
    if (reader == nullptr) return VEK_ERROR_UNKNOWN_FORMAT;
    Image image;
    if (VekError e = reader->load(view, options, image)) return e;
    return wrap(image, options.bottomUp ? VEK_ORIGIN_BOTTOM_LEFT : VEK_ORIGIN_TOP_LEFT, bitmap);
}

// ASCII case folding only: no extension we read has another letter.
template <typename Char> bool extensionIs(const Char* ext, const char* wanted) {
    for (; *ext != 0 && *wanted != '\0'; ++ext, ++wanted) {
        const auto c = static_cast<uint32_t>(*ext);
        if ((c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c) != static_cast<unsigned char>(*wanted)) return false;
    }
    return *ext == 0 && *wanted == '\0';
}

template <typename Char> int32_t nameIsSupported(const Char* fileName) {
    if (fileName == nullptr) return 1;
    const Char* dot = nullptr;
    for (const Char* p = fileName; *p != 0; ++p) {
        if (*p == '.') dot = p;
        else if (*p == '/' || *p == '\\') dot = nullptr;
    }
    if (dot == nullptr) return 1;
    static const char* const extensions[] = {"psd", "psb", "dds", "gif", "jpg", "jpeg", "jpe",
                                             "jfif", "png", "tga", "bmp", "dib"};
    for (const char* ext : extensions) {
        if (extensionIs(dot + 1, ext)) return 0;
    }
    return 1;
}

// Runs an entry point's body with nothing escaping it.
template <typename Body> VekError guarded(Body&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return VEK_ERROR_OUT_OF_MEMORY;
    } catch (...) {
        return VEK_ERROR_DAMAGED;
    }
}

template <typename Char> VekError queryFile(const Char* fileName, int32_t formatIndex, FileInformation* info) {
    if (fileName == nullptr || info == nullptr) return VEK_ERROR_BAD_ARGUMENT;
    return guarded([&]() -> VekError {
        // Owned until registered: copying the name may throw after the state exists.
        auto state = std::make_unique<QueryState>();
        state->fileName = std::basic_string<Char>(fileName);
        if (VekError e = state->bytes.read(fileName)) return e;
        if (VekError e = queryView(state->bytes.view(), formatIndex, info)) return e;
        liveQueries.add(state->node, state.get());
        info->internal = state.release();
        return VEK_OK;
    });
}

template <typename Char>
VekError loadFile(const Char* fileName, LibraryBitmap** bitmap, LoadParams* params, FileInformation* info) {
    if (bitmap == nullptr) return VEK_ERROR_BAD_ARGUMENT;
    *bitmap = nullptr;
    if (fileName == nullptr || params == nullptr || info == nullptr) return VEK_ERROR_BAD_ARGUMENT;
    return guarded([&]() -> VekError {
        if (info->internal != nullptr && liveQueries.contains(info->internal)) {
            auto* state = static_cast<QueryState*>(info->internal);
            if (state->fileName == FileName(std::basic_string<Char>(fileName)))
                return loadView(state->bytes.view(), bitmap, params);
        }
        FileBytes bytes;
        if (VekError e = bytes.read(fileName)) return e;
        return loadView(bytes.view(), bitmap, params);
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
    if (current == 1) PixelStore::releaseKeptBuffers();
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
    if (data == nullptr || info == nullptr) return VEK_ERROR_BAD_ARGUMENT;
    return guarded([&] { return queryView({static_cast<const uint8_t*>(data), length}, formatIndex, info); });
}

VekError VEKAPI vekFreeFileInformation(FileInformation* info) {
    if (info == nullptr || info->internal == nullptr) return VEK_OK;
    if (!liveQueries.remove(info->internal)) return VEK_ERROR_BAD_ARGUMENT;
    delete static_cast<QueryState*>(info->internal);
    info->internal = nullptr;
    return VEK_OK;
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

VekError VEKAPI vekLoadBitmap(const char* fileName, LibraryBitmap** bitmap, LoadParams* params,
                              FileInformation* info) {
    return loadFile(fileName, bitmap, params, info);
}
VekError VEKAPI vekLoadBitmapW(const VekWideChar* fileName, LibraryBitmap** bitmap, LoadParams* params,
                               FileInformation* info) {
    return loadFile(fileName, bitmap, params, info);
}

VekError VEKAPI vekLoadBitmapFromMemory(const void* data, uint32_t length, LibraryBitmap** bitmap, LoadParams* params,
                                        FileInformation* info) {
    if (bitmap == nullptr) return VEK_ERROR_BAD_ARGUMENT;
    *bitmap = nullptr;
    if (data == nullptr || params == nullptr || info == nullptr) return VEK_ERROR_BAD_ARGUMENT;
    return guarded([&] { return loadView({static_cast<const uint8_t*>(data), length}, bitmap, params); });
}

VekError VEKAPI vekChangeColorDepth(LibraryBitmap* source, LibraryBitmap** converted, int32_t mode,
                                    int32_t modeParameter) {
    if (converted == nullptr) return VEK_ERROR_BAD_ARGUMENT;
    *converted = nullptr;
    BitmapObject* src = bitmapObject(source);
    if (src == nullptr) return VEK_ERROR_BAD_ARGUMENT;
    if (mode != VEK_COLOR_BGRA32 || modeParameter != 0) return VEK_ERROR_UNSUPPORTED;
    return guarded([&]() -> VekError {
        const LibraryBitmap& in = src->pub;
        const auto layout = static_cast<Layout>(in.pixelLayout);
        const size_t rowBytes = static_cast<size_t>(in.width) * 4;
        auto* object = new (std::nothrow) BitmapObject;
        if (object == nullptr) return VEK_ERROR_OUT_OF_MEMORY;
        LibraryBitmap& out = object->pub;
        std::memset(&out, 0, sizeof out);
        out.width = in.width;
        out.height = in.height;
        out.bitsPerComponent = 8;
        out.componentsPerPixel = 4;
        out.transparentIndex = VEK_NO_TRANSPARENT_INDEX;
        out.rowOrigin = in.rowOrigin;
        out.bytesPerLine = static_cast<int32_t>(rowBytes);
        out.pixelLayout = VEK_LAYOUT_BGRA32;
        if (layout == Layout::Bgra32 && static_cast<size_t>(in.bytesPerLine) == rowBytes) {
            // Pixels never change once loaded, so the same memory serves both bitmaps.
            object->store = src->store;
            object->store->retain();
        } else {
            object->store = PixelStore::create(rowBytes * static_cast<size_t>(in.height));
            if (object->store == nullptr) {
                delete object;
                return VEK_ERROR_OUT_OF_MEMORY;
            }
            uint32_t words[256];
            if (layout == Layout::Indexed8) paletteWords(src->palette, in.paletteEntries, in.transparentIndex, words);
            for (int32_t y = 0; y < in.height; ++y)
                rowToBgra(layout, in.pixels + static_cast<size_t>(in.bytesPerLine) * static_cast<size_t>(y),
                          object->store->data() + rowBytes * static_cast<size_t>(y), in.width, words);
        }
        out.pixels = object->store->data();
        return publish(object, converted);
    });
}

#ifdef _WIN32
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        PixelStore::releaseKeptBuffers();
        releaseRuntimeMemory(instance);
    }
    return TRUE;
}
#endif

VekError VEKAPI vekFreeBitmap(LibraryBitmap* bitmap) {
    if (bitmap == nullptr) return VEK_OK;
    if (!liveBitmaps.remove(bitmap)) return VEK_ERROR_BAD_ARGUMENT;
    destroy(reinterpret_cast<BitmapObject*>(bitmap));
    return VEK_OK;
}

} // extern "C"
