// What a PNG says about its colours: an embedded profile (iCCP), sRGB, or primaries with a gamma
// (cHRM with gAMA), in that order of precedence. A chunk whose CRC fails, or a profile that does not
// inflate within the size allowed, counts as absent.
#pragma once

#include "libvek/colour/colour.h"
#include "libvek/base/bytes.h"

namespace vek::png {

struct ColourChunks {
    struct Chunk {
        size_t offset = 0, length = 0; // the chunk's data
        bool present = false;
    };
    Chunk iccp, srgb, chrm, gama;

    // Notes a chunk met before the picture data (the first of each kind counts).
    void note(ByteView data, size_t offset, size_t length);
};

void describeColour(ByteView data, const ColourChunks& chunks, colour::Description& d);

} // namespace vek::png
