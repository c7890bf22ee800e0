// Runs an entry point's body with nothing escaping it. The library throws nothing of its own; what
// the standard containers may throw is named for what it is.
#pragma once

#include <new>
#include <stdexcept>

#include "imagelib/vek.h"
#include "libvek/base/refusal.h"

namespace vek {

template <typename Body> VekError guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return refuse(VEK_ERROR_OUT_OF_MEMORY, "out of memory");
    } catch (const std::length_error&) {
        return refuse(VEK_ERROR_TOO_LARGE, "a size past what memory can hold");
    } catch (...) {
        return refuse(VEK_ERROR_INTERNAL, "an unforeseen failure inside the library");
    }
}

} // namespace vek
