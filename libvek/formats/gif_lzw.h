// GIF's LZW, for the data giflib does not read: minimum code sizes 9 to 11 (whose literals may
// exceed 255) and data whose last sub-block the file cuts short, which giflib refuses even when
// every pixel arrived before the cut.
#pragma once

#include <cstddef>
#include <cstdint>

#include "imagelib/vek.h"
#include "libvek/base/bytes.h"

namespace vek::gif {

// The most pixels LZW data of this many bytes can produce: each code is at least codeSize + 1 bits,
// and the n-th code after a clear stands for at most n pixels (at most 4096).
uint64_t mostPixels(uint64_t dataBytes, int codeSize);

// Codes of growing width up to 12 bits, least significant bit first, in sub-blocks, handed out a
// row at a time.
class Lzw {
public:
    Lzw(ByteReader& reader, int minCodeSize)
        : reader_(reader),
          minCodeSize_(minCodeSize),
          clear_(1 << minCodeSize),
          codeSize_(minCodeSize + 1),
          next_(clear_ + 2) {}

    // The next count values; VEK_ERROR_DAMAGED when the data ends, or holds a code it cannot,
    // before they are all there.
    [[nodiscard]] VekError row(uint16_t* out, size_t count);

private:
    static constexpr int kCodes = 4096;

    [[nodiscard]] bool read(int& code);

    ByteReader& reader_;
    const int minCodeSize_;
    const int clear_;
    int codeSize_;
    int next_;
    int previous_ = -1;
    uint16_t first_ = 0;
    bool ended_ = false;
    uint32_t bits_ = 0;
    int held_ = 0;
    unsigned blockLeft_ = 0;
    int pending_ = 0;
    uint16_t prefix_[kCodes] = {};
    uint16_t suffix_[kCodes] = {};
    uint16_t stack_[kCodes + 1] = {};
};

} // namespace vek::gif
