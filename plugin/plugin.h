// The plug-in's host-facing interface: the five exports, their records and result codes.
#pragma once

#include <stdint.h>

#include "plugin/plugin_strings.h"
#include "platform/platform.h"

#if defined(__i386__) || defined(_M_IX86)
#define PLUGIN_API __attribute__((__stdcall__))
#else
#define PLUGIN_API
#endif

// Windows takes the export list from a .def file; on Linux the exports are the visible symbols.
#if defined(VEK_BUILDING_PLUGIN) && !defined(_WIN32)
#define PLUGIN_EXPORT __attribute__((visibility("default")))
#else
#define PLUGIN_EXPORT
#endif

extern "C" {

enum PluginResult : int {
    Success = 0,
    Cancelled = 1,
    OutOfMemory = 4,
    LockFailed = 5,
    LibraryError = 8,
};

// A non-zero answer asks the plug-in to stop. The callback data is pointer-sized: 64-bit hosts
// pass pointers to their own objects, and a host that declares it 32 bits wide still reads the
// same low half. In the 32-bit build it is the 32-bit integer it always was.
typedef int(PLUGIN_API* ProgressCallback)(int numerator, int denominator, intptr_t callbackData);

#pragma pack(push, 1)
struct PictureInfo {
    int32_t left;
    int32_t top;
    int32_t width;
    int32_t height;
    uint16_t xResolution;
    uint16_t yResolution;
    int16_t bitsPerPixel;
    HLOCAL textHandle;
#if UINTPTR_MAX > 0xFFFFFFFFu
    // 64-bit hosts declare the record with two padding bytes after the depth, their handle at 24 and
    // 32 bytes in all. Zeros from 22 to 31 give a host of either layout a null handle.
    uint8_t alignedHandleTail[2];
#endif
};
#pragma pack(pop)

static_assert(offsetof(PictureInfo, left) == 0);
static_assert(offsetof(PictureInfo, top) == 4);
static_assert(offsetof(PictureInfo, width) == 8);
static_assert(offsetof(PictureInfo, height) == 12);
static_assert(offsetof(PictureInfo, xResolution) == 16);
static_assert(offsetof(PictureInfo, yResolution) == 18);
static_assert(offsetof(PictureInfo, bitsPerPixel) == 20);
static_assert(offsetof(PictureInfo, textHandle) == 22);
static_assert(sizeof(PictureInfo) == (sizeof(void*) == 8 ? 32 : 26));

PLUGIN_EXPORT int PLUGIN_API GetPluginInfo(int32_t index, char* outBuffer, int32_t bufferLength);
// fileHint is never read; it is pointer-sized so that the 32-bit build removes 8 bytes.
PLUGIN_EXPORT int PLUGIN_API IsSupported(const char* fileName, intptr_t fileHint);
PLUGIN_EXPORT int PLUGIN_API GetPictureInfo(const char* source, int32_t sourceLength, uint32_t sourceFlags,
                                            PictureInfo* info);
PLUGIN_EXPORT int PLUGIN_API GetPicture(const char* source, int32_t sourceLength, uint32_t sourceFlags,
                                        HLOCAL* headerHandleOut, HLOCAL* pixelHandleOut, ProgressCallback progress,
                                        intptr_t callbackData);
// A second name of GetPicture's entry point; it makes no reduced picture.
PLUGIN_EXPORT int PLUGIN_API GetPreview(const char* source, int32_t sourceLength, uint32_t sourceFlags,
                                        HLOCAL* headerHandleOut, HLOCAL* pixelHandleOut, ProgressCallback progress,
                                        intptr_t callbackData);

// The same five for hosts that pass file names as UTF-16, the only way to reach a name the ANSI
// code page cannot spell. Each behaves exactly like its 8-bit twin; a memory source is the same
// bytes whatever the pointer's type.
PLUGIN_EXPORT int PLUGIN_API GetPluginInfoW(int32_t index, WCHAR* outBuffer, int32_t bufferLength);
PLUGIN_EXPORT int PLUGIN_API IsSupportedW(const WCHAR* fileName, intptr_t fileHint);
PLUGIN_EXPORT int PLUGIN_API GetPictureInfoW(const WCHAR* source, int32_t sourceLength, uint32_t sourceFlags,
                                             PictureInfo* info);
PLUGIN_EXPORT int PLUGIN_API GetPictureW(const WCHAR* source, int32_t sourceLength, uint32_t sourceFlags,
                                         HLOCAL* headerHandleOut, HLOCAL* pixelHandleOut, ProgressCallback progress,
                                         intptr_t callbackData);
PLUGIN_EXPORT int PLUGIN_API GetPreviewW(const WCHAR* source, int32_t sourceLength, uint32_t sourceFlags,
                                         HLOCAL* headerHandleOut, HLOCAL* pixelHandleOut, ProgressCallback progress,
                                         intptr_t callbackData);

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);
}
