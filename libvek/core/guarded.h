// Runs an entry point's body, or a piece of work, with nothing escaping it. The library throws nothing of its own; what
// the standard containers may throw is named for what it is.
#pragma once

#include <new>
#include <stdexcept>
#include <utility>

#include "imagelib/vek.h"
#include "libvek/base/refusal.h"

namespace vek {

// `doing` names the step for the reason ("out of memory unpacking rows"); the one place that
// turns an exception into a code, for the entry points and for work on the library's threads.
template <typename Body> VekError guarded(const char* doing, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return refuse(VEK_ERROR_OUT_OF_MEMORY, "out of memory%s%s", *doing ? " " : "", doing);
    } catch (const std::length_error&) {
        return refuse(VEK_ERROR_TOO_LARGE, "a size past what memory can hold");
    } catch (...) {
        return refuse(VEK_ERROR_INTERNAL, "an unforeseen failure inside the library");
    }
}

template <typename Body> VekError guarded(Body&& body) noexcept { return guarded("", std::forward<Body>(body)); }

} // namespace vek
