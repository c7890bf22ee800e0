// The library's size limits and the one checked helper that all size arithmetic goes through.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libvek/base/refusal.h"

namespace vek {

// The largest picture a load accepts, in pixels: 256 Mi pixels (1 GiB as BGRA) in 64-bit builds and
// 64 Mi pixels (256 MiB as BGRA) in 32-bit builds, whose address space holds little more.
constexpr uint64_t kMaxPixels = sizeof(void*) == 8 ? (uint64_t{1} << 28) : (uint64_t{1} << 26);
// No side longer than this, whatever the pixel count.
constexpr int64_t kMaxDimension = 1 << 20;
// The largest file the library reads into memory.
constexpr uint64_t kMaxFileBytes = sizeof(void*) == 8 ? (uint64_t{1} << 32) : (uint64_t{1} << 29);

// The most memory one load may hold at once beside the file: twice the largest picture's BGRA bytes
// (the picture, and a decoder's own working set where it needs one, such as a progressive JPEG's
// coefficients). A caller's lower pixel cap lowers it with them.
inline uint64_t maxLoadBytes(uint64_t maxPixels = 0) {
    const uint64_t cap = maxPixels != 0 && maxPixels < kMaxPixels ? maxPixels : kMaxPixels;
    return 2 * 4 * cap;
}

// a * b into out; false when the product does not fit.
inline bool checkedMultiply(size_t a, size_t b, size_t& out) { return !__builtin_mul_overflow(a, b, &out); }
inline bool checkedMultiply(size_t a, size_t b, size_t c, size_t& out) {
    size_t ab;
    return checkedMultiply(a, b, ab) && checkedMultiply(ab, c, out);
}

// Whether a picture of these dimensions is within the caps; a limit of 0 means the library's own.
inline bool dimensionsAllowed(int64_t width, int64_t height, uint64_t maxPixels = 0) {
    if (width <= 0 || height <= 0 || width > kMaxDimension || height > kMaxDimension) return false;
    const uint64_t cap = maxPixels != 0 && maxPixels < kMaxPixels ? maxPixels : kMaxPixels;
    return static_cast<uint64_t>(width) * static_cast<uint64_t>(height) <= cap;
}

// dimensionsAllowed as a load answers it: VEK_OK, VEK_ERROR_DAMAGED for a side of no pixels, or
// VEK_ERROR_TOO_LARGE saying which limit.
inline VekError checkDimensions(const char* format, int64_t width, int64_t height, uint64_t maxPixels = 0) {
    if (dimensionsAllowed(width, height, maxPixels)) return VEK_OK;
    const auto w = static_cast<long long>(width), h = static_cast<long long>(height);
    if (width <= 0 || height <= 0)
        return refuse(VEK_ERROR_DAMAGED, "%s: a picture of %lld x %lld pixels", format, w, h);
    if (width > kMaxDimension || height > kMaxDimension)
        return refuse(VEK_ERROR_TOO_LARGE, "%s: %lld x %lld pixels, a side longer than %lld", format, w, h,
                      static_cast<long long>(kMaxDimension));
    const uint64_t cap = maxPixels != 0 && maxPixels < kMaxPixels ? maxPixels : kMaxPixels;
    return refuse(VEK_ERROR_TOO_LARGE, "%s: %lld x %lld pixels, more than the %llu pixels a load takes", format, w, h,
                  static_cast<unsigned long long>(cap));
}

} // namespace vek
