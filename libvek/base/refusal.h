// Why a library call refuses its input, in words a user can pass on ("PNG: IHDR is not the first
// chunk"). The public calls answer with codes only; the words are kept per thread for the call that
// just ended, and vekhost asks for them through vekGetLastRefusal (imagelib/refusal.h).
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio> // MinGW names its printf flavour here

#include "imagelib/vek.h"

#ifdef __MINGW32__
#define VEK_PRINTF(text, first) __attribute__((format(__MINGW_PRINTF_FORMAT, text, first)))
#else
#define VEK_PRINTF(text, first) __attribute__((format(printf, text, first)))
#endif

namespace vek {

// Records why, unless this call has a reason already (the first check to refuse knows the most:
// the callers above it only pass its code on), and returns `code`:
//     return refuse(VEK_ERROR_DAMAGED, "PNG: IHDR is not the first chunk");
VekError refuse(VekError code, const char* format, ...) noexcept VEK_PRINTF(2, 3);

// VEK_ERROR_OUT_OF_MEMORY, saying how much was asked for.
VekError outOfMemory(size_t bytes) noexcept;

namespace refusal {

constexpr size_t kReasonBytes = 160;

struct Said {
    VekError code = VEK_OK;
    char reason[kReasonBytes] = {}; // empty when the refusal gave none
};

// A public call starts: nothing is said yet.
void begin() noexcept;
// It ends with `result`: success forgets any reason met on the way (a path tried and left), a
// failure keeps its code, with the first reason given for it.
void end(VekError result) noexcept;
// What this thread's last call said.
const Said& last() noexcept;
// Forgets a reason given on a path the caller now leaves for another.
void forget() noexcept;
// Takes a worker thread's reason over, where this thread has none.
void adopt(const Said& said) noexcept;

} // namespace refusal
} // namespace vek
