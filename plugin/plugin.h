// The plug-in's host-facing interface: the five exports, their records and result codes.
#pragma once

#include <stdint.h>

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

// A non-zero answer asks the plug-in to stop.
typedef int(PLUGIN_API* ProgressCallback)(int numerator, int denominator, int32_t callbackData);

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
static_assert(sizeof(PictureInfo) == (sizeof(void*) == 8 ? 30 : 26));

constexpr int kPluginInfoCount = 16;
extern const char* const PluginInfoTable[kPluginInfoCount];

PLUGIN_EXPORT int PLUGIN_API GetPluginInfo(int32_t index, char* outBuffer, int32_t bufferLength);
// fileHint is never read; it is pointer-sized so that the 32-bit build removes 8 bytes.
PLUGIN_EXPORT int PLUGIN_API IsSupported(const char* fileName, intptr_t fileHint);
PLUGIN_EXPORT int PLUGIN_API GetPictureInfo(const char* source, int32_t sourceLength, uint32_t sourceFlags,
                                            PictureInfo* info);
PLUGIN_EXPORT int PLUGIN_API GetPicture(const char* source, int32_t sourceLength, uint32_t sourceFlags,
                                        HLOCAL* headerHandleOut, HLOCAL* pixelHandleOut,
                                        ProgressCallback progress, int32_t callbackData);
// A second name of GetPicture's entry point; it makes no reduced picture.
PLUGIN_EXPORT int PLUGIN_API GetPreview(const char* source, int32_t sourceLength, uint32_t sourceFlags,
                                        HLOCAL* headerHandleOut, HLOCAL* pixelHandleOut,
                                        ProgressCallback progress, int32_t callbackData);

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);
}
