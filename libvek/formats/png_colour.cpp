#include "libvek/formats/png_colour.h"

#include <libdeflate.h>

#include <cmath>
#include <cstring>
#include <memory>

namespace vek::png {
namespace {

bool intact(ByteView data, const ColourChunks::Chunk& c) {
    if (!c.present) return false;
    const uint8_t* type = data.data + c.offset - 4;
    return libdeflate_crc32(0, type, c.length + 4) == loadU32be(data.data + c.offset + c.length);
}

struct Decompressor {
    libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    ~Decompressor() {
        if (d != nullptr) libdeflate_free_decompressor(d);
    }
};

// The profile of an iCCP chunk: a name of 1 to 79 bytes, its terminating zero, method 0 (zlib), and
// the zlib stream. The output grows until the profile fits or passes the largest allowed.
bool inflateProfile(ByteView data, const ColourChunks::Chunk& c, std::vector<uint8_t>& profile) {
    const uint8_t* p = data.data + c.offset;
    const auto* zero = static_cast<const uint8_t*>(std::memchr(p, 0, std::min<size_t>(c.length, 80)));
    if (zero == nullptr || zero == p) return false;
    const size_t header = static_cast<size_t>(zero - p) + 2;
    if (header > c.length || zero[1] != 0) return false;
    Decompressor inflater;
    if (inflater.d == nullptr) return false;
    for (size_t room = size_t{64} << 10;; room *= 8) {
        room = std::min(room, colour::kMaxProfileBytes);
        profile.resize(room);
        size_t size = 0;
        const libdeflate_result r =
            libdeflate_zlib_decompress(inflater.d, p + header, c.length - header, profile.data(), room, &size);
        if (r == LIBDEFLATE_SUCCESS) {
            profile.resize(size);
            return true;
        }
        if (r != LIBDEFLATE_INSUFFICIENT_SPACE || room == colour::kMaxProfileBytes) return false;
    }
}

double fixed5(const uint8_t* p) { return loadU32be(p) / 100000.0; }

// sRGB's primaries and white with a gamma of 1/2.2, which ImageMagick and other writers put in
// every PNG they write, say sRGB: as libpng, such pictures are shown as stored.
bool describesSrgb(const colour::Description& d) {
    const double srgb[4][2] = {{0.3127, 0.3290}, {0.64, 0.33}, {0.30, 0.60}, {0.15, 0.06}};
    const double* given[4] = {d.white, d.red, d.green, d.blue};
    for (int i = 0; i < 4; ++i)
        if (std::fabs(given[i][0] - srgb[i][0]) > 0.0015 || std::fabs(given[i][1] - srgb[i][1]) > 0.0015) return false;
    return d.gamma[0] > 100000 / 46000.0 && d.gamma[0] < 100000 / 45000.0;
}

} // namespace

void ColourChunks::note(ByteView data, size_t offset, size_t length) {
    const uint8_t* type = data.data + offset - 4;
    Chunk* c = std::memcmp(type, "iCCP", 4) == 0   ? &iccp
               : std::memcmp(type, "sRGB", 4) == 0 ? &srgb
               : std::memcmp(type, "cHRM", 4) == 0 ? &chrm
               : std::memcmp(type, "gAMA", 4) == 0 ? &gama
                                                   : nullptr;
    if (c != nullptr && !c->present) *c = {offset, length, true};
}

void describeColour(ByteView data, const ColourChunks& chunks, colour::Description& d) {
    try {
        if (intact(data, chunks.iccp) && inflateProfile(data, chunks.iccp, d.profile)) {
            d.kind = colour::Description::Kind::Profile;
            return;
        }
        d.profile.clear();
    } catch (const std::bad_alloc&) { // the picture stays untagged
        d.profile.clear();
        return;
    }
    if (intact(data, chunks.srgb) && chunks.srgb.length == 1) {
        d.kind = colour::Description::Kind::Srgb;
        return;
    }
    if (intact(data, chunks.chrm) && chunks.chrm.length == 32 && intact(data, chunks.gama) && chunks.gama.length == 4 &&
        loadU32be(data.data + chunks.gama.offset) != 0) {
        const uint8_t* c = data.data + chunks.chrm.offset;
        double* xy[4] = {d.white, d.red, d.green, d.blue};
        for (int i = 0; i < 4; ++i) {
            xy[i][0] = fixed5(c + 8 * i);
            xy[i][1] = fixed5(c + 8 * i + 4);
        }
        // gAMA is the encoding exponent; decoding raises to its inverse.
        const double gamma = 1 / fixed5(data.data + chunks.gama.offset);
        d.gamma[0] = d.gamma[1] = d.gamma[2] = gamma;
        d.kind = describesSrgb(d) ? colour::Description::Kind::Srgb : colour::Description::Kind::Calibrated;
    }
}

} // namespace vek::png
