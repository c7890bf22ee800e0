#include "imagelib/vek.h"
#include "support/runtime_memory.h"
#include "plugin/plugin.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    // The library's own result is not examined: the plug-in stays loaded whatever it says.
    switch (reason) {
    case DLL_PROCESS_ATTACH: vekLibraryInit(); break;
    case DLL_PROCESS_DETACH:
        vekLibraryExit();
        // Only an unload, not the end of the process, leaves memory behind worth returning.
        if (reserved == nullptr) releaseRuntimeMemory(instance);
        break;
    default: break;
    }
    return TRUE;
}
