// The operating-system seam of the plug-in and the host: on Windows the system's own functions, on
// Linux a small library with the same names and contracts, so that the plug-in source is the same.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else

#include <stddef.h>
#include <stdint.h>

#if defined(__i386__)
#define WINAPI __attribute__((__stdcall__))
#else
#define WINAPI
#endif

#ifdef VEK_BUILDING_PLATFORM
#define PLATFORM_EXPORT __attribute__((visibility("default")))
#else
#define PLATFORM_EXPORT
#endif

typedef void* HLOCAL;
typedef void* HINSTANCE;
typedef void* LPVOID;
typedef int BOOL;
typedef uint32_t DWORD;
typedef unsigned int UINT;
typedef size_t SIZE_T;
// Windows' wide characters are UTF-16 units; wchar_t is 32 bits wide here.
typedef char16_t WCHAR;

#define TRUE 1
#define FALSE 0
#define LMEM_FIXED 0x0000u
#define LMEM_MOVEABLE 0x0002u
#define LMEM_ZEROINIT 0x0040u
#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

#ifdef __cplusplus
extern "C" {
#endif

// Only movable blocks exist here: the handle is never the data pointer, as on Windows.
PLATFORM_EXPORT HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes);
PLATFORM_EXPORT void* WINAPI LocalLock(HLOCAL handle);
PLATFORM_EXPORT BOOL WINAPI LocalUnlock(HLOCAL handle);
PLATFORM_EXPORT HLOCAL WINAPI LocalFree(HLOCAL handle); // null on success, the handle on failure
PLATFORM_EXPORT SIZE_T WINAPI LocalSize(HLOCAL handle);
PLATFORM_EXPORT char* WINAPI lstrcpynA(char* destination, const char* source, int length);
PLATFORM_EXPORT int WINAPI lstrlenA(const char* text);
PLATFORM_EXPORT WCHAR* WINAPI lstrcpynW(WCHAR* destination, const WCHAR* source, int length);
PLATFORM_EXPORT int WINAPI lstrlenW(const WCHAR* text);

// Test hooks. A count of N makes the Nth call from now fail (1 the next one); 0 turns it off.
PLATFORM_EXPORT void platformFailLocalAllocAt(int n);
PLATFORM_EXPORT void platformFailLocalLockAt(int n);
PLATFORM_EXPORT int platformLiveBlocks(void);
PLATFORM_EXPORT int platformHeldLocks(void);
// Calls on handles that are not live (a second free, a lock after free, a stray pointer) and
// unlocks of blocks that hold no lock.
PLATFORM_EXPORT int platformMisuses(void);
PLATFORM_EXPORT void platformResetCounters(void);

#ifdef __cplusplus
}
#endif

#endif
