#include "libvek/formats/png_filter.h"

#include <cstring>

#include "support/simd.h"

#ifdef VEK_SIMD_X86
#include <emmintrin.h>
#endif

namespace vek::png {
namespace {

uint8_t paeth(uint8_t a, uint8_t b, uint8_t c) {
    const int p = a + b - c, pa = p > a ? p - a : a - p, pb = p > b ? p - b : b - p, pc = p > c ? p - c : c - p;
    return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

void unfilterScalar(uint8_t filter, const uint8_t* in, const uint8_t* prev, uint8_t* out, size_t n, size_t bpp) {
    switch (filter) {
    case kFilterSub:
        for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(in[i] + (i >= bpp ? out[i - bpp] : 0));
        break;
    case kFilterAverage:
        for (size_t i = 0; i < n; ++i)
            out[i] = static_cast<uint8_t>(in[i] + (((i >= bpp ? out[i - bpp] : 0) + prev[i]) >> 1));
        break;
    case kFilterPaeth:
        for (size_t i = 0; i < n; ++i)
            out[i] = static_cast<uint8_t>(
                in[i] + (i >= bpp ? paeth(out[i - bpp], prev[i], prev[i - bpp]) : paeth(0, prev[i], 0)));
        break;
    }
}

#ifdef VEK_SIMD_X86
// Three- and four-byte pixels one at a time in the low lanes of a register: the pixel to the left
// stays in a register from one step to the next. Loads and stores take four bytes; the rows are padded.
__attribute__((target("sse2"))) inline __m128i load(const uint8_t* p) {
    int32_t v = 0;
    std::memcpy(&v, p, 4);
    return _mm_cvtsi32_si128(v);
}
__attribute__((target("sse2"))) inline void store(uint8_t* p, __m128i v) {
    const int32_t w = _mm_cvtsi128_si32(v);
    std::memcpy(p, &w, 4);
}

template <size_t Bpp> __attribute__((target("sse2"))) void unfilterSse2(uint8_t filter, const uint8_t* in,
                                                                        const uint8_t* prev, uint8_t* out, size_t n) {
    const __m128i zero = _mm_setzero_si128();
    __m128i a = zero, c = zero;
    switch (filter) {
    case kFilterSub:
        for (size_t i = 0; i < n; i += Bpp) {
            a = _mm_add_epi8(load(in + i), a);
            store(out + i, a);
        }
        break;
    case kFilterAverage:
        for (size_t i = 0; i < n; i += Bpp) {
            const __m128i b = load(prev + i);
            // The rounding-up average, less the bit it rounded up by.
            const __m128i mean = _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), _mm_set1_epi8(1)));
            a = _mm_add_epi8(load(in + i), mean);
            store(out + i, a);
        }
        break;
    case kFilterPaeth:
        for (size_t i = 0; i < n; i += Bpp) {
            const __m128i b = _mm_unpacklo_epi8(load(prev + i), zero);
            const __m128i a16 = _mm_unpacklo_epi8(a, zero);
            const __m128i bc = _mm_sub_epi16(b, c), ac = _mm_sub_epi16(a16, c);
            const __m128i pa = _mm_max_epi16(bc, _mm_sub_epi16(zero, bc));
            const __m128i pb = _mm_max_epi16(ac, _mm_sub_epi16(zero, ac));
            const __m128i sum = _mm_add_epi16(bc, ac);
            const __m128i pc = _mm_max_epi16(sum, _mm_sub_epi16(zero, sum));
            const __m128i least = _mm_min_epi16(pc, _mm_min_epi16(pa, pb));
            const __m128i takeA = _mm_cmpeq_epi16(least, pa);
            const __m128i takeB = _mm_andnot_si128(takeA, _mm_cmpeq_epi16(least, pb));
            const __m128i takeC = _mm_andnot_si128(_mm_or_si128(takeA, takeB), _mm_set1_epi16(-1));
            const __m128i predicted =
                _mm_or_si128(_mm_or_si128(_mm_and_si128(takeA, a16), _mm_and_si128(takeB, b)), _mm_and_si128(takeC, c));
            a = _mm_add_epi8(load(in + i), _mm_packus_epi16(predicted, zero));
            store(out + i, a);
            c = b;
        }
        break;
    }
}

__attribute__((target("sse2"))) void upSse2(const uint8_t* in, const uint8_t* prev, uint8_t* out, size_t n) {
    size_t i = 0;
    for (; i + 16 <= n; i += 16)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i),
                         _mm_add_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i)),
                                      _mm_loadu_si128(reinterpret_cast<const __m128i*>(prev + i))));
    for (; i < n; ++i) out[i] = static_cast<uint8_t>(in[i] + prev[i]);
}
#endif

} // namespace

bool unfilter(const uint8_t* in, const uint8_t* prev, uint8_t* out, size_t n, size_t bpp,
              [[maybe_unused]] simd::Level kernels) {
    const uint8_t filter = in[0];
    ++in;
    if (filter > kFilterPaeth) return false;
    if (filter == kFilterNone) {
        std::memcpy(out, in, n);
        return true;
    }
#ifdef VEK_SIMD_X86
    if (simd::allows(kernels, simd::Level::Sse2)) {
        if (filter == kFilterUp) return upSse2(in, prev, out, n), true;
        if (bpp == 4) return unfilterSse2<4>(filter, in, prev, out, n), true;
        if (bpp == 3) return unfilterSse2<3>(filter, in, prev, out, n), true;
    }
#endif
    if (filter == kFilterUp) {
        for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(in[i] + prev[i]);
        return true;
    }
    unfilterScalar(filter, in, prev, out, n, bpp);
    return true;
}

} // namespace vek::png
