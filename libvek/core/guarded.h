// Runs an entry point's body with nothing escaping it. The library throws nothing of its own; what
// the standard containers may throw is named for what it is.
#pragma once

#include <new>
#include <stdexcept>

#include "imagelib/vek.h"

namespace vek {

template <typename Body> VekError guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return VEK_ERROR_OUT_OF_MEMORY;
    } catch (const std::length_error&) {
        return VEK_ERROR_TOO_LARGE;
    } catch (...) {
        return VEK_ERROR_INTERNAL;
    }
}

} // namespace vek
