#include "fuzz/fuzz_library.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    decodeAll(data, size, VEK_FORMAT_PNG);
    return 0;
}
