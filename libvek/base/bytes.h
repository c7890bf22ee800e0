// One bounded view of a picture's bytes. Every read can fail; nothing reads past the end or
// returns zeros that are not there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vek {

struct ByteView {
    const uint8_t* data = nullptr;
    size_t size = 0;

    bool startsWith(const void* prefix, size_t n) const { return size >= n && std::memcmp(data, prefix, n) == 0; }
    ByteView from(size_t offset) const {
        return offset <= size ? ByteView{data + offset, size - offset} : ByteView{data + size, 0};
    }
};

class ByteReader {
public:
    explicit ByteReader(ByteView view) : view_(view) {}

    size_t position() const { return position_; }
    size_t remaining() const { return view_.size - position_; }
    bool has(size_t n) const { return n <= remaining(); }
    [[nodiscard]] bool seek(size_t offset) {
        if (offset > view_.size) return false;
        position_ = offset;
        return true;
    }
    [[nodiscard]] bool skip(size_t n) {
        if (!has(n)) return false;
        position_ += n;
        return true;
    }
    // A pointer to the next n bytes, which are then consumed; null when fewer remain.
    [[nodiscard]] const uint8_t* take(size_t n) {
        if (!has(n)) return nullptr;
        const uint8_t* p = view_.data + position_;
        position_ += n;
        return p;
    }
    [[nodiscard]] bool u8(uint8_t& v) {
        const uint8_t* p = take(1);
        if (!p) return false;
        v = p[0];
        return true;
    }
    [[nodiscard]] bool u16le(uint16_t& v) {
        const uint8_t* p = take(2);
        if (!p) return false;
        v = static_cast<uint16_t>(p[0] | (p[1] << 8));
        return true;
    }
    [[nodiscard]] bool u16be(uint16_t& v) {
        const uint8_t* p = take(2);
        if (!p) return false;
        v = static_cast<uint16_t>((p[0] << 8) | p[1]);
        return true;
    }
    [[nodiscard]] bool u32le(uint32_t& v) {
        const uint8_t* p = take(4);
        if (!p) return false;
        v = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
            (static_cast<uint32_t>(p[3]) << 24);
        return true;
    }
    [[nodiscard]] bool u32be(uint32_t& v) {
        const uint8_t* p = take(4);
        if (!p) return false;
        v = (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
            (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
        return true;
    }
    [[nodiscard]] bool u64be(uint64_t& v) {
        uint32_t hi, lo;
        if (!u32be(hi) || !u32be(lo)) return false;
        v = (static_cast<uint64_t>(hi) << 32) | lo;
        return true;
    }
    [[nodiscard]] bool i32le(int32_t& v) {
        uint32_t u;
        if (!u32le(u)) return false;
        v = static_cast<int32_t>(u);
        return true;
    }

private:
    ByteView view_;
    size_t position_ = 0;
};

inline uint16_t loadU16le(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t loadU32le(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
inline uint16_t loadU16be(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline uint32_t loadU32be(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

} // namespace vek
