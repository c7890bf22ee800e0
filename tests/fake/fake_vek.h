// A scripted stand-in for libvek340: it records every call with its arguments and answers what the
// test sets. Built as a static library for unit tests and as a shared one for load tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "imagelib/vek.h"

#ifdef VEK_BUILDING_LIBRARY
#define FAKE_EXPORT __attribute__((visibility("default")))
#else
#define FAKE_EXPORT
#endif

namespace fakevek {

struct Call {
    std::string name;
    std::string text;              // the file name, where one is passed
    std::u16string wideText;       // the same, where the name is UTF-16
    std::vector<uintptr_t> args;   // every argument, pointers and numbers alike, in order
    FileInformation infoOnEntry{}; // the record as the caller handed it in
    LoadParams paramsOnEntry{};
};

struct BitmapShape {
    int32_t width = 3;
    int32_t height = 2;
    uint16_t bitsPerComponent = 8;
    uint16_t componentsPerPixel = 3;
    int16_t transparentIndex = -1;
    int32_t bytesPerLine = 0;    // 0: width x 4 for converted bitmaps, width x components otherwise
    std::vector<uint8_t> pixels; // empty: a pattern made from each byte's position
};

struct Script {
    int32_t formatAnswer = 0;
    VekError initResult = VEK_OK;
    VekError infoResult = VEK_OK;
    FileInformation infoFill{};
    VekError loadResult = VEK_OK;
    bool loadLeavesBitmapOnFailure = false;
    BitmapShape loaded;
    VekError convertResult = VEK_OK;
    bool convertLeavesBitmapOnFailure = false;
    BitmapShape converted{3, 2, 8, 4, -1, 0, {}};
};

FAKE_EXPORT void reset();
FAKE_EXPORT Script& script();
FAKE_EXPORT const std::vector<Call>& calls();
FAKE_EXPORT std::vector<std::string> callNames();
FAKE_EXPORT int count(const std::string& name);
FAKE_EXPORT int liveBitmaps();
// Frees of pointers the fake never handed out, or handed out and freed already.
FAKE_EXPORT int misuses();
// The bytes a converted bitmap holds, row by row as stored (including any gap bytes).
FAKE_EXPORT std::vector<uint8_t> convertedBytes(const BitmapShape& shape);

} // namespace fakevek
