// GetPicture on a memory block, as a viewer hands over a file it has read itself.
#include <cstdint>

#include "plugin/plugin.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    HLOCAL header = nullptr, pixels = nullptr;
    if (GetPicture(reinterpret_cast<const char*>(data), static_cast<int32_t>(size), 1, &header, &pixels, nullptr, 0) ==
        Success) {
        LocalFree(header);
        LocalFree(pixels);
    }
    PictureInfo info;
    GetPictureInfo(reinterpret_cast<const char*>(data), static_cast<int32_t>(size), 1, &info);
    return 0;
}
