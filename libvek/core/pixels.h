// Small pixel helpers shared by the readers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vek {

// A masked field of any width scaled to 8 bits, rounding to nearest.
struct MaskField {
    uint32_t mask = 0;
    unsigned shift = 0;
    uint32_t maximum = 0; // the field's largest value

    explicit MaskField(uint32_t m = 0) : mask(m) {
        if (m == 0) return;
        while (((m >> shift) & 1u) == 0) ++shift;
        maximum = m >> shift;
    }
    bool present() const { return mask != 0; }
    uint8_t scale(uint32_t pixel) const {
        if (maximum == 0) return 0;
        const uint64_t v = (pixel & mask) >> shift;
        return static_cast<uint8_t>((v * 255 + maximum / 2) / maximum);
    }
};

// Whether the mask's set bits are one run (as every writer means them).
inline bool contiguousMask(uint32_t m) {
    if (m == 0) return true;
    while ((m & 1u) == 0) m >>= 1;
    return (m & (m + 1)) == 0;
}

inline uint8_t expand5(uint32_t v) { return static_cast<uint8_t>((v << 3) | (v >> 2)); }
inline uint8_t expand6(uint32_t v) { return static_cast<uint8_t>((v << 2) | (v >> 4)); }

// Pixels per metre, as BMP and PNG state resolution, to dots per inch; 0 when none is stated.
inline uint16_t dotsPerInch(int64_t pixelsPerMetre) {
    if (pixelsPerMetre <= 0) return 0;
    const int64_t dpi = (pixelsPerMetre * 254 + 5000) / 10000;
    return static_cast<uint16_t>(dpi > 65535 ? 65535 : dpi);
}

// A pixel as one word whose bytes, lowest first, are blue, green, red and alpha.
inline uint32_t bgraWord(uint32_t r, uint32_t g, uint32_t b, uint32_t a) {
    return b | (g << 8) | (r << 16) | (a << 24);
}

inline void storeWord(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

inline void storeBgra(uint8_t* p, uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
    p[0] = b;
    p[1] = g;
    p[2] = r;
    p[3] = a;
}

// Premultiplied BGRA back to straight alpha, rounding to nearest; alpha 0 and 255 rows unchanged.
inline void unpremultiply(uint8_t* bgra, size_t pixels) {
    for (size_t i = 0; i < pixels; ++i, bgra += 4) {
        const unsigned a = bgra[3];
        if (a == 0 || a == 255) continue;
        for (int c = 0; c < 3; ++c) {
            const unsigned v = (bgra[c] * 255u + a / 2) / a;
            bgra[c] = static_cast<uint8_t>(v > 255 ? 255 : v);
        }
    }
}

} // namespace vek
