// The library's Windows entry notification: at an unload (not at the end of the process) its kept
// pixel buffers and its copy of the runtime's memory go back to the system.
#ifdef _WIN32
#include "libvek/core/image.h"
#include "libvek/system/memory.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        vek::PixelStore::releaseKeptBuffers();
        releaseRuntimeMemory(instance);
    }
    return TRUE;
}
#endif
