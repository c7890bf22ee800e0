// Calls each of a 32-bit plug-in's ten exports (the five and their UTF-16 twins) with the stack 0, 4, 8 and 12 bytes away from 16-byte
// alignment at the call, as hosts built with other compilers call, and checks that each export
// removes exactly its own argument bytes (stdcall) and calls back with stdcall too. Qemu enforces SSE
// alignment, so code that assumes an aligned incoming stack faults here.
//   stack_driver PLUGIN PICTURE...
// The picture exports take each picture, from its file and from memory. Exit status 0 when every call was right; 1 when one was wrong; 3 on a fault.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "plugin/plugin.h"
#include "tests/read_bytes.h"

#if !defined(__i386__)
#error "the stack driver exercises the 32-bit calling convention"
#endif

namespace {

// vek_call_misaligned(fn, args, count, offset, &removed): pushes count 32-bit arguments (args[0]
// last, so it lands first) with esp % 16 == offset at the call, calls fn, and stores how many bytes
// the callee took off the stack. The callee's return value comes back unchanged.
extern "C" uint32_t vekCallMisaligned(const void* fn, const uint32_t* args, uint32_t count, uint32_t offset,
                                      uint32_t* removed) __asm__("vek_call_misaligned");
__asm__(R"(
    .text
    .globl vek_call_misaligned
vek_call_misaligned:
    pushl %ebp
    movl %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    movl 12(%ebp), %esi
    movl 16(%ebp), %ecx
    leal 0(,%ecx,4), %ebx
    movl %esp, %edx
    subl %ebx, %edx
    subl 20(%ebp), %edx
    andl $15, %edx
    subl %edx, %esp
1:  testl %ecx, %ecx
    jz 2f
    decl %ecx
    pushl (%esi,%ecx,4)
    jmp 1b
2:  movl %esp, %edi
    call *8(%ebp)
    movl %esp, %ecx
    subl %edi, %ecx
    movl 24(%ebp), %edx
    movl %ecx, (%edx)
    leal -12(%ebp), %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret
)");

const char* g_current = ""; // the call under way, for the fault report
uint32_t g_offset = 0;

LONG CALLBACK reportFault(EXCEPTION_POINTERS* e) {
    std::printf("%-15s offset %2u: FAULT %08lx at %p\n", g_current, g_offset,
                static_cast<unsigned long>(e->ExceptionRecord->ExceptionCode), e->ExceptionRecord->ExceptionAddress);
    std::fflush(stdout);
    ExitProcess(3);
    return EXCEPTION_CONTINUE_SEARCH;
}

constexpr int32_t kCallbackData = 0x5eedf00d;
std::vector<int> g_progress;
bool g_callbackArgsRight = true;

int PLUGIN_API progress(int numerator, int denominator, intptr_t data) {
    g_progress.push_back(numerator);
    if (denominator != 100 || data != kCallbackData) g_callbackArgsRight = false;
    return 0;
}

uint32_t word(const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: stack_driver PLUGIN PICTURE...\n");
        return 2;
    }
    AddVectoredExceptionHandler(1, reportFault);
    HMODULE module = LoadLibraryExA(argv[1], nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module == nullptr) {
        std::printf("cannot load %s: error %lu\n", argv[1], GetLastError());
        return 1;
    }
    int wrong = 0;
    struct Export {
        const char* name;
        uint32_t argumentBytes;
    };
    for (const Export& e :
         {Export{"GetPluginInfo", 12}, Export{"IsSupported", 8}, Export{"GetPictureInfo", 16}, Export{"GetPicture", 28},
          Export{"GetPreview", 28}, Export{"GetPluginInfoW", 12}, Export{"IsSupportedW", 8},
          Export{"GetPictureInfoW", 16}, Export{"GetPictureW", 28}, Export{"GetPreviewW", 28}}) {
        const void* fn = reinterpret_cast<const void*>(GetProcAddress(module, e.name));
        if (fn == nullptr) {
            std::printf("%-15s missing\n", e.name);
            ++wrong;
            continue;
        }
        const bool takesPicture = e.argumentBytes >= 16;
        for (int p = 2; p < (takesPicture ? argc : 3); ++p)
            for (uint32_t offset : {0u, 4u, 8u, 12u}) {
                const char* picture = argv[p];
                const std::vector<uint8_t> bytes = takesPicture ? readBytes(picture) : std::vector<uint8_t>(1);
                if (bytes.empty()) {
                    std::printf("cannot read %s\n", picture);
                    return 1;
                }
                g_current = e.name;
                g_offset = offset;
                g_progress.clear();
                g_callbackArgsRight = true;
                char text[80] = {};
                const bool wide = e.name[std::strlen(e.name) - 1] == 'W';
                wchar_t wideText[80] = {};
                wchar_t widePicture[MAX_PATH] = {};
                MultiByteToWideChar(CP_ACP, 0, picture, -1, widePicture, MAX_PATH);
                PictureInfo info;
                std::memset(&info, 0, sizeof info);
                HLOCAL header = nullptr, pixels = nullptr;
                const bool memory = offset & 4; // half the calls take the picture from memory
                const uint32_t name = wide ? word(widePicture) : word(picture);
                const uint32_t sourceArgs[3] = {memory ? word(bytes.data()) : name, static_cast<uint32_t>(bytes.size()),
                                                memory ? 1u : 0u};
                std::vector<uint32_t> args;
                int32_t expected = 0;
                const std::string base(e.name, std::strlen(e.name) - (wide ? 1 : 0));
                if (base == "GetPluginInfo") {
                    args = {1, wide ? word(wideText) : word(text), 80};
                    expected = static_cast<int32_t>(std::strlen("VEK Bridge Ver 0.00 (VEK SDK Ver 3.40)"));
                } else if (base == "IsSupported") {
                    args = {wide ? word(L"C:\\pictures\\a.png") : word("C:\\pictures\\a.png"), 0};
                    expected = 2;
                } else if (base == "GetPictureInfo") {
                    args = {sourceArgs[0], sourceArgs[1], sourceArgs[2], word(&info)};
                } else {
                    args = {sourceArgs[0],
                            sourceArgs[1],
                            sourceArgs[2],
                            word(&header),
                            word(&pixels),
                            word(reinterpret_cast<const void*>(&progress)),
                            static_cast<uint32_t>(kCallbackData)};
                }
                uint32_t removed = 0;
                const int32_t result = static_cast<int32_t>(
                    vekCallMisaligned(fn, args.data(), static_cast<uint32_t>(args.size()), offset, &removed));
                bool right = removed == e.argumentBytes && result == expected;
                std::printf("%-15s offset %2u: removed %2u of %2u bytes, result %d", e.name, offset, removed,
                            e.argumentBytes, result);
                if (takesPicture) {
                    const char* slash = std::strrchr(picture, '/');
                    std::printf(", %s from %s", slash ? slash + 1 : picture, memory ? "memory" : "file");
                }
                if (base == "GetPictureInfo") {
                    std::printf(", %d x %d", info.width, info.height);
                    right = right && info.width > 0 && info.height > 0;
                }
                if (header != nullptr) {
                    const auto* bih = static_cast<const BITMAPINFOHEADER*>(LocalLock(header));
                    std::printf(", %ld x %ld, progress", static_cast<long>(bih->biWidth),
                                static_cast<long>(bih->biHeight));
                    for (int n : g_progress) std::printf(" %d", n);
                    right = right && bih->biBitCount == 32 && g_callbackArgsRight &&
                            g_progress == std::vector<int>{0, 33, 66, 100};
                    LocalUnlock(header);
                    LocalFree(header);
                    LocalFree(pixels);
                }
                if (e.argumentBytes == 28 && header == nullptr) {
                    std::printf(", no picture");
                    right = false;
                }
                std::printf("%s\n", right ? "  ok" : "  WRONG");
                if (!right) ++wrong;
            }
    }
    FreeLibrary(module);
    std::printf("%s\n", wrong ? "some calls were wrong" : "every call removed its own arguments");
    return wrong ? 1 : 0;
}
