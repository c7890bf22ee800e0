// A Windows DLL built here carries its own copy of the C++ runtime and of the POSIX thread library,
// and both keep state that is not released when the DLL is unloaded. A viewer that loads and drops
// the plug-in again and again would lose it each time, so each DLL hands it back at unload:
// - the runtime's emergency exception pool (about 70 KB);
// - the thread library's record of the unloading thread (a duplicated thread handle and an event),
//   made on that thread's first use of thread-specific data (32-bit frame registration, exception
//   state) and otherwise closed only when the thread ends. Its own thread-detach callback does that.
#pragma once

#include <cstddef> // defines __GLIBCXX__ when the runtime is libstdc++

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#endif

#if defined(_WIN32) && defined(__GLIBCXX__)
namespace __gnu_cxx {
void __freeres() noexcept;
}
extern "C" PIMAGE_TLS_CALLBACK __xl_f; // the thread library's TLS callback
inline void releaseRuntimeMemory(HINSTANCE module) {
    __xl_f(module, DLL_THREAD_DETACH, nullptr);
    __gnu_cxx::__freeres();
}
#else
inline void releaseRuntimeMemory(void*) {}
#endif
