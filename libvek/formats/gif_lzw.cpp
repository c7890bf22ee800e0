#include "libvek/formats/gif_lzw.h"

#include "libvek/base/refusal.h"

namespace vek::gif {

uint64_t mostPixels(uint64_t dataBytes, int codeSize) {
    const uint64_t codes = dataBytes * 8 / static_cast<uint64_t>(codeSize + 1);
    constexpr uint64_t kLongest = 4096;
    if (codes <= kLongest) return codes * (codes + 1) / 2;
    return kLongest * (kLongest + 1) / 2 + (codes - kLongest) * kLongest;
}

VekError Lzw::row(uint16_t* out, size_t count) {
    size_t written = 0;
    while (written < count) {
        while (pending_ > 0 && written < count) out[written++] = stack_[--pending_];
        if (written == count) break;
        if (ended_) return refuse(VEK_ERROR_DAMAGED, "GIF: the LZW data ends before the frame's last pixel");
        int code;
        if (!read(code)) return refuse(VEK_ERROR_DAMAGED, "GIF: the file ends inside the LZW data");
        if (code == clear_) {
            codeSize_ = minCodeSize_ + 1;
            next_ = clear_ + 2;
            previous_ = -1;
            continue;
        }
        if (code == clear_ + 1) {
            ended_ = true;
            continue;
        }
        if (previous_ < 0 ? code > clear_ : (code > next_ || (code == next_ && next_ >= kCodes)))
            return refuse(VEK_ERROR_DAMAGED, "GIF: LZW code %d before the table holds it", code);
        // A code not yet in the table stands for the previous string and its first value.
        int c = code;
        if (previous_ >= 0 && code == next_) {
            stack_[pending_++] = first_;
            c = previous_;
        }
        for (; c >= clear_; c = prefix_[c]) stack_[pending_++] = suffix_[c];
        stack_[pending_++] = static_cast<uint16_t>(c); // the root: a literal
        first_ = static_cast<uint16_t>(c);
        if (previous_ >= 0 && next_ < kCodes) {
            prefix_[next_] = static_cast<uint16_t>(previous_);
            suffix_[next_] = first_;
            if (++next_ == (1 << codeSize_) && codeSize_ < 12) ++codeSize_;
        }
        previous_ = code;
    }
    return VEK_OK;
}

bool Lzw::read(int& code) {
    while (held_ < codeSize_) {
        if (blockLeft_ == 0) {
            uint8_t length;
            if (!reader_.u8(length) || length == 0) return false;
            blockLeft_ = length;
        }
        uint8_t byte;
        if (!reader_.u8(byte)) return false;
        --blockLeft_;
        bits_ |= static_cast<uint32_t>(byte) << held_;
        held_ += 8;
    }
    code = static_cast<int>(bits_ & ((1u << codeSize_) - 1));
    bits_ >>= codeSize_;
    held_ -= codeSize_;
    return true;
}

} // namespace vek::gif
