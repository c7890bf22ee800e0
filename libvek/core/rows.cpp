#include "libvek/core/rows.h"

#include <cstring>

#include "support/simd.h"

#ifdef VEK_SIMD_X86
#include <tmmintrin.h>
#endif

namespace vek::rows {
namespace {

#ifdef VEK_SIMD_X86
// Sixteen pixels of three bytes a step: 48 bytes in, four shuffles of twelve bytes each into four
// pixels, alpha set; `swapped` when red comes first. Returns how many pixels were done; the loads
// stay inside the row (the last step reads 48 bytes exactly).
__attribute__((target("ssse3"))) size_t threeToBgraSsse3(const uint8_t* in, uint8_t* out, size_t pixels, bool swapped) {
    const __m128i order = swapped ? _mm_setr_epi8(2, 1, 0, -1, 5, 4, 3, -1, 8, 7, 6, -1, 11, 10, 9, -1)
                                  : _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    const __m128i alpha = _mm_set1_epi32(static_cast<int>(0xFF000000u));
    size_t x = 0;
    for (; x + 16 <= pixels; x += 16, in += 48, out += 64) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 32));
        const __m128i p0 = a;
        const __m128i p1 = _mm_alignr_epi8(b, a, 12);
        const __m128i p2 = _mm_alignr_epi8(c, b, 8);
        const __m128i p3 = _mm_srli_si128(c, 4);
        auto* o = reinterpret_cast<__m128i*>(out);
        _mm_storeu_si128(o, _mm_or_si128(_mm_shuffle_epi8(p0, order), alpha));
        _mm_storeu_si128(o + 1, _mm_or_si128(_mm_shuffle_epi8(p1, order), alpha));
        _mm_storeu_si128(o + 2, _mm_or_si128(_mm_shuffle_epi8(p2, order), alpha));
        _mm_storeu_si128(o + 3, _mm_or_si128(_mm_shuffle_epi8(p3, order), alpha));
    }
    return x;
}

__attribute__((target("ssse3"))) size_t rgbaToBgraSsse3(const uint8_t* in, uint8_t* out, size_t pixels) {
    const __m128i swap = _mm_setr_epi8(2, 1, 0, 3, 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15);
    size_t x = 0;
    for (; x + 4 <= pixels; x += 4, in += 16, out += 16)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                         _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in)), swap));
    return x;
}

__attribute__((target("ssse3"))) size_t greyToBgraSsse3(const uint8_t* in, uint8_t* out, size_t pixels) {
    const __m128i alpha = _mm_set1_epi32(static_cast<int>(0xFF000000u));
    size_t x = 0;
    for (; x + 16 <= pixels; x += 16, in += 16, out += 64) {
        const __m128i g = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
        const __m128i gg0 = _mm_unpacklo_epi8(g, g), gg1 = _mm_unpackhi_epi8(g, g);
        auto* o = reinterpret_cast<__m128i*>(out);
        // Each grey byte four times, the fourth copy then replaced by the alpha.
        _mm_storeu_si128(o, _mm_or_si128(_mm_unpacklo_epi16(gg0, gg0), alpha));
        _mm_storeu_si128(o + 1, _mm_or_si128(_mm_unpackhi_epi16(gg0, gg0), alpha));
        _mm_storeu_si128(o + 2, _mm_or_si128(_mm_unpacklo_epi16(gg1, gg1), alpha));
        _mm_storeu_si128(o + 3, _mm_or_si128(_mm_unpackhi_epi16(gg1, gg1), alpha));
    }
    return x;
}
#endif

} // namespace

void bgrToBgra(const uint8_t* in, uint8_t* out, size_t pixels, [[maybe_unused]] simd::Level kernels) {
    size_t x = 0;
#ifdef VEK_SIMD_X86
    if (simd::allows(kernels, simd::Level::Ssse3)) x = threeToBgraSsse3(in, out, pixels, false);
#endif
    for (; x < pixels; ++x) {
        out[x * 4] = in[x * 3];
        out[x * 4 + 1] = in[x * 3 + 1];
        out[x * 4 + 2] = in[x * 3 + 2];
        out[x * 4 + 3] = 255;
    }
}

void rgbToBgra(const uint8_t* in, uint8_t* out, size_t pixels, [[maybe_unused]] simd::Level kernels) {
    size_t x = 0;
#ifdef VEK_SIMD_X86
    if (simd::allows(kernels, simd::Level::Ssse3)) x = threeToBgraSsse3(in, out, pixels, true);
#endif
    for (; x < pixels; ++x) {
        out[x * 4] = in[x * 3 + 2];
        out[x * 4 + 1] = in[x * 3 + 1];
        out[x * 4 + 2] = in[x * 3];
        out[x * 4 + 3] = 255;
    }
}

void rgbaToBgra(const uint8_t* in, uint8_t* out, size_t pixels, [[maybe_unused]] simd::Level kernels) {
    size_t x = 0;
#ifdef VEK_SIMD_X86
    if (simd::allows(kernels, simd::Level::Ssse3)) x = rgbaToBgraSsse3(in, out, pixels);
#endif
    for (; x < pixels; ++x) {
        uint32_t v;
        std::memcpy(&v, in + x * 4, 4);
        v = (v & 0xFF00FF00u) | ((v >> 16) & 0xFFu) | ((v & 0xFFu) << 16);
        std::memcpy(out + x * 4, &v, 4);
    }
}

void greyToBgra(const uint8_t* in, uint8_t* out, size_t pixels, [[maybe_unused]] simd::Level kernels) {
    size_t x = 0;
#ifdef VEK_SIMD_X86
    if (simd::allows(kernels, simd::Level::Ssse3)) x = greyToBgraSsse3(in, out, pixels);
#endif
    for (; x < pixels; ++x) {
        out[x * 4] = out[x * 4 + 1] = out[x * 4 + 2] = in[x];
        out[x * 4 + 3] = 255;
    }
}

void indexedToBgra(const uint8_t* in, uint8_t* out, size_t pixels, const uint32_t* words) {
    for (size_t x = 0; x < pixels; ++x) std::memcpy(out + x * 4, &words[in[x]], 4);
}

} // namespace vek::rows
