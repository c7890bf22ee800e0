// The bytes as a picture, through the information query, the load and the conversion, from memory
// and now and then from a file. Every path must end in a code, never in a fault or a leak.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "imagelib/vek.h"

inline void decodeAll(const uint8_t* data, size_t size, int32_t format) {
    FileInformation info{};
    LoadParams params;
    vekGetDefaultLoadParams(&params);
    params.rowOrigin = size % 2 ? VEK_ORIGIN_BOTTOM_LEFT : VEK_ORIGIN_TOP_LEFT;
    // A few bytes can declare a picture of a gigabyte, which the library then fills: the runs go to
    // headers and data instead of to memset. The library's own cap is tested by the format tests.
    params.maxPixels = 1u << 20;
    LibraryBitmap* loaded = nullptr;
    const bool fromFile = size > 0 && data[0] % 16 == 1;
    std::string path;
    if (fromFile) {
        path = "/tmp/vek-fuzz-" + std::to_string(getpid());
        FILE* f = std::fopen(path.c_str(), "wb");
        if (f == nullptr) return;
        std::fwrite(data, 1, size, f);
        std::fclose(f);
        if (vekGetFileInformation(path.c_str(), format, &info) == VEK_OK)
            vekLoadBitmap(path.c_str(), &loaded, &params, &info);
    } else if (vekGetFileInformationFromMemory(data, static_cast<uint32_t>(size), format, &info) == VEK_OK) {
        vekLoadBitmapFromMemory(data, static_cast<uint32_t>(size), &loaded, &params, &info);
    }
    vekFreeFileInformation(&info);
    if (loaded != nullptr) {
        LibraryBitmap* converted = nullptr;
        if (vekChangeColorDepth(loaded, &converted, VEK_COLOR_BGRA32, 0) == VEK_OK) {
            // Touch every byte, so that a bitmap smaller than it claims is caught.
            volatile uint8_t sum = 0;
            const size_t bytes = static_cast<size_t>(converted->bytesPerLine) * static_cast<size_t>(converted->height);
            for (size_t i = 0; i < bytes; i += 61) sum = static_cast<uint8_t>(sum + converted->pixels[i]);
            if (bytes) sum = static_cast<uint8_t>(sum + converted->pixels[bytes - 1]);
        }
        vekFreeBitmap(converted);
    }
    vekFreeBitmap(loaded);
    if (fromFile) std::remove(path.c_str());
}
