// Linux has no module notification: the shared object's constructor and destructor deliver the
// process attach and detach that Windows gives a DLL's entry point.
#include "platform/platform.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

namespace {
__attribute__((constructor)) void moduleAttach() { DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr); }
__attribute__((destructor)) void moduleDetach() { DllMain(nullptr, DLL_PROCESS_DETACH, nullptr); }
} // namespace
