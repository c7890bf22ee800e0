// What a fast path did, said outright: not taken (the general path decodes the picture), done, or
// failed with a code that stands (a failed allocation: the general path would fare no better).
#pragma once

#include <cstdint>

#include "imagelib/vek.h"

namespace vek {

struct FastPath {
    enum class Outcome : uint8_t { NotTaken, Done, Failed };
    Outcome outcome = Outcome::NotTaken;
    VekError code = VEK_OK;

    static FastPath notTaken() { return {}; }
    static FastPath done() { return {Outcome::Done, VEK_OK}; }
    static FastPath failed(VekError code) { return {Outcome::Failed, code}; }
    bool taken() const { return outcome != Outcome::NotTaken; }
};

} // namespace vek
