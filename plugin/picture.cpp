// GetPictureInfo and GetPicture: the library's records and bitmaps turned into the host's record and
// a bottom-up 32-bit DIB. The library calls and the releases follow one fixed order on every path,
// which hosts and tests rely on, so they are explicit calls rather than destructors.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "imagelib/vek.h"
#include "imaging/checkerboard.h"
#include "plugin/plugin.h"

namespace {

// The three leading arguments of the picture exports. Only the low three bits of the flags choose
// between a file name (8-bit or UTF-16, by the export called) and a memory block.
struct Source {
    const void* source;
    int32_t length;
    uint32_t flags;
    bool wideName;

    static constexpr uint32_t kSourceKindMask = 7u; // 0: a file name; anything else: memory
    bool isFile() const { return (flags & kSourceKindMask) == 0; }

    VekError query(FileInformation* info) const {
        std::memset(info, 0, sizeof *info);
        if (!isFile())
            return vekGetFileInformationFromMemory(source, static_cast<uint32_t>(length), VEK_FORMAT_DETECT, info);
        if (wideName) return vekGetFileInformationW(static_cast<const WCHAR*>(source), VEK_FORMAT_DETECT, info);
        return vekGetFileInformation(static_cast<const char*>(source), VEK_FORMAT_DETECT, info);
    }

    VekError load(LibraryBitmap** bitmap, LoadParams* params, FileInformation* info) const {
        if (!isFile()) return vekLoadBitmapFromMemory(source, static_cast<uint32_t>(length), bitmap, params, info);
        if (wideName) return vekLoadBitmapW(static_cast<const WCHAR*>(source), bitmap, params, info);
        return vekLoadBitmap(static_cast<const char*>(source), bitmap, params, info);
    }
};

struct DibHeader {
    uint32_t size;
    int32_t width;
    int32_t height;
    uint16_t planes;
    uint16_t bitCount;
    uint32_t compression;
    uint32_t imageSize;
    int32_t xPixelsPerMeter;
    int32_t yPixelsPerMeter;
    uint32_t coloursUsed;
    uint32_t coloursImportant;
};
constexpr uint32_t kDibHeaderBytes = 40; // BITMAPINFOHEADER
static_assert(sizeof(DibHeader) == kDibHeaderBytes);

constexpr size_t kHeaderBlockBytes = 44;
constexpr uint64_t kLargestBlock = 2147483647u;

// Progress in hundredths: the start, the picture loaded, converted, and handed over.
constexpr int kProgressStart = 0, kProgressLoaded = 33, kProgressConverted = 66, kProgressDone = 100;

bool askToStop(ProgressCallback progress, int numerator, intptr_t callbackData) {
    return progress != nullptr && progress(numerator, kProgressDone, callbackData) != 0;
}

// Transparency is judged on the bitmap as loaded: a transparent index, or exactly 32 bits a pixel
// computed without truncation.
bool hasTransparency(const LibraryBitmap& loaded) {
    if (loaded.transparentIndex != VEK_NO_TRANSPARENT_INDEX) return true;
    return static_cast<uint32_t>(loaded.bitsPerComponent) * static_cast<uint32_t>(loaded.componentsPerPixel) == 32;
}

int pictureInfo(const Source& source, PictureInfo* info) {
    if (source.source == nullptr || info == nullptr) return LibraryError;
    FileInformation fileInfo;
    if (source.query(&fileInfo) != VEK_OK) {
        vekFreeFileInformation(&fileInfo);
        return LibraryError;
    }
    info->left = fileInfo.xOffset;
    info->top = fileInfo.yOffset;
    info->width = fileInfo.width;
    info->height = fileInfo.height;
    info->xResolution = fileInfo.xResolution;
    info->yResolution = fileInfo.yResolution;
    info->bitsPerPixel = static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(fileInfo.componentsPerPixel) *
                                                                    static_cast<uint32_t>(fileInfo.bitsPerComponent)));
    // The null handle over its full width, and in the 64-bit build over the padded layout's too.
    std::memset(reinterpret_cast<unsigned char*>(info) + offsetof(PictureInfo, textHandle), 0,
                sizeof(PictureInfo) - offsetof(PictureInfo, textHandle));
    vekFreeFileInformation(&fileInfo);
    return Success;
}

// Every early return below gives back what the call holds in one order: the library's bitmap, then
// the header block, then the pixel block; the host is never left holding a released handle.
int releasing(LibraryBitmap* bitmap, int result) {
    vekFreeBitmap(bitmap);
    return result;
}

int releasingAll(LibraryBitmap* bitmap, HLOCAL* headerHandleOut, HLOCAL* pixelHandleOut, int result) {
    vekFreeBitmap(bitmap);
    for (HLOCAL* handle : {headerHandleOut, pixelHandleOut}) {
        if (*handle != nullptr) LocalFree(*handle);
        *handle = nullptr;
    }
    return result;
}

// Query, then load bottom-up; the record the load filled is released before the pixels are used.
int loadPicture(const Source& source, LibraryBitmap** loaded) {
    FileInformation fileInfo;
    if (source.query(&fileInfo) != VEK_OK) {
        vekFreeFileInformation(&fileInfo);
        return LibraryError;
    }
    LoadParams params;
    vekGetDefaultLoadParams(&params);
    params.rowOrigin = VEK_ORIGIN_BOTTOM_LEFT;
    const VekError loadError = source.load(loaded, &params, &fileInfo);
    vekFreeFileInformation(&fileInfo);
    if (loadError != VEK_OK || *loaded == nullptr) return releasing(*loaded, LibraryError);
    return Success;
}

// BGRA from the loaded bitmap, which is released either way. A bitmap no DIB can hold is refused
// before anything is allocated; the allocation, the copy and the compositing use this one size.
int convertPicture(LibraryBitmap* loaded, LibraryBitmap** converted, uint64_t* pixelBytes) {
    const VekError convertError = vekChangeColorDepth(loaded, converted, VEK_COLOR_BGRA32, 0);
    vekFreeBitmap(loaded);
    const LibraryBitmap* bitmap = *converted;
    if (convertError != VEK_OK || bitmap == nullptr || bitmap->pixels == nullptr) return LibraryError;
    const uint64_t rowBytes = static_cast<uint64_t>(bitmap->width) * 4u;
    if (bitmap->width <= 0 || bitmap->height <= 0 || bitmap->bytesPerLine < 0 ||
        static_cast<uint64_t>(bitmap->bytesPerLine) < rowBytes)
        return LibraryError;
    *pixelBytes = rowBytes * static_cast<uint64_t>(bitmap->height);
    return *pixelBytes > kLargestBlock ? OutOfMemory : Success;
}

void copyRows(const LibraryBitmap& converted, uint8_t* out, uint64_t pixelBytes) {
    const auto rowBytes = static_cast<size_t>(converted.width) * 4u;
    const auto stride = static_cast<size_t>(converted.bytesPerLine);
    if (stride == rowBytes) {
        std::memcpy(out, converted.pixels, static_cast<size_t>(pixelBytes));
        return;
    }
    for (size_t y = 0; y < static_cast<size_t>(converted.height); ++y)
        std::memcpy(out + rowBytes * y, converted.pixels + stride * y, rowBytes);
}

// The two movable blocks: the DIB header and the rows, the checkerboard under transparent ones.
int handOver(LibraryBitmap* converted, uint64_t pixelBytes, bool transparent, HLOCAL* headerHandleOut,
             HLOCAL* pixelHandleOut) {
    *headerHandleOut = LocalAlloc(LMEM_MOVEABLE, kHeaderBlockBytes);
    *pixelHandleOut = LocalAlloc(LMEM_MOVEABLE, static_cast<SIZE_T>(pixelBytes));
    if (*headerHandleOut == nullptr || *pixelHandleOut == nullptr)
        return releasingAll(converted, headerHandleOut, pixelHandleOut, OutOfMemory);

    void* headerBytes = LocalLock(*headerHandleOut);
    auto* out = static_cast<uint8_t*>(LocalLock(*pixelHandleOut));
    if (headerBytes == nullptr || out == nullptr)
        return releasingAll(converted, headerHandleOut, pixelHandleOut, LockFailed);

    const DibHeader dib{kDibHeaderBytes, converted->width, converted->height, 1, 32, 0, 0, 0, 0, 0, 0};
    std::memcpy(headerBytes, &dib, sizeof dib);
    copyRows(*converted, out, pixelBytes);
    vekFreeBitmap(converted);
    if (transparent) CheckerboardComposite(out, dib.width, dib.height);

    LocalUnlock(*headerHandleOut);
    LocalUnlock(*pixelHandleOut);
    return Success;
}

int picture(const Source& source, HLOCAL* headerHandleOut, HLOCAL* pixelHandleOut, ProgressCallback progress,
            intptr_t callbackData) {
    if (source.source == nullptr || headerHandleOut == nullptr || pixelHandleOut == nullptr) return LibraryError;
    if (askToStop(progress, kProgressStart, callbackData)) return Cancelled;

    LibraryBitmap* loaded = nullptr;
    if (const int result = loadPicture(source, &loaded); result != Success) return result;
    if (askToStop(progress, kProgressLoaded, callbackData)) return releasing(loaded, Cancelled);

    const bool transparent = hasTransparency(*loaded);
    LibraryBitmap* converted = nullptr;
    uint64_t pixelBytes = 0;
    if (const int result = convertPicture(loaded, &converted, &pixelBytes); result != Success)
        return releasing(converted, result);
    if (askToStop(progress, kProgressConverted, callbackData)) return releasing(converted, Cancelled);

    if (const int result = handOver(converted, pixelBytes, transparent, headerHandleOut, pixelHandleOut);
        result != Success)
        return result;
    // Stopped this late, the finished blocks are the host's all the same.
    if (askToStop(progress, kProgressDone, callbackData)) return Cancelled;
    return Success;
}

} // namespace

extern "C" {

int PLUGIN_API GetPictureInfo(const char* source, int32_t sourceLength, uint32_t sourceFlags, PictureInfo* info) {
    return pictureInfo({source, sourceLength, sourceFlags, false}, info);
}

int PLUGIN_API GetPictureInfoW(const WCHAR* source, int32_t sourceLength, uint32_t sourceFlags, PictureInfo* info) {
    return pictureInfo({source, sourceLength, sourceFlags, true}, info);
}

int PLUGIN_API GetPicture(const char* source, int32_t sourceLength, uint32_t sourceFlags, HLOCAL* headerHandleOut,
                          HLOCAL* pixelHandleOut, ProgressCallback progress, intptr_t callbackData) {
    return picture({source, sourceLength, sourceFlags, false}, headerHandleOut, pixelHandleOut, progress, callbackData);
}

int PLUGIN_API GetPictureW(const WCHAR* source, int32_t sourceLength, uint32_t sourceFlags, HLOCAL* headerHandleOut,
                           HLOCAL* pixelHandleOut, ProgressCallback progress, intptr_t callbackData) {
    return picture({source, sourceLength, sourceFlags, true}, headerHandleOut, pixelHandleOut, progress, callbackData);
}

#ifndef _WIN32
// On Windows the export list gives these second names to the same entry points.
int PLUGIN_API GetPreview(const char* source, int32_t sourceLength, uint32_t sourceFlags, HLOCAL* headerHandleOut,
                          HLOCAL* pixelHandleOut, ProgressCallback progress, intptr_t callbackData)
    __attribute__((alias("GetPicture")));
int PLUGIN_API GetPreviewW(const WCHAR* source, int32_t sourceLength, uint32_t sourceFlags, HLOCAL* headerHandleOut,
                           HLOCAL* pixelHandleOut, ProgressCallback progress, intptr_t callbackData)
    __attribute__((alias("GetPictureW")));
#endif

} // extern "C"
