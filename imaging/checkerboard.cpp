#include "imaging/checkerboard.h"

#include <cstddef>

#include "support/simd.h"

#ifdef VEK_SIMD_X86
#include <immintrin.h>
#endif

using imaging::blendOverShade;

namespace {

// The blend gives the channel itself at alpha 255 and the shade at alpha 0, so one branch-free
// expression covers every pixel; opaque runs are still skipped because they are the common case.
void scalarSpan(uint8_t* p, int32_t count, uint32_t shade) {
    for (int32_t i = 0; i < count; ++i, p += 4) {
        const uint32_t a = p[3];
        if (a == 255) continue;
        p[0] = blendOverShade(p[0], a, shade);
        p[1] = blendOverShade(p[1], a, shade);
        p[2] = blendOverShade(p[2], a, shade);
    }
}

#ifdef VEK_SIMD_X86

// Both vector kernels work on 16-bit lanes: channel * a and (255 - a) * shade each fit, their sum is
// at most 255 * 255, and the divide-by-255 step stays below 65536.

__attribute__((target("sse2"))) inline __m128i blendHalf(__m128i wide, __m128i shade16) {
    const __m128i alpha = _mm_shufflehi_epi16(_mm_shufflelo_epi16(wide, 0xFF), 0xFF);
    const __m128i inverse = _mm_sub_epi16(_mm_set1_epi16(255), alpha);
    __m128i x = _mm_add_epi16(_mm_mullo_epi16(wide, alpha), _mm_mullo_epi16(inverse, shade16));
    x = _mm_add_epi16(x, _mm_add_epi16(_mm_set1_epi16(1), _mm_srli_epi16(x, 8)));
    return _mm_srli_epi16(x, 8);
}

__attribute__((target("sse2"))) void sse2Spans(uint8_t* p, int32_t spans, uint32_t firstShade, uint32_t otherShade) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i alphaMask = _mm_set1_epi32(static_cast<int>(0xFF000000u));
    const __m128i opaque = _mm_set1_epi8(static_cast<char>(0xFF));
    uint32_t shade = firstShade;
    for (int32_t s = 0; s < spans; ++s, p += 32) {
        const __m128i shade16 = _mm_set1_epi16(static_cast<short>(shade));
        const __m128i shade8 = _mm_set1_epi32(static_cast<int>(shade * 0x010101u));
        for (int half = 0; half < 2; ++half) {
            auto* q = reinterpret_cast<__m128i*>(p + half * 16);
            const __m128i v = _mm_loadu_si128(q);
            const int opaqueBits = _mm_movemask_epi8(_mm_cmpeq_epi8(v, opaque)) & 0x8888;
            if (opaqueBits == 0x8888) continue;
            const int clearBits = _mm_movemask_epi8(_mm_cmpeq_epi8(v, zero)) & 0x8888;
            __m128i colour;
            if (clearBits == 0x8888) {
                colour = shade8;
            } else {
                colour = _mm_packus_epi16(blendHalf(_mm_unpacklo_epi8(v, zero), shade16),
                                          blendHalf(_mm_unpackhi_epi8(v, zero), shade16));
            }
            const __m128i out = _mm_or_si128(_mm_andnot_si128(alphaMask, colour), _mm_and_si128(alphaMask, v));
            _mm_storeu_si128(q, out);
        }
        shade = shade == firstShade ? otherShade : firstShade;
    }
}

__attribute__((target("avx2"))) inline __m256i blendHalf256(__m256i wide, __m256i shade16) {
    const __m256i alpha = _mm256_shufflehi_epi16(_mm256_shufflelo_epi16(wide, 0xFF), 0xFF);
    const __m256i inverse = _mm256_sub_epi16(_mm256_set1_epi16(255), alpha);
    __m256i x = _mm256_add_epi16(_mm256_mullo_epi16(wide, alpha), _mm256_mullo_epi16(inverse, shade16));
    x = _mm256_add_epi16(x, _mm256_add_epi16(_mm256_set1_epi16(1), _mm256_srli_epi16(x, 8)));
    return _mm256_srli_epi16(x, 8);
}

__attribute__((target("avx2"))) void avx2Spans(uint8_t* p, int32_t spans, uint32_t firstShade, uint32_t otherShade) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i alphaMask = _mm256_set1_epi32(static_cast<int>(0xFF000000u));
    const __m256i opaque = _mm256_set1_epi8(static_cast<char>(0xFF));
    const uint32_t alphaBits = 0x88888888u;
    uint32_t shade = firstShade;
    for (int32_t s = 0; s < spans; ++s, p += 32) {
        auto* q = reinterpret_cast<__m256i*>(p);
        const __m256i v = _mm256_loadu_si256(q);
        const uint32_t opaqueBits = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, opaque)));
        if ((opaqueBits & alphaBits) != alphaBits) {
            const uint32_t clearBits = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, zero)));
            __m256i colour;
            if ((clearBits & alphaBits) == alphaBits) {
                colour = _mm256_set1_epi32(static_cast<int>(shade * 0x010101u));
            } else {
                const __m256i shade16 = _mm256_set1_epi16(static_cast<short>(shade));
                colour = _mm256_packus_epi16(blendHalf256(_mm256_unpacklo_epi8(v, zero), shade16),
                                             blendHalf256(_mm256_unpackhi_epi8(v, zero), shade16));
            }
            _mm256_storeu_si256(q, _mm256_blendv_epi8(colour, v, alphaMask));
        }
        shade = shade == firstShade ? otherShade : firstShade;
    }
}

#endif

using SpanFunction = void (*)(uint8_t*, int32_t, uint32_t, uint32_t);

void scalarSpans(uint8_t* p, int32_t spans, uint32_t firstShade, uint32_t otherShade) {
    for (int32_t s = 0; s < spans; ++s, p += 32)
        scalarSpan(p, imaging::kCheckerSquare, s % 2 ? otherShade : firstShade);
}

SpanFunction spansFor([[maybe_unused]] simd::Level kernels) {
#ifdef VEK_SIMD_X86
    if (simd::allows(kernels, simd::Level::Avx2)) return avx2Spans;
    if (simd::allows(kernels, simd::Level::Sse2)) return sse2Spans;
#endif
    return scalarSpans;
}

void composite(SpanFunction spans, uint8_t* pixels, int32_t width, int32_t height) {
    if (pixels == nullptr || width <= 0 || height <= 0) return;
    // The top row, last in memory, gets a counter of 15 mod 16, so the pattern starts at the top
    // left as the picture is displayed.
    const uint32_t firstRow = 16u - (static_cast<uint32_t>(height) & 15u);
    const size_t rowBytes = static_cast<size_t>(width) * 4;
    const int32_t fullSpans = width / imaging::kCheckerSquare;
    const int32_t rest = width % imaging::kCheckerSquare;
    for (int32_t y = 0; y < height; ++y) {
        const bool rowBit = ((firstRow + static_cast<uint32_t>(y)) & 8u) != 0;
        // Squares at even multiples of 8 columns take the light shade exactly when the row bit is set.
        const uint32_t evenShade = rowBit ? imaging::kCheckerLight : imaging::kCheckerDark;
        const uint32_t oddShade = rowBit ? imaging::kCheckerDark : imaging::kCheckerLight;
        uint8_t* row = pixels + rowBytes * static_cast<size_t>(y);
        spans(row, fullSpans, evenShade, oddShade);
        if (rest != 0)
            scalarSpan(row + static_cast<size_t>(fullSpans) * 32, rest, fullSpans % 2 ? oddShade : evenShade);
    }
}

} // namespace

namespace imaging {

void checkerboardCompositeWith(simd::Level kernels, uint8_t* pixels, int32_t width, int32_t height) {
    composite(spansFor(kernels), pixels, width, height);
}

} // namespace imaging

// Chosen once a picture (see support/simd.h for why nothing is cached).
void CheckerboardComposite(uint8_t* pixels, int32_t width, int32_t height) {
    composite(spansFor(simd::detect()), pixels, width, height);
}
