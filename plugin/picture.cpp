// GetPictureInfo and GetPicture: the library's records and bitmaps turned into the host's record and
// a bottom-up 32-bit DIB. The library calls and the releases follow one fixed order on every path,
// which hosts and tests rely on, so they are written out step by step rather than left to
// destructors.
#include <cstddef>
#include <cstdint>
#include <cstring>

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

int picture(const Source& source, HLOCAL* headerHandleOut, HLOCAL* pixelHandleOut, ProgressCallback progress,
            intptr_t callbackData) {
    if (source.source == nullptr || headerHandleOut == nullptr || pixelHandleOut == nullptr) return LibraryError;
    if (askToStop(progress, kProgressStart, callbackData)) return Cancelled;

    FileInformation fileInfo;
    if (source.query(&fileInfo) != VEK_OK) {
        vekFreeFileInformation(&fileInfo);
        return LibraryError;
    }

    LoadParams params;
    vekGetDefaultLoadParams(&params);
    params.rowOrigin = VEK_ORIGIN_BOTTOM_LEFT;
    LibraryBitmap* loaded = nullptr;
    const VekError loadError = source.load(&loaded, &params, &fileInfo);
    vekFreeFileInformation(&fileInfo);
    if (loadError != VEK_OK || loaded == nullptr) {
        vekFreeBitmap(loaded);
        return LibraryError;
    }

    if (askToStop(progress, kProgressLoaded, callbackData)) {
        vekFreeBitmap(loaded);
        return Cancelled;
    }

    const bool transparent = hasTransparency(*loaded);
    LibraryBitmap* converted = nullptr;
    const VekError convertError = vekChangeColorDepth(loaded, &converted, VEK_COLOR_BGRA32, 0);
    vekFreeBitmap(loaded);
    if (convertError != VEK_OK || converted == nullptr || converted->pixels == nullptr) {
        vekFreeBitmap(converted);
        return LibraryError;
    }

    // A bitmap no DIB can hold is refused before anything is allocated; the allocation, the copy and
    // the compositing below all use this one checked size.
    const int32_t width = converted->width;
    const int32_t height = converted->height;
    const uint64_t rowBytes = static_cast<uint64_t>(width) * 4u;
    if (width <= 0 || height <= 0 || converted->bytesPerLine < 0 ||
        static_cast<uint64_t>(converted->bytesPerLine) < rowBytes) {
        vekFreeBitmap(converted);
        return LibraryError;
    }
    const uint64_t pixelBytes = rowBytes * static_cast<uint64_t>(height);
    if (pixelBytes > kLargestBlock) {
        vekFreeBitmap(converted);
        return OutOfMemory;
    }

    if (askToStop(progress, kProgressConverted, callbackData)) {
        vekFreeBitmap(converted);
        return Cancelled;
    }

    HLOCAL header = LocalAlloc(LMEM_MOVEABLE, kHeaderBlockBytes);
    *headerHandleOut = header;
    HLOCAL pixels = LocalAlloc(LMEM_MOVEABLE, static_cast<SIZE_T>(pixelBytes));
    *pixelHandleOut = pixels;
    if (header == nullptr || pixels == nullptr) {
        vekFreeBitmap(converted);
        // The host must not be left holding a handle that is already released.
        if (header != nullptr) {
            LocalFree(header);
            *headerHandleOut = nullptr;
        }
        if (pixels != nullptr) {
            LocalFree(pixels);
            *pixelHandleOut = nullptr;
        }
        return OutOfMemory;
    }

    void* headerBytes = LocalLock(header);
    void* pixelBytesOut = LocalLock(pixels);
    if (headerBytes == nullptr || pixelBytesOut == nullptr) {
        vekFreeBitmap(converted);
        LocalFree(header);
        LocalFree(pixels);
        *headerHandleOut = nullptr;
        *pixelHandleOut = nullptr;
        return LockFailed;
    }

    const DibHeader dib{kDibHeaderBytes, width, height, 1, 32, 0, 0, 0, 0, 0, 0};
    std::memcpy(headerBytes, &dib, sizeof dib);

    auto* out = static_cast<uint8_t*>(pixelBytesOut);
    if (static_cast<uint64_t>(converted->bytesPerLine) == rowBytes) {
        std::memcpy(out, converted->pixels, static_cast<size_t>(pixelBytes));
    } else {
        const uint8_t* in = converted->pixels;
        for (int32_t y = 0; y < height; ++y) {
            std::memcpy(out + static_cast<size_t>(rowBytes) * static_cast<size_t>(y),
                        in + static_cast<size_t>(converted->bytesPerLine) * static_cast<size_t>(y),
                        static_cast<size_t>(rowBytes));
        }
    }
    vekFreeBitmap(converted);

    if (transparent) CheckerboardComposite(out, dib.width, dib.height);

    LocalUnlock(header);
    LocalUnlock(pixels);

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
