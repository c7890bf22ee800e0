// A Windows DLL built here carries its own copy of the C++ runtime, and with it the runtime's
// emergency exception pool (about 70 KB), which is not freed when the DLL is unloaded. A viewer
// that loads and drops the plug-in again and again would lose that much each time, so each DLL
// hands the pool back at unload.
#pragma once

#include <cstddef>  // defines __GLIBCXX__ when the runtime is libstdc++

#if defined(_WIN32) && defined(__GLIBCXX__)
namespace __gnu_cxx {
void __freeres() noexcept;
}
inline void releaseRuntimeMemory() { __gnu_cxx::__freeres(); }
#else
inline void releaseRuntimeMemory() {}
#endif
