// One reader's fuzz target, built once for each row of the formats' table: VEK_FUZZ_FORMAT names it.
#include <string_view>

#include "fuzz/fuzz_library.h"
#include "libvek/formats/table.h"

namespace {

constexpr int32_t formatIndex() {
#define VEK_FUZZ_INDEX(name, index, label, extensions) \
    if (std::string_view(#name) == VEK_FUZZ_FORMAT) return index;
    VEK_FORMATS(VEK_FUZZ_INDEX)
#undef VEK_FUZZ_INDEX
    return VEK_FORMAT_DETECT;
}
static_assert(formatIndex() != VEK_FORMAT_DETECT, "VEK_FUZZ_FORMAT names no format of the table");

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    decodeAll(data, size, formatIndex());
    return 0;
}
