// Which vector instructions the processor has. A load (a conversion, a picture for the viewer) asks
// once and passes the answer down to every kernel it runs, which then takes the fastest path that
// answer allows; tests pass each level the machine runs in turn and hold every path to the scalar
// one. Nothing is cached: a function-local static would need the thread library's once-only guard,
// whose state a Windows DLL cannot give back when it is unloaded, and asking costs a few flag tests.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#define VEK_SIMD_X86 1
#endif

namespace simd {

// Each level includes the ones below it.
enum class Level : uint8_t { Scalar, Sse2, Ssse3, Avx2 };

inline Level detect() {
#ifdef VEK_SIMD_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return Level::Avx2;
    if (__builtin_cpu_supports("ssse3")) return Level::Ssse3;
    if (__builtin_cpu_supports("sse2")) return Level::Sse2;
#endif
    return Level::Scalar;
}

// Whether a kernel needing `need` may run at `level`.
constexpr bool allows(Level level, Level need) { return level >= need; }

constexpr const char* nameOf(Level level) {
    switch (level) {
    case Level::Scalar: return "scalar";
    case Level::Sse2: return "SSE2";
    case Level::Ssse3: return "SSSE3";
    case Level::Avx2: return "AVX2";
    }
    return "?";
}

// Every level up to what this processor runs, the scalar one first.
struct Levels {
    Level list[4];
    size_t count;
    const Level* begin() const { return list; }
    const Level* end() const { return list + count; }
};
inline Levels runnable() {
    Levels levels{{Level::Scalar, Level::Sse2, Level::Ssse3, Level::Avx2}, static_cast<size_t>(detect()) + 1};
    return levels;
}

} // namespace simd
