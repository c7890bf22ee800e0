// A deliberately wrong 32-bit plug-in, so that the stack driver is seen to catch what it looks for:
// GetPluginInfo is cdecl (it leaves its arguments on the stack), and GetPicture and GetPreview are
// compiled to trust a 16-byte aligned incoming stack, so their SSE spill faults when a host calls
// them otherwise. IsSupported and GetPictureInfo are right.
#include <windows.h>

#include <cstdint>
#include <initializer_list>

// Declared here, not taken from the plug-in's header, whose declarations would impose stdcall.
#define CONTROL_EXPORT extern "C" __declspec(dllexport)
#define PLUGIN_API __attribute__((__stdcall__))
typedef int(PLUGIN_API* ProgressCallback)(int numerator, int denominator, int32_t data);
struct PictureInfo;

CONTROL_EXPORT int GetPluginInfo(int32_t, char* out, int32_t length) {
    const char text[] = "VEK Bridge Ver 0.00 (VEK SDK Ver 3.40)";
    lstrcpynA(out, text, length);
    return static_cast<int>(sizeof text - 1);
}

CONTROL_EXPORT int PLUGIN_API IsSupported(const char*, intptr_t) { return 2; }

CONTROL_EXPORT int PLUGIN_API GetPictureInfo(const char*, int32_t, uint32_t, PictureInfo* info) {
    const int32_t oneByOne[2] = {1, 1}; // width and height, at offsets 8 and 12
    CopyMemory(reinterpret_cast<char*>(info) + 8, oneByOne, sizeof oneByOne);
    return 0;
}

namespace {

// A 1 x 1 picture, with the progress asks a real decode makes.
__attribute__((noinline)) int deliver(HLOCAL* header, HLOCAL* pixels, ProgressCallback progress, int32_t data) {
    for (int step : {0, 33, 66}) progress(step, 100, data);
    *header = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, 44);
    *pixels = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, 4);
    auto* bih = static_cast<BITMAPINFOHEADER*>(LocalLock(*header));
    bih->biSize = 40;
    bih->biWidth = 1;
    bih->biHeight = 1;
    bih->biPlanes = 1;
    bih->biBitCount = 32;
    LocalUnlock(*header);
    progress(100, 100, data);
    return 0;
}

} // namespace

// What a compiler that trusts an aligned stack makes of a 16-byte spill: from an aligned caller esp is
// 12 past a multiple of 16 here, so 28 bytes down it is aligned, and movaps may store there.
extern "C" void spillAligned() __asm__("vek_spill_aligned");
__asm__(R"(
    .text
vek_spill_aligned:
    subl $28, %esp
    movaps %xmm0, (%esp)
    addl $28, %esp
    ret
)");

// Built with -mincoming-stack-boundary=4 -mno-stackrealign: the export keeps the alignment it was
// given for the spill, which faults unless the host called it with an aligned stack.
CONTROL_EXPORT int PLUGIN_API GetPicture(const char*, int32_t, uint32_t, HLOCAL* header, HLOCAL* pixels,
                                         ProgressCallback progress, int32_t data) {
    spillAligned();
    return deliver(header, pixels, progress, data);
}

CONTROL_EXPORT int PLUGIN_API GetPreview(const char*, int32_t, uint32_t, HLOCAL* header, HLOCAL* pixels,
                                         ProgressCallback progress, int32_t data) {
    spillAligned();
    return deliver(header, pixels, progress, data);
}
