// Transforms applied: a matrix between tables (eight pixels a step with AVX2, one with SSE2), and
// grids interpolated in tetrahedra, as LittleCMS interpolates its own (eight pixels a step with
// AVX2 gathers where the processor has them).
#include <algorithm>
#include <cmath>

#include "libvek/base/coverage.h"
#include "libvek/colour/colour.h"
#include "libvek/core/pixels.h"
#include "libvek/system/workers.h"
#include "support/simd.h"

#ifdef VEK_SIMD_X86
#include <immintrin.h>
#endif

namespace vek::colour {
namespace {

constexpr float kTop = Transform::kEncodeSteps - 1;

// Every step rounded to single precision as the vector code rounds it: x87 arithmetic (32-bit
// builds) would otherwise carry 80 bits from one step to the next and land a level away.
#if defined(__FLT_EVAL_METHOD__) && __FLT_EVAL_METHOD__ != 0
inline float single(float v) {
    volatile float stored = v;
    return stored;
}
#else
inline float single(float v) { return v; }
#endif

// Clamped as the vector code's max and min clamp: NaN (never from a checked matrix) becomes 0.
inline uint8_t encoded(const uint8_t* encode, float linear) {
    linear = linear > 0.0f ? linear : 0.0f;
    linear = linear < 1.0f ? linear : 1.0f;
    return encode[static_cast<int>(single(single(linear * kTop) + 0.5f))];
}

void matrixRowScalar(const Transform& t, uint8_t* p, size_t count) {
    const uint8_t* encode = t.encode;
    for (size_t i = 0; i < count; ++i, p += 4) {
        const float *r = t.columns[0][p[2]], *g = t.columns[1][p[1]], *b = t.columns[2][p[0]];
        const uint8_t outR = encoded(encode, single(single(r[0] + g[0]) + b[0]));
        const uint8_t outG = encoded(encode, single(single(r[1] + g[1]) + b[1]));
        const uint8_t outB = encoded(encode, single(single(r[2] + g[2]) + b[2]));
        p[0] = outB;
        p[1] = outG;
        p[2] = outR;
    }
}

#ifdef VEK_SIMD_X86
// A pixel a step, its three channels in one register: three rows loaded and summed, clamped as
// the scalar code clamps (max returns its second operand, 0, for NaN), and three table lookups.
// Loads where gathers would be: gathers are slow on some processors, and the rows stay in cache.
__attribute__((target("sse2"))) void matrixRowSse2(const Transform& t, uint8_t* p, size_t count) {
    const __m128 zero = _mm_setzero_ps(), one = _mm_set1_ps(1.0f), top = _mm_set1_ps(kTop), half = _mm_set1_ps(0.5f);
    const uint8_t* encode = t.encode;
    for (size_t i = 0; i < count; ++i, p += 4) {
        const uint32_t px = loadU32le(p);
        __m128 v = _mm_add_ps(
            _mm_add_ps(_mm_loadu_ps(t.columns[0][(px >> 16) & 0xFF]), _mm_loadu_ps(t.columns[1][(px >> 8) & 0xFF])),
            _mm_loadu_ps(t.columns[2][px & 0xFF]));
        v = _mm_min_ps(_mm_max_ps(v, zero), one);
        const __m128i index = _mm_cvttps_epi32(_mm_add_ps(_mm_mul_ps(v, top), half));
        storeWord(p, (px & 0xFF000000u) | (uint32_t{encode[_mm_cvtsi128_si32(index)]} << 16) |
                         (uint32_t{encode[_mm_extract_epi16(index, 2)]} << 8) | encode[_mm_extract_epi16(index, 4)]);
    }
}

// Two pixels' encode-table indices (red, green, blue, and a fourth lane unused, each), as the SSE2
// path computes them one at a time.
__attribute__((target("avx2"))) inline __m256i matrixTwoAvx2(const Transform& t, uint32_t a, uint32_t b) {
    const __m256 v =
        _mm256_add_ps(_mm256_add_ps(_mm256_loadu2_m128(t.columns[0][(b >> 16) & 0xFF], t.columns[0][(a >> 16) & 0xFF]),
                                    _mm256_loadu2_m128(t.columns[1][(b >> 8) & 0xFF], t.columns[1][(a >> 8) & 0xFF])),
                      _mm256_loadu2_m128(t.columns[2][b & 0xFF], t.columns[2][a & 0xFF]));
    const __m256 clamped = _mm256_min_ps(_mm256_max_ps(v, _mm256_setzero_ps()), _mm256_set1_ps(1.0f));
    return _mm256_cvttps_epi32(_mm256_add_ps(_mm256_mul_ps(clamped, _mm256_set1_ps(kTop)), _mm256_set1_ps(0.5f)));
}

// Two pixels' encoded steps, each lane's in its word's low byte, gathered as words from the
// encoding table (padded for it).
__attribute__((target("avx2"))) inline __m256i matrixStepsAvx2(const Transform& t, const uint8_t* q) {
    const __m256i index = matrixTwoAvx2(t, loadU32le(q), loadU32le(q + 4));
    return _mm256_and_si256(_mm256_i32gather_epi32(reinterpret_cast<const int*>(t.encode), index, 1),
                            _mm256_set1_epi32(0xFF));
}

// Eight pixels a step, two in each register (no fused multiply-add: the rounding must stay the
// scalar code's): their encoded steps packed into the pixels' blue, green and red, the alpha bytes
// kept.
__attribute__((target("avx2"))) void matrixRowAvx2(const Transform& t, uint8_t* p, size_t count) {
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    // Each pixel's lanes come red, green, blue, unused: to blue, green, red, then the alpha kept.
    const __m256i toBgr = _mm256_setr_epi8(2, 1, 0, -1, 6, 5, 4, -1, 10, 9, 8, -1, 14, 13, 12, -1, 2, 1, 0, -1, 6, 5, 4,
                                           -1, 10, 9, 8, -1, 14, 13, 12, -1);
    const __m256i alpha = _mm256_set1_epi32(static_cast<int>(0xFF000000u));
    size_t i = 0;
    for (; i + 8 <= count; i += 8, p += 32) {
        // Packed twice, the pixels sit 0, 2, 4, 6 in the low half and 1, 3, 5, 7 in the high one.
        const __m256i low4 = _mm256_packus_epi32(matrixStepsAvx2(t, p), matrixStepsAvx2(t, p + 8));
        const __m256i high4 = _mm256_packus_epi32(matrixStepsAvx2(t, p + 16), matrixStepsAvx2(t, p + 24));
        const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(low4, high4), order);
        const __m256i in = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(p),
                            _mm256_or_si256(_mm256_shuffle_epi8(bytes, toBgr), _mm256_and_si256(in, alpha)));
    }
    if (i < count) matrixRowSse2(t, p, count - i);
}
#endif

// Tetrahedral interpolation in the cell at `c0` of a grid whose three inputs step by sx, sy and sz
// points, with fractions fx, fy and fz: from the cell's corner towards the opposite one, along the
// axes in order of their fractions, as LittleCMS interpolates. Returns red, green and blue in 8
// bits, packed as BGRA's low three bytes.
// Each channel in 8.2 fixed point times 256, red first.
inline void tetrahedralRaw(const uint32_t* c0, uint32_t sx, uint32_t sy, uint32_t sz, int fx, int fy, int fz,
                           int out[3]) {
    // Without branches, which noise in the low bits would make unpredictable: the first step is
    // along the axis of the largest fraction, the second adds all but the smallest's.
    const int f1 = std::max(fx, std::max(fy, fz)), f3 = std::min(fx, std::min(fy, fz)), f2 = fx + fy + fz - f1 - f3;
    const uint32_t s1 = fx == f1 ? sx : fy == f1 ? sy : sz;
    const uint32_t s2 = sx + sy + sz - (fz == f3 ? sz : fy == f3 ? sy : sx);
    const uint32_t v0 = c0[0], v1 = c0[s1], v2 = c0[s2], v3 = c0[sx + sy + sz];
    for (int ch = 0; ch < 3; ++ch) {
        const int shift = 20 - 10 * ch;
        const int a = v0 >> shift & 1023, b = v1 >> shift & 1023, c = v2 >> shift & 1023, d = v3 >> shift & 1023;
        out[ch] = a * 256 + (b - a) * f1 + (c - b) * f2 + (d - c) * f3;
    }
}

// 8.2 fixed point times 256 to 8 bits, rounded.
inline uint8_t to8(int v) { return static_cast<uint8_t>(std::clamp((v + 512) >> 10, 0, 255)); }

constexpr uint32_t kFraction = 511;

void grid3Row(const Transform& t, uint8_t* p, size_t count) {
    constexpr uint32_t n = Transform::kPoints3, sr = n * n, sg = n, sb = 1;
    const uint32_t* grid = t.grid.get();
    const uint32_t* position = t.position;
    for (size_t i = 0; i < count; ++i, p += 4) {
        const uint32_t r = position[p[2]], g = position[p[1]], b = position[p[0]];
        const uint32_t* c0 = grid + (r >> 9) * sr + (g >> 9) * sg + (b >> 9) * sb;
        int rgb[3];
        tetrahedralRaw(c0, sr, sg, sb, r & kFraction, g & kFraction, b & kFraction, rgb);
        p[0] = to8(rgb[2]);
        p[1] = to8(rgb[1]);
        p[2] = to8(rgb[0]);
    }
}

// As LittleCMS interpolates four inputs: between two cyan points, in tetrahedra of the other
// three at each.
void cmykRowScalar(const Transform& t, const uint8_t* in, uint8_t* out, size_t count, uint8_t flip) {
    constexpr uint32_t n = Transform::kPoints4, cyan = n * n * n, sm = n * n, sy = n, sk = 1;
    const uint32_t* g = t.grid.get();
    const uint32_t* position = t.position;
    for (size_t i = 0; i < count; ++i, in += 4, out += 4) {
        const uint32_t c = position[in[0] ^ flip], m = position[in[1] ^ flip], y = position[in[2] ^ flip],
                       k = position[in[3] ^ flip];
        const uint32_t* base = g + (c >> 9) * cyan + (m >> 9) * sm + (y >> 9) * sy + (k >> 9) * sk;
        int low[3], high[3];
        tetrahedralRaw(base, sm, sy, sk, m & kFraction, y & kFraction, k & kFraction, low);
        tetrahedralRaw(base + cyan, sm, sy, sk, m & kFraction, y & kFraction, k & kFraction, high);
        const int fc = c & kFraction;
        for (int ch = 0; ch < 3; ++ch) out[2 - ch] = to8(low[ch] + (((high[ch] - low[ch]) * fc) >> 8));
        out[3] = 255;
    }
}

#ifdef VEK_SIMD_X86
// The same for eight values at once: each corner's word fetched with one gather.
struct Cell {
    __m256i base, s1, s2, f1, f2, f3;
};

__attribute__((target("avx2"))) inline Cell cellOf(__m256i ix, __m256i iy, __m256i iz, __m256i fx, __m256i fy,
                                                   __m256i fz, uint32_t sx, uint32_t sy, uint32_t sz) {
    Cell c;
    const __m256i vx = _mm256_set1_epi32(static_cast<int>(sx)), vy = _mm256_set1_epi32(static_cast<int>(sy)),
                  vz = _mm256_set1_epi32(static_cast<int>(sz));
    c.base = _mm256_add_epi32(_mm256_add_epi32(_mm256_mullo_epi32(ix, vx), _mm256_mullo_epi32(iy, vy)),
                              _mm256_mullo_epi32(iz, vz));
    c.f1 = _mm256_max_epi32(fx, _mm256_max_epi32(fy, fz));
    c.f3 = _mm256_min_epi32(fx, _mm256_min_epi32(fy, fz));
    c.f2 = _mm256_sub_epi32(_mm256_add_epi32(fx, _mm256_add_epi32(fy, fz)), _mm256_add_epi32(c.f1, c.f3));
    // s1: x where fx is largest, else y where fy is, else z; s2: all but the smallest's.
    c.s1 =
        _mm256_blendv_epi8(_mm256_blendv_epi8(vz, vy, _mm256_cmpeq_epi32(fy, c.f1)), vx, _mm256_cmpeq_epi32(fx, c.f1));
    const __m256i smallest =
        _mm256_blendv_epi8(_mm256_blendv_epi8(vx, vy, _mm256_cmpeq_epi32(fy, c.f3)), vz, _mm256_cmpeq_epi32(fz, c.f3));
    c.s2 = _mm256_sub_epi32(_mm256_set1_epi32(static_cast<int>(sx + sy + sz)), smallest);
    return c;
}

// Interpolates in the cell: each channel (blue first) in 8.2 fixed point times 256.
struct Channels {
    __m256i v[3];
};
__attribute__((target("avx2"))) inline Channels interpolate(const uint32_t* grid, const Cell& c, uint32_t sAll) {
    const auto* g = reinterpret_cast<const int*>(grid);
    const __m256i v0 = _mm256_i32gather_epi32(g, c.base, 4);
    const __m256i v1 = _mm256_i32gather_epi32(g, _mm256_add_epi32(c.base, c.s1), 4);
    const __m256i v2 = _mm256_i32gather_epi32(g, _mm256_add_epi32(c.base, c.s2), 4);
    const __m256i v3 =
        _mm256_i32gather_epi32(g, _mm256_add_epi32(c.base, _mm256_set1_epi32(static_cast<int>(sAll))), 4);
    const __m256i mask = _mm256_set1_epi32(1023);
    Channels out;
    for (int ch = 0; ch < 3; ++ch) {
        const __m128i shift = _mm_cvtsi32_si128(10 * ch);
        const __m256i a = _mm256_and_si256(_mm256_srl_epi32(v0, shift), mask);
        const __m256i b = _mm256_and_si256(_mm256_srl_epi32(v1, shift), mask);
        const __m256i cc = _mm256_and_si256(_mm256_srl_epi32(v2, shift), mask);
        const __m256i d = _mm256_and_si256(_mm256_srl_epi32(v3, shift), mask);
        __m256i v = _mm256_add_epi32(_mm256_slli_epi32(a, 8), _mm256_mullo_epi32(_mm256_sub_epi32(b, a), c.f1));
        v = _mm256_add_epi32(v, _mm256_mullo_epi32(_mm256_sub_epi32(cc, b), c.f2));
        out.v[ch] = _mm256_add_epi32(v, _mm256_mullo_epi32(_mm256_sub_epi32(d, cc), c.f3));
    }
    return out;
}

// Channels rounded to 8 bits and packed as BGRA words, alpha zero.
__attribute__((target("avx2"))) inline __m256i pack(const Channels& c) {
    const __m256i round = _mm256_set1_epi32(512), zero = _mm256_setzero_si256(), top = _mm256_set1_epi32(255);
    __m256i out = zero;
    for (int ch = 0; ch < 3; ++ch) {
        const __m256i v =
            _mm256_min_epi32(_mm256_max_epi32(_mm256_srai_epi32(_mm256_add_epi32(c.v[ch], round), 10), zero), top);
        out = _mm256_or_si256(out, _mm256_sll_epi32(v, _mm_cvtsi32_si128(8 * ch)));
    }
    return out;
}

__attribute__((target("avx2"))) void grid3RowAvx2(const Transform& t, uint8_t* p, size_t count) {
    constexpr uint32_t n = Transform::kPoints3;
    const auto* position = reinterpret_cast<const int*>(t.position);
    const __m256i byte = _mm256_set1_epi32(0xFF), fraction = _mm256_set1_epi32(kFraction);
    size_t i = 0;
    for (; i + 8 <= count; i += 8, p += 32) {
        const __m256i px = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const __m256i b = _mm256_i32gather_epi32(position, _mm256_and_si256(px, byte), 4);
        const __m256i g = _mm256_i32gather_epi32(position, _mm256_and_si256(_mm256_srli_epi32(px, 8), byte), 4);
        const __m256i r = _mm256_i32gather_epi32(position, _mm256_and_si256(_mm256_srli_epi32(px, 16), byte), 4);
        const Cell c = cellOf(_mm256_srli_epi32(r, 9), _mm256_srli_epi32(g, 9), _mm256_srli_epi32(b, 9),
                              _mm256_and_si256(r, fraction), _mm256_and_si256(g, fraction),
                              _mm256_and_si256(b, fraction), n * n, n, 1);
        const __m256i rgb = pack(interpolate(t.grid.get(), c, n * n + n + 1));
        const __m256i alpha = _mm256_andnot_si256(_mm256_set1_epi32(0x00FFFFFF), px);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), _mm256_or_si256(alpha, rgb));
    }
    grid3Row(t, p, count - i);
}

__attribute__((target("avx2"))) void cmykRowAvx2(const Transform& t, const uint8_t* in, uint8_t* out, size_t count,
                                                 uint8_t flip) {
    constexpr uint32_t n = Transform::kPoints4;
    const auto* position = reinterpret_cast<const int*>(t.position);
    const __m256i byte = _mm256_set1_epi32(0xFF), fraction = _mm256_set1_epi32(kFraction),
                  inversion = _mm256_set1_epi8(static_cast<char>(flip)),
                  opaque = _mm256_set1_epi32(static_cast<int>(0xFF000000));
    size_t i = 0;
    for (; i + 8 <= count; i += 8, in += 32, out += 32) {
        const __m256i px = _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in)), inversion);
        const __m256i c = _mm256_i32gather_epi32(position, _mm256_and_si256(px, byte), 4);
        const __m256i m = _mm256_i32gather_epi32(position, _mm256_and_si256(_mm256_srli_epi32(px, 8), byte), 4);
        const __m256i y = _mm256_i32gather_epi32(position, _mm256_and_si256(_mm256_srli_epi32(px, 16), byte), 4);
        const __m256i k = _mm256_i32gather_epi32(position, _mm256_srli_epi32(px, 24), 4);
        Cell cell = cellOf(_mm256_srli_epi32(m, 9), _mm256_srli_epi32(y, 9), _mm256_srli_epi32(k, 9),
                           _mm256_and_si256(m, fraction), _mm256_and_si256(y, fraction), _mm256_and_si256(k, fraction),
                           n * n, n, 1);
        cell.base =
            _mm256_add_epi32(cell.base, _mm256_mullo_epi32(_mm256_srli_epi32(c, 9), _mm256_set1_epi32(n * n * n)));
        const Channels low = interpolate(t.grid.get(), cell, n * n + n + 1);
        cell.base = _mm256_add_epi32(cell.base, _mm256_set1_epi32(n * n * n));
        const Channels high = interpolate(t.grid.get(), cell, n * n + n + 1);
        const __m256i fc = _mm256_and_si256(c, fraction);
        Channels mixed;
        for (int ch = 0; ch < 3; ++ch)
            mixed.v[ch] = _mm256_add_epi32(
                low.v[ch], _mm256_srai_epi32(_mm256_mullo_epi32(_mm256_sub_epi32(high.v[ch], low.v[ch]), fc), 8));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_or_si256(pack(mixed), opaque));
    }
    cmykRowScalar(t, in, out, count - i, flip);
}
#endif

} // namespace

// sRGB's encoding is the same for every matrix: made once, not a power a step for each transform.
const uint8_t* encodingTable() {
    static const struct Table {
        uint8_t steps[Transform::kEncodeSteps + 3] = {}; // the AVX2 path gathers each step as a 4-byte word
        Table() {
            for (unsigned i = 0; i < Transform::kEncodeSteps; ++i) {
                const double l = i / static_cast<double>(kTop);
                const double v = l <= 0.0031308 ? l * 12.92 : 1.055 * std::pow(l, 1 / 2.4) - 0.055;
                steps[i] = static_cast<uint8_t>(std::lround(std::clamp(v, 0.0, 1.0) * 255));
            }
        }
    } table;
    return table.steps;
}

Transform::Transform(Kind kind) : encode(encodingTable()), kind_(kind) {}

void Transform::finishMatrix() {
    for (int ch = 0; ch < 3; ++ch)
        for (int v = 0; v < 256; ++v)
            for (int row = 0; row < 3; ++row)
                columns[ch][v][row] = single(matrix[row][ch] * linear[ch][v]) + (ch == 0 ? matrix[row][3] : 0.0f);
}

void Transform::bgraRow(uint8_t* pixels, size_t count, [[maybe_unused]] simd::Level kernels) const {
    switch (kind_) {
    case Kind::Matrix:
#ifdef VEK_SIMD_X86
        if (simd::allows(kernels, simd::Level::Avx2)) return matrixRowAvx2(*this, pixels, count);
        if (simd::allows(kernels, simd::Level::Sse2)) return matrixRowSse2(*this, pixels, count);
#endif
        return matrixRowScalar(*this, pixels, count);
    case Kind::Grid3:
#ifdef VEK_SIMD_X86
        if (simd::allows(kernels, simd::Level::Avx2)) return grid3RowAvx2(*this, pixels, count);
#endif
        return grid3Row(*this, pixels, count);
    case Kind::Grey:
        for (size_t i = 0; i < count; ++i, pixels += 4)
            for (int ch = 0; ch < 3; ++ch) pixels[ch] = grey[pixels[ch]];
        return;
    case Kind::Grid4: return;
    }
}

void Transform::greyRow(uint8_t* values, size_t count) const {
    if (kind_ != Kind::Grey) return;
    for (size_t i = 0; i < count; ++i) values[i] = grey[values[i]];
}

void Transform::startGrid() {
    const uint32_t n = kind_ == Kind::Grid4 ? kPoints4 : kPoints3;
    gridPoints = kind_ == Kind::Grid4 ? size_t{n} * n * n * n : size_t{n} * n * n;
    grid.reset(new uint32_t[gridPoints]); // left unset: every point is set next
    for (unsigned v = 0; v < 256; ++v) {
        // The point below v; the last point's cell is the one below it.
        const unsigned scaled = v * (n - 1) * 256 / 255;
        const unsigned index = std::min(scaled >> 8, n - 2);
        position[v] = index << 9 | (scaled - index * 256);
    }
}

VEK_NO_COVERAGE void Transform::setGridPoints(size_t first, const float* xyz, size_t count) {
    float toSrgb[3][3];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) toSrgb[r][c] = static_cast<float>(xyzToLinearSrgb().m[r][c]);
    // sRGB's encoding of linear light in 16-bit steps, in the grid's 8.2 fixed point, made once.
    static const struct Table {
        uint16_t encoded[65536];
        Table() {
            for (unsigned i = 0; i < 65536; ++i) {
                const double l = i / 65535.0;
                const double v = l <= 0.0031308 ? l * 12.92 : 1.055 * std::pow(l, 1 / 2.4) - 0.055;
                encoded[i] = static_cast<uint16_t>(std::lround(std::clamp(v, 0.0, 1.0) * 1020));
            }
        }
    } table;
    // Clamped by min and max (NaN becomes 0), then a step of the table.
    const auto step = [](float v) { return static_cast<unsigned>(std::fmin(std::fmax(v, 0.0f), 1.0f) * 65535 + 0.5f); };
    for (size_t i = 0; i < count; ++i, xyz += 3) {
        const float x = xyz[0], y = xyz[1], z = xyz[2];
        const unsigned r = step(toSrgb[0][0] * x + toSrgb[0][1] * y + toSrgb[0][2] * z);
        const unsigned g = step(toSrgb[1][0] * x + toSrgb[1][1] * y + toSrgb[1][2] * z);
        const unsigned b = step(toSrgb[2][0] * x + toSrgb[2][1] * y + toSrgb[2][2] * z);
        grid[first + i] = uint32_t{table.encoded[r]} << 20 | uint32_t{table.encoded[g]} << 10 | table.encoded[b];
    }
}

void Transform::cmykRow(const uint8_t* in, uint8_t* out, size_t count, bool inverted,
                        [[maybe_unused]] simd::Level kernels) const {
    if (kind_ != Kind::Grid4) return;
#ifdef VEK_SIMD_X86
    if (simd::allows(kernels, simd::Level::Avx2)) return cmykRowAvx2(*this, in, out, count, inverted ? 255 : 0);
#endif
    cmykRowScalar(*this, in, out, count, inverted ? 255 : 0);
}

std::shared_ptr<const Transform> transformFor(const Description& d) {
    if (d.kind != Description::Kind::Profile && d.kind != Description::Kind::Calibrated) return nullptr;
    if (d.space == Space::Cmyk) return nullptr; // the reader converts its CMYK samples itself
    return toSrgb(d, d.space);
}

RowWork rowWorkFor(const Transform* t) {
    if (t == nullptr) return {};
    // Costs against a 24-megapixel JPEG's decode (about 320 megapixels a second), from the colour
    // benchmark: a matrix half (in the band that decoded the rows, while they are in cache, a
    // tagged picture takes 1.4x the untagged one's time on one thread, and half splits two bands
    // best), an RGB grid a little more than the decode (270 megapixels a second), grey a sixth.
    const float cost = t->kind() == Transform::Kind::Matrix ? 0.5f : t->kind() == Transform::Kind::Grey ? 0.16f : 1.2f;
    return {[](const void* context, uint8_t* row, size_t pixels, simd::Level kernels) {
                static_cast<const Transform*>(context)->bgraRow(row, pixels, kernels);
            },
            t, cost};
}

void convert(const Transform* t, Image& image) {
    if (t == nullptr) return;
    switch (image.layout()) {
    case Layout::Indexed8: t->bgraRow(image.palette, 256, image.kernels()); return;
    case Layout::Gray8:
        for (int32_t y = 0; y < image.height(); ++y) t->greyRow(image.row(y), static_cast<size_t>(image.width()));
        return;
    case Layout::Bgra32: {
        const Transform& transform = *t;
        workers::forRanges(uint64_t(image.width()) * uint64_t(image.height()), static_cast<size_t>(image.height()),
                           [&](size_t first, size_t end) {
                               for (size_t y = first; y < end; ++y)
                                   transform.bgraRow(image.row(static_cast<int32_t>(y)),
                                                     static_cast<size_t>(image.width()), image.kernels());
                           });
        return;
    }
    }
}

} // namespace vek::colour
