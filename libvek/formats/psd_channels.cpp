// Layer channel data, as Adobe's file format document lays it out ("Channel image data").
#include "libvek/formats/psd_channels.h"

#include <zlib.h>

#include <cstring>

#include "libvek/base/limits.h"

namespace vek::psd {
namespace {

enum Compression : uint16_t { kRaw = 0, kPackBits = 1, kZip = 2, kZipPredicted = 3 };

// Deflate expands a byte to at most 1032.
constexpr uint64_t kDeflateMostRatio = 1032;

// Undoes ZIP prediction in one row: each sample stored as its difference from the one before;
// 32-bit rows also have their bytes split into four planes (all first bytes, then all second...).
void unpredict(uint8_t* row, size_t rowBytes, uint16_t depth, size_t columns, std::vector<uint8_t>& scratch) {
    switch (depth) {
    case 8:
        for (size_t i = 1; i < rowBytes; ++i) row[i] = static_cast<uint8_t>(row[i] + row[i - 1]);
        return;
    case 16:
        for (size_t i = 1; i < columns; ++i) {
            const unsigned v = loadU16be(row + i * 2) + loadU16be(row + (i - 1) * 2);
            row[i * 2] = static_cast<uint8_t>(v >> 8);
            row[i * 2 + 1] = static_cast<uint8_t>(v);
        }
        return;
    case 32: {
        for (size_t i = 1; i < rowBytes; ++i) row[i] = static_cast<uint8_t>(row[i] + row[i - 1]);
        scratch.assign(row, row + rowBytes);
        for (size_t i = 0; i < columns; ++i)
            for (size_t b = 0; b < 4; ++b) row[i * 4 + b] = scratch[b * columns + i];
        return;
    }
    default: return;
    }
}

} // namespace

bool unpackBits(const uint8_t* in, size_t inSize, uint8_t* out, size_t outSize) {
    size_t i = 0, o = 0;
    while (o < outSize && i < inSize) {
        const uint8_t n = in[i++];
        if (n < 128) {
            const size_t count = n + 1u;
            if (i + count > inSize || o + count > outSize) return false;
            std::memcpy(out + o, in + i, count);
            i += count;
            o += count;
        } else if (n > 128) {
            const size_t count = 257u - n;
            if (i >= inSize || o + count > outSize) return false;
            std::memset(out + o, in[i++], count);
            o += count;
        }
    }
    return o == outSize;
}

struct ChannelRows::Zip {
    z_stream stream{};
    bool started = false;
    uint32_t next = 0; // the row the stream produces next
    bool damaged = false;
    std::vector<uint8_t> scratch;

    ~Zip() {
        if (started) inflateEnd(&stream);
    }
    bool restart(ByteView payload) {
        if (started) inflateEnd(&stream);
        stream = z_stream{};
        started = inflateInit(&stream) == Z_OK;
        // zlib counts in 32 bits; larger channels are refused by checkChannel's caller's caps.
        stream.next_in = const_cast<Bytef*>(payload.data);
        stream.avail_in = static_cast<uInt>(std::min<size_t>(payload.size, UINT32_MAX));
        next = 0;
        return started;
    }
    bool produce(uint8_t* out, size_t bytes) {
        stream.next_out = out;
        stream.avail_out = static_cast<uInt>(bytes);
        while (stream.avail_out > 0) {
            const int e = inflate(&stream, Z_SYNC_FLUSH);
            if (e == Z_STREAM_END) return stream.avail_out == 0;
            if (e != Z_OK) return false;
        }
        return true;
    }
};

ChannelRows::ChannelRows() = default;
ChannelRows::~ChannelRows() = default;

VekError channelDamaged(const char* what) { return refuse(VEK_ERROR_DAMAGED, "PSD: a layer channel %s", what); }

VekError checkChannel(ByteView data, size_t offset, size_t length, const ChannelShape& shape) {
    if (shape.rows == 0 || shape.columns == 0) return VEK_OK;
    if (length < 2 || offset > data.size || length > data.size - offset) return channelDamaged("runs past the file");
    const uint16_t compression = loadU16be(data.data + offset);
    const size_t size = length - 2;
    const uint8_t* p = data.data + offset + 2;
    const size_t rowBytes = shape.rowBytes();
    size_t all;
    if (!checkedMultiply(rowBytes, shape.rows, all))
        return refuse(VEK_ERROR_TOO_LARGE, "PSD: a layer channel does not fit the address space");
    switch (compression) {
    case kRaw: return size >= all ? VekError{VEK_OK} : channelDamaged("is shorter than its rows");
    case kPackBits: {
        const size_t countBytes = shape.wide ? 4 : 2;
        if (size / countBytes < shape.rows) return channelDamaged("ends inside its row byte counts");
        // A count byte and a literal byte make at most 128 bytes: each row's bytes must reach.
        uint64_t total = 0;
        const uint64_t least = (rowBytes + 127) / 128 * 2;
        for (uint32_t y = 0; y < shape.rows; ++y) {
            const uint32_t n = countBytes == 4 ? loadU32be(p + y * 4) : loadU16be(p + y * 2);
            if (n < least && rowBytes > 0) return channelDamaged("has a PackBits row too short for its width");
            total += n;
        }
        return total <= size - shape.rows * countBytes ? VekError{VEK_OK}
                                                       : channelDamaged("is shorter than its row byte counts");
    }
    case kZip:
    case kZipPredicted:
        if (size > UINT32_MAX) return refuse(VEK_ERROR_TOO_LARGE, "PSD: a layer channel of %zu bytes", size);
        return uint64_t{size} * kDeflateMostRatio >= all ? VekError{VEK_OK}
                                                         : channelDamaged("is too short to inflate to its rows");
    default: return refuse(VEK_ERROR_UNSUPPORTED, "PSD: layer channel compression %u", compression);
    }
}

VekError ChannelRows::open(ByteView data, size_t offset, size_t length, const ChannelShape& shape) {
    if (VekError e = checkChannel(data, offset, length, shape)) return e;
    shape_ = shape;
    if (shape.rows == 0 || shape.columns == 0) return VEK_OK;
    compression_ = loadU16be(data.data + offset);
    payload_ = {data.data + offset + 2, length - 2};
    row_.resize(shape.rowBytes());
    rleNext_ = 0;
    rleOffset_ = size_t{shape.rows} * (shape.wide ? 4 : 2);
    if (compression_ >= kZip) zip_ = std::make_unique<Zip>();
    return VEK_OK;
}

bool ChannelRows::rleRow(uint32_t y, uint8_t* out) {
    const bool wide = shape_.wide;
    auto count = [&](uint32_t i) -> size_t {
        return wide ? loadU32be(payload_.data + size_t{i} * 4) : loadU16be(payload_.data + size_t{i} * 2);
    };
    if (y < rleNext_) { // back to the top: the offsets are a running sum
        rleNext_ = 0;
        rleOffset_ = size_t{shape_.rows} * (wide ? 4 : 2);
    }
    for (; rleNext_ < y; ++rleNext_) rleOffset_ += count(rleNext_);
    const size_t n = count(y);
    if (rleOffset_ > payload_.size || n > payload_.size - rleOffset_) return false;
    return unpackBits(payload_.data + rleOffset_, n, out, row_.size());
}

bool ChannelRows::zipRow(uint32_t y, uint8_t* out) {
    Zip& z = *zip_;
    if (z.damaged) return false;
    if (z.started && y + 1 == z.next) return true; // the row already in the buffer
    if (!z.started || y < z.next)
        if (!z.restart(payload_)) return false;
    for (; z.next <= y; ++z.next) {
        if (!z.produce(out, row_.size())) {
            z.damaged = true;
            return false;
        }
    }
    if (compression_ == kZipPredicted) unpredict(out, row_.size(), shape_.depth, shape_.columns, z.scratch);
    return true;
}

const uint8_t* ChannelRows::row(uint32_t y) {
    if (y >= shape_.rows) return nullptr;
    uint8_t* out = row_.data();
    switch (compression_) {
    case kRaw: return payload_.data + size_t{y} * row_.size();
    case kPackBits: return rleRow(y, out) ? out : nullptr;
    default: return zipRow(y, out) ? out : nullptr;
    }
}

void samplesToFloat(const uint8_t* row, uint16_t depth, size_t first, size_t count, float* out) {
    switch (depth) {
    case 8: {
        const uint8_t* p = row + first;
        for (size_t i = 0; i < count; ++i) out[i] = p[i] * (1.0f / 255.0f);
        return;
    }
    case 16: {
        const uint8_t* p = row + first * 2;
        for (size_t i = 0; i < count; ++i) out[i] = loadU16be(p + i * 2) * (1.0f / 65535.0f);
        return;
    }
    case 32: {
        const uint8_t* p = row + first * 4;
        for (size_t i = 0; i < count; ++i) {
            const uint32_t bits = loadU32be(p + i * 4);
            float f;
            std::memcpy(&f, &bits, 4);
            out[i] = f == f ? f : 0.0f; // NaN is nothing
        }
        return;
    }
    default: { // 1 bit: a set bit is black
        for (size_t i = 0; i < count; ++i) {
            const size_t x = first + i;
            out[i] = (row[x / 8] >> (7 - x % 8)) & 1 ? 0.0f : 1.0f;
        }
        return;
    }
    }
}

} // namespace vek::psd
