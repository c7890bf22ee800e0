// libvek340's entry points. Nothing here throws: every failure is an error code.
#include <atomic>
#include <cctype>
#include <cstring>

#include "imagelib/vek.h"

namespace {

std::atomic<int> initCount{0};

bool extensionIs(const char* ext, const char* wanted) {
    for (; *ext != '\0' && *wanted != '\0'; ++ext, ++wanted) {
        if (std::tolower(static_cast<unsigned char>(*ext)) != *wanted) return false;
    }
    return *ext == '\0' && *wanted == '\0';
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
    return VEK_OK;
}

int32_t VEKAPI vekFormatIsSupported(const char* fileName) {
    if (fileName == nullptr) return 1;
    const char* dot = std::strrchr(fileName, '.');
    if (dot == nullptr || std::strpbrk(dot, "/\\") != nullptr) return 1;
    static const char* const extensions[] = {"psd", "psb", "dds", "gif", "jpg", "jpeg", "jpe",
                                             "jfif", "png", "tga", "bmp", "dib"};
    for (const char* ext : extensions) {
        if (extensionIs(dot + 1, ext)) return 0;
    }
    return 1;
}

VekError VEKAPI vekGetFileInformation(const char* fileName, int32_t, FileInformation* info) {
    if (fileName == nullptr || info == nullptr) return VEK_ERROR_BAD_ARGUMENT;
    return VEK_ERROR_UNKNOWN_FORMAT;
}

VekError VEKAPI vekGetFileInformationFromMemory(const void* data, uint32_t, int32_t, FileInformation* info) {
    if (data == nullptr || info == nullptr) return VEK_ERROR_BAD_ARGUMENT;
    return VEK_ERROR_UNKNOWN_FORMAT;
}

VekError VEKAPI vekFreeFileInformation(FileInformation*) { return VEK_OK; }

VekError VEKAPI vekGetDefaultLoadParams(LoadParams* params) {
    if (params == nullptr) return VEK_ERROR_BAD_ARGUMENT;
    std::memset(params, 0, sizeof *params);
    params->size = sizeof *params;
    params->rowOrigin = VEK_ORIGIN_TOP_LEFT;
    return VEK_OK;
}

VekError VEKAPI vekLoadBitmap(const char* fileName, LibraryBitmap** bitmap, LoadParams* params,
                              FileInformation* info) {
    if (fileName == nullptr || bitmap == nullptr || params == nullptr || info == nullptr)
        return VEK_ERROR_BAD_ARGUMENT;
    *bitmap = nullptr;
    return VEK_ERROR_UNKNOWN_FORMAT;
}

VekError VEKAPI vekLoadBitmapFromMemory(const void* data, uint32_t, LibraryBitmap** bitmap, LoadParams* params,
                                        FileInformation* info) {
    if (data == nullptr || bitmap == nullptr || params == nullptr || info == nullptr)
        return VEK_ERROR_BAD_ARGUMENT;
    *bitmap = nullptr;
    return VEK_ERROR_UNKNOWN_FORMAT;
}

VekError VEKAPI vekChangeColorDepth(LibraryBitmap* source, LibraryBitmap** converted, int32_t, int32_t) {
    if (source == nullptr || converted == nullptr) return VEK_ERROR_BAD_ARGUMENT;
    *converted = nullptr;
    return VEK_ERROR_UNKNOWN_FORMAT;
}

VekError VEKAPI vekFreeBitmap(LibraryBitmap*) { return VEK_OK; }

} // extern "C"
