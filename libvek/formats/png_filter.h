// PNG's row filters undone: Sub, Average and Paeth on three- and four-byte pixels with SSE2 (a pixel
// at a time, the one to its left kept in a register), Up sixteen bytes at a time, the rest scalar.
#pragma once

#include <cstddef>
#include <cstdint>

#include "support/simd.h"

namespace vek::png {

// The filter type in the byte that begins each row.
enum Filter : uint8_t { kFilterNone = 0, kFilterSub = 1, kFilterUp = 2, kFilterAverage = 3, kFilterPaeth = 4 };

// Bytes the buffers need beyond a row's end: pixel words are read and written whole.
constexpr size_t kUnfilterPadding = 16;

// One row: `in` its filter byte and n filtered bytes, `prev` the row above unfiltered (zeros above
// the first), into `out`, bpp bytes a pixel. False on a filter byte out of range.
bool unfilter(const uint8_t* in, const uint8_t* prev, uint8_t* out, size_t n, size_t bpp, simd::Level kernels);

} // namespace vek::png
