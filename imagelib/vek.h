/* The contract between the plug-in and libvek340: entry points, records, codes and constants.
 * Both sides compile against this header and nothing else of each other. */
#ifndef VEK_IMAGELIB_VEK_H
#define VEK_IMAGELIB_VEK_H

#include <stddef.h>
#include <stdint.h>

#if defined(__i386__) || defined(_M_IX86)
#define VEKAPI __attribute__((__stdcall__))
#else
#define VEKAPI
#endif

/* On Windows the export list comes from a .def file; on Linux the symbols are hidden by default. */
#if defined(VEK_BUILDING_LIBRARY) && !defined(_WIN32)
#define VEK_LIBRARY_EXPORT __attribute__((visibility("default")))
#else
#define VEK_LIBRARY_EXPORT
#endif

/* File names outside the ANSI code page reach the library as UTF-16: wchar_t on Windows, char16_t
 * elsewhere (where wchar_t is 32 bits wide). */
#ifdef _WIN32
typedef wchar_t VekWideChar;
#elif defined(__cplusplus)
typedef char16_t VekWideChar;
#else
#include <uchar.h>
typedef char16_t VekWideChar;
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Error codes: 16 bits wide, 0 is success. */
typedef int16_t VekError;
enum {
    VEK_OK = 0,
    VEK_ERROR_CANNOT_READ = 1,    /* the file could not be opened or read */
    VEK_ERROR_UNKNOWN_FORMAT = 2, /* no reader recognises the data */
    VEK_ERROR_DAMAGED = 3,        /* the data is truncated or inconsistent */
    VEK_ERROR_OUT_OF_MEMORY = 4,
    VEK_ERROR_TOO_LARGE = 5,   /* beyond the library's pixel or size limits */
    VEK_ERROR_UNSUPPORTED = 6, /* a recognised format in a variant that is not read */
    VEK_ERROR_BAD_ARGUMENT = 7,
    VEK_ERROR_INTERNAL = 8 /* a failure the library did not foresee */
};

/* Format indices: FileInformation.formatIndex, and the query's choice of reader. -1 detects. */
#define VEK_FORMAT_DETECT (-1)
#define VEK_FORMAT_BMP 0
#define VEK_FORMAT_GIF 1
#define VEK_FORMAT_JPEG 2
#define VEK_FORMAT_PNG 3
#define VEK_FORMAT_PSD 4
#define VEK_FORMAT_DDS 5
#define VEK_FORMAT_TGA 6

/* LibraryBitmap.pixelLayout: how the bytes are stored, which may be wider than the picture's own
 * form (an RGB picture, 8 x 3, may be held as four bytes a pixel with the fourth at 255). */
#define VEK_LAYOUT_INDEXED8 1 /* one palette index a pixel */
#define VEK_LAYOUT_GRAY8 2
#define VEK_LAYOUT_BGRA32 4 /* blue, green, red, straight alpha (255 opaque) */

/* vekChangeColorDepth: four-byte pixels blue, green, red, straight alpha. */
#define VEK_COLOR_BGRA32 23

/* LoadParams.rowOrigin */
#define VEK_ORIGIN_TOP_LEFT 0
#define VEK_ORIGIN_BOTTOM_LEFT 16 /* bottom row first, as a bottom-up DIB */

#define VEK_NO_TRANSPARENT_INDEX (-1)

/* Filled by the information query; the caller zero-fills it first and releases it with
 * vekFreeFileInformation once the last call that used it has returned. */
typedef struct FileInformation {
    int32_t width;               /* 0 */
    int32_t height;              /* 4 */
    uint16_t bitsPerComponent;   /* 8: as stored in the file */
    uint16_t componentsPerPixel; /* 10 */
    uint16_t xResolution;        /* 12: dots per inch, 0 when the file states none */
    uint16_t yResolution;        /* 14 */
    int32_t xOffset;             /* 16 */
    int32_t yOffset;             /* 20 */
    int32_t formatIndex;         /* 24: the reader that recognised the data */
    uint32_t compression;        /* 28: reader-specific compression code */
    int16_t transparentIndex;    /* 32: palette index shown transparent, or -1 */
    uint16_t paletteEntries;     /* 34 */
    char formatName[16];         /* 36: short upper-case name, NUL-terminated */
    void* internal;              /* 52 or 56: library-private, released by vekFreeFileInformation */
} FileInformation;

typedef struct LoadParams {
    uint32_t size;      /* 0: sizeof(LoadParams) */
    uint16_t rowOrigin; /* 4: VEK_ORIGIN_* */
    uint16_t flags;     /* 6: none defined yet, 0 */
    int32_t frameIndex; /* 8: picture within a multi-picture file */
    uint32_t maxPixels; /* 12: 0 for the library's own cap */
} LoadParams;

/* A bitmap owned by the library; released with vekFreeBitmap. */
typedef struct LibraryBitmap {
    int32_t width;               /* 0 */
    int32_t height;              /* 4 */
    uint16_t bitsPerComponent;   /* 8 */
    uint16_t componentsPerPixel; /* 10 */
    int16_t transparentIndex;    /* 12: -1 when none */
    uint16_t rowOrigin;          /* 14: VEK_ORIGIN_* of the rows as stored */
    int32_t bytesPerLine;        /* 16 */
    uint16_t paletteEntries;     /* 20 */
    uint16_t pixelLayout;        /* 22: VEK_LAYOUT_* */
    const uint8_t* palette;      /* 24: paletteEntries x (blue, green, red, alpha) */
    uint8_t* pixels;             /* 28 or 32 */
    void* internal;              /* 32 or 40: library-private */
} LibraryBitmap;

#ifdef __cplusplus
#define VEK_STATIC_ASSERT static_assert
#else
#define VEK_STATIC_ASSERT _Static_assert
#endif

#define VEK_PTR_OFFSET(offset32, offset64) (sizeof(void*) == 8 ? (offset64) : (offset32))
VEK_STATIC_ASSERT(sizeof(void*) == 4 || sizeof(void*) == 8, "32- or 64-bit targets only");
VEK_STATIC_ASSERT(offsetof(FileInformation, width) == 0, "layout");
VEK_STATIC_ASSERT(offsetof(FileInformation, height) == 4, "layout");
VEK_STATIC_ASSERT(offsetof(FileInformation, bitsPerComponent) == 8, "layout");
VEK_STATIC_ASSERT(offsetof(FileInformation, componentsPerPixel) == 10, "layout");
VEK_STATIC_ASSERT(offsetof(FileInformation, xResolution) == 12, "layout");
VEK_STATIC_ASSERT(offsetof(FileInformation, yResolution) == 14, "layout");
VEK_STATIC_ASSERT(offsetof(FileInformation, xOffset) == 16, "layout");
VEK_STATIC_ASSERT(offsetof(FileInformation, yOffset) == 20, "layout");
VEK_STATIC_ASSERT(offsetof(FileInformation, formatIndex) == 24, "layout");
VEK_STATIC_ASSERT(offsetof(FileInformation, compression) == 28, "layout");
VEK_STATIC_ASSERT(offsetof(FileInformation, transparentIndex) == 32, "layout");
VEK_STATIC_ASSERT(offsetof(FileInformation, paletteEntries) == 34, "layout");
VEK_STATIC_ASSERT(offsetof(FileInformation, formatName) == 36, "layout");
VEK_STATIC_ASSERT(offsetof(FileInformation, internal) == VEK_PTR_OFFSET(52, 56), "layout");
VEK_STATIC_ASSERT(sizeof(FileInformation) == VEK_PTR_OFFSET(56, 64), "layout");

VEK_STATIC_ASSERT(offsetof(LoadParams, size) == 0, "layout");
VEK_STATIC_ASSERT(offsetof(LoadParams, rowOrigin) == 4, "layout");
VEK_STATIC_ASSERT(offsetof(LoadParams, flags) == 6, "layout");
VEK_STATIC_ASSERT(offsetof(LoadParams, frameIndex) == 8, "layout");
VEK_STATIC_ASSERT(offsetof(LoadParams, maxPixels) == 12, "layout");
VEK_STATIC_ASSERT(sizeof(LoadParams) == 16, "layout");

VEK_STATIC_ASSERT(offsetof(LibraryBitmap, width) == 0, "layout");
VEK_STATIC_ASSERT(offsetof(LibraryBitmap, height) == 4, "layout");
VEK_STATIC_ASSERT(offsetof(LibraryBitmap, bitsPerComponent) == 8, "layout");
VEK_STATIC_ASSERT(offsetof(LibraryBitmap, componentsPerPixel) == 10, "layout");
VEK_STATIC_ASSERT(offsetof(LibraryBitmap, transparentIndex) == 12, "layout");
VEK_STATIC_ASSERT(offsetof(LibraryBitmap, rowOrigin) == 14, "layout");
VEK_STATIC_ASSERT(offsetof(LibraryBitmap, bytesPerLine) == 16, "layout");
VEK_STATIC_ASSERT(offsetof(LibraryBitmap, paletteEntries) == 20, "layout");
VEK_STATIC_ASSERT(offsetof(LibraryBitmap, pixelLayout) == 22, "layout");
VEK_STATIC_ASSERT(offsetof(LibraryBitmap, palette) == 24, "layout");
VEK_STATIC_ASSERT(offsetof(LibraryBitmap, pixels) == VEK_PTR_OFFSET(28, 32), "layout");
VEK_STATIC_ASSERT(offsetof(LibraryBitmap, internal) == VEK_PTR_OFFSET(32, 40), "layout");
VEK_STATIC_ASSERT(sizeof(LibraryBitmap) == VEK_PTR_OFFSET(36, 48), "layout");

VEK_LIBRARY_EXPORT VekError VEKAPI vekLibraryInit(void);
VEK_LIBRARY_EXPORT VekError VEKAPI vekLibraryExit(void);

/* Answers by the name alone: 1 declines the file, any other value accepts it. Callers look at the
 * low 8 bits only. */
VEK_LIBRARY_EXPORT int32_t VEKAPI vekFormatIsSupported(const char* fileName);

VEK_LIBRARY_EXPORT VekError VEKAPI vekGetFileInformation(const char* fileName, int32_t formatIndex,
                                                         FileInformation* info);
VEK_LIBRARY_EXPORT VekError VEKAPI vekGetFileInformationFromMemory(const void* data, uint32_t length,
                                                                   int32_t formatIndex, FileInformation* info);
VEK_LIBRARY_EXPORT VekError VEKAPI vekFreeFileInformation(FileInformation* info);

VEK_LIBRARY_EXPORT VekError VEKAPI vekGetDefaultLoadParams(LoadParams* params);
VEK_LIBRARY_EXPORT VekError VEKAPI vekLoadBitmap(const char* fileName, LibraryBitmap** bitmap, LoadParams* params,
                                                 FileInformation* info);
VEK_LIBRARY_EXPORT VekError VEKAPI vekLoadBitmapFromMemory(const void* data, uint32_t length, LibraryBitmap** bitmap,
                                                           LoadParams* params, FileInformation* info);

VEK_LIBRARY_EXPORT VekError VEKAPI vekChangeColorDepth(LibraryBitmap* source, LibraryBitmap** converted, int32_t mode,
                                                       int32_t modeParameter);
VEK_LIBRARY_EXPORT VekError VEKAPI vekFreeBitmap(LibraryBitmap* bitmap);

/* The named-file calls again, for UTF-16 names; they behave exactly like their 8-bit twins. A name
 * that is not valid UTF-16 (a lone surrogate) is refused with VEK_ERROR_BAD_ARGUMENT. */
VEK_LIBRARY_EXPORT int32_t VEKAPI vekFormatIsSupportedW(const VekWideChar* fileName);
VEK_LIBRARY_EXPORT VekError VEKAPI vekGetFileInformationW(const VekWideChar* fileName, int32_t formatIndex,
                                                          FileInformation* info);
VEK_LIBRARY_EXPORT VekError VEKAPI vekLoadBitmapW(const VekWideChar* fileName, LibraryBitmap** bitmap,
                                                  LoadParams* params, FileInformation* info);

#ifdef __cplusplus
}
#endif

#endif
