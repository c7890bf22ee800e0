// A layer channel's rows: raw, PackBits, ZIP or ZIP with prediction, at 8, 16 or 32 bits, decoded
// a row at a time. Rows asked for in order cost one decode each; a ZIP channel asked for a row
// above the last one starts again from its first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "imagelib/vek.h"
#include "libvek/base/bytes.h"

namespace vek::psd {

struct ChannelShape {
    uint32_t rows = 0; // the channel's rectangle
    uint32_t columns = 0;
    uint16_t depth = 8; // bits a sample
    bool wide = false;  // PSB: 4-byte PackBits row counts
    size_t rowBytes() const { return (size_t{columns} * depth + 7) / 8; }
};

// Whether a channel's bytes can hold its rows, checked without decoding anything: its
// compression is known, its raw rows or PackBits counts are there and their bytes can expand to
// the rows, ZIP data is long enough for deflate's most generous ratio.
[[nodiscard]] VekError checkChannel(ByteView data, size_t offset, size_t length, const ChannelShape& shape);

class ChannelRows {
public:
    ChannelRows();
    ~ChannelRows();
    ChannelRows(const ChannelRows&) = delete;
    ChannelRows& operator=(const ChannelRows&) = delete;

    // The channel checked by checkChannel.
    [[nodiscard]] VekError open(ByteView data, size_t offset, size_t length, const ChannelShape& shape);
    // Row `y` of the rectangle as big-endian samples; null when its data is damaged.
    const uint8_t* row(uint32_t y);

private:
    struct Zip;
    bool rleRow(uint32_t y, uint8_t* out);
    bool zipRow(uint32_t y, uint8_t* out);

    ChannelShape shape_;
    uint16_t compression_ = 0;
    ByteView payload_;
    std::vector<uint8_t> row_;
    // PackBits: the row whose data starts at rleOffset_.
    uint32_t rleNext_ = 0;
    size_t rleOffset_ = 0;
    std::unique_ptr<Zip> zip_;
};

// Samples [first, first + count) of a decoded row as floats: 8 and 16 bits over 0 to 1, 32-bit
// floats as they are.
void samplesToFloat(const uint8_t* row, uint16_t depth, size_t first, size_t count, float* out);

// PackBits into exactly `outSize` bytes; false when the data runs short or over.
bool unpackBits(const uint8_t* in, size_t inSize, uint8_t* out, size_t outSize);

} // namespace vek::psd
