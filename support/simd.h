// Which vector instructions the processor has, asked where a vector path is chosen: every vector
// path in the plug-in and the library chooses through here. Asked on every call, which costs two
// flag tests after the first: a cached answer in a function-local static would need the thread
// library's once-only guard, whose state a Windows DLL cannot give back when it is unloaded.
#pragma once

#include <atomic>

#if defined(__x86_64__) || defined(__i386__)
#define VEK_SIMD_X86 1
#endif

namespace simd {

enum class Feature { Sse2, Ssse3, Avx2 };

// Off, every optional vector path answers no, so that tests can hold each against its scalar twin.
inline std::atomic<bool> vectorsAllowed{true};
inline void allowVectors(bool allow) { vectorsAllowed.store(allow, std::memory_order_relaxed); }

inline bool supports([[maybe_unused]] Feature feature) {
#ifdef VEK_SIMD_X86
    if (!vectorsAllowed.load(std::memory_order_relaxed)) return false;
    __builtin_cpu_init();
    switch (feature) {
    case Feature::Sse2: return __builtin_cpu_supports("sse2") != 0;
    case Feature::Ssse3: return __builtin_cpu_supports("ssse3") != 0;
    case Feature::Avx2: return __builtin_cpu_supports("avx2") != 0;
    }
#endif
    return false;
}

} // namespace simd
