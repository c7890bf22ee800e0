// A viewer as common viewer code is written: it loads a plug-in with plain LoadLibraryA(full path),
// without any search-path flag, and decodes one picture through GetPicture.
//   plain_host PLUGIN PICTURE
// Prints the picture's size and an FNV-1a hash of its pixel block, or why it could not.
#include <cstdint>
#include <cstdio>

#include "plugin/plugin.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: plain_host PLUGIN PICTURE\n");
        return 2;
    }
    HMODULE module = LoadLibraryA(argv[1]);
    if (module == nullptr) {
        std::printf("LoadLibraryA failed, error %lu\n", GetLastError());
        return 3;
    }
    auto getPicture =
        reinterpret_cast<decltype(&GetPicture)>(reinterpret_cast<void*>(GetProcAddress(module, "GetPicture")));
    HLOCAL header = nullptr, pixels = nullptr;
    const int result = getPicture ? getPicture(argv[2], 0, 0, &header, &pixels, nullptr, 0) : -1;
    if (result != 0) {
        std::printf("GetPicture returned %d\n", result);
        FreeLibrary(module);
        return 4;
    }
    const auto* bih = static_cast<const BITMAPINFOHEADER*>(LocalLock(header));
    const auto* bytes = static_cast<const uint8_t*>(LocalLock(pixels));
    uint32_t hash = 2166136261u;
    for (SIZE_T i = 0, n = LocalSize(pixels); i < n; ++i) hash = (hash ^ bytes[i]) * 16777619u;
    std::printf("decoded %ld x %ld, pixels fnv1a %08x\n", static_cast<long>(bih->biWidth),
                static_cast<long>(bih->biHeight), hash);
    LocalUnlock(pixels);
    LocalUnlock(header);
    LocalFree(pixels);
    LocalFree(header);
    FreeLibrary(module);
    return 0;
}
