#include "libvek/base/refusal.h"

#include <cstdio>

namespace vek {
namespace {

thread_local refusal::Said said;

} // namespace

VekError refuse(VekError code, const char* format, ...) noexcept {
    if (said.code != VEK_OK || said.reason[0] != '\0') return code;
    said.code = code;
    va_list args;
    va_start(args, format);
    std::vsnprintf(said.reason, sizeof said.reason, format, args);
    va_end(args);
    return code;
}

VekError outOfMemory(size_t bytes) noexcept {
    return refuse(VEK_ERROR_OUT_OF_MEMORY, "out of memory: %.1f MiB asked for", static_cast<double>(bytes) / (1 << 20));
}

namespace refusal {

void begin() noexcept { forget(); }

void end(VekError result) noexcept {
    if (result == VEK_OK)
        forget();
    else
        said.code = result;
}

const Said& last() noexcept { return said; }

void forget() noexcept {
    said.code = VEK_OK;
    said.reason[0] = '\0';
}

void adopt(const Said& other) noexcept {
    if (said.reason[0] == '\0' && other.reason[0] != '\0') said = other;
}

} // namespace refusal
} // namespace vek
