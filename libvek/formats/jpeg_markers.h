// JPEG's markers by name, and one cursor that every walk over them uses: the header walk, the copy of
// the header for bands, the profile reader, the scan counter and the restart finder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "libvek/base/bytes.h"

namespace vek::jpeg {

// The byte after a 0xFF.
enum Marker : uint8_t {
    kStuffed = 0x00, // inside entropy-coded data: a data byte 0xFF, not a marker
    kTem = 0x01,
    kSof0 = 0xC0,
    kDht = 0xC4,
    kJpg = 0xC8,
    kDac = 0xCC,
    kSof15 = 0xCF,
    kRst0 = 0xD0,
    kRst7 = 0xD7,
    kSoi = 0xD8,
    kEoi = 0xD9,
    kSos = 0xDA,
    kApp1 = 0xE1,
    kApp2 = 0xE2,
    kApp14 = 0xEE, // Adobe's: says the colour space
    kApp15 = 0xEF,
    kCom = 0xFE,
    kFill = 0xFF, // fill before a marker
};

constexpr bool isRestart(uint8_t m) { return m >= kRst0 && m <= kRst7; }
// Markers with no length and no segment after them.
constexpr bool isStandalone(uint8_t m) { return m == kTem || (m >= kRst0 && m <= kEoi); }
// A start of frame: SOF0 to SOF15 but the tables and the extension that share their range.
constexpr bool isFrame(uint8_t m) { return m >= kSof0 && m <= kSof15 && m != kDht && m != kJpg && m != kDac; }

constexpr size_t kNone = SIZE_MAX;

// A position in a JPEG at a marker's 0xFF. Nothing is read past the data: a segment's length is
// there once hasLength() says so, and skip() may leave the position past the end, where the next
// find fails.
class MarkerCursor {
public:
    MarkerCursor(ByteView d, size_t at) : d_(d), at_(at) {}

    // To the first marker at or after the position that starts a segment or stands alone (not fill,
    // not a stuffed zero, not a restart marker), looking at most `limit` bytes ahead.
    bool find(size_t limit = SIZE_MAX) {
        if (at_ >= d_.size) return false;
        const size_t end = d_.size - at_ > limit ? at_ + limit : d_.size;
        while (at_ + 1 < end) {
            if (!toNextFF(end)) return false;
            const uint8_t next = marker();
            if (next != kStuffed && next != kFill && !isRestart(next)) return true;
            ++at_;
        }
        return false;
    }

    // Inside entropy-coded data: to the next marker, restart markers included.
    bool findInData() {
        while (at_ + 1 < d_.size) {
            if (!toNextFF(d_.size)) return false;
            const uint8_t next = marker();
            if (next == kFill)
                ++at_;
            else if (next == kStuffed)
                at_ += 2;
            else
                return true;
        }
        return false;
    }

    size_t at() const { return at_; }
    uint8_t marker() const { return d_.data[at_ + 1]; }
    bool hasLength() const { return at_ + 4 <= d_.size; }
    // The segment's length field, which counts itself; only where hasLength().
    size_t length() const { return loadU16be(d_.data + at_ + 2); }
    const uint8_t* body() const { return d_.data + at_ + 4; }
    // Past the marker and its segment.
    void skip() { at_ += isStandalone(marker()) ? 2 : 2 + length(); }

private:
    bool toNextFF(size_t end) {
        const auto* p = static_cast<const uint8_t*>(std::memchr(d_.data + at_, kFill, end - 1 - at_));
        if (p == nullptr) return false;
        at_ = static_cast<size_t>(p - d_.data);
        return true;
    }

    ByteView d_;
    size_t at_;
};

} // namespace vek::jpeg
