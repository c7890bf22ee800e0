// Photoshop headers: the file header, the colour mode data, the image resources the reader uses
// and where the merged image starts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "imagelib/vek.h"
#include "libvek/base/bytes.h"
#include "libvek/core/image.h"
#include "libvek/formats/psd_colour.h"

namespace vek::psd {

enum Mode : uint16_t {
    kBitmap = 0,
    kGrey = 1,
    kIndexed = 2,
    kRgb = 3,
    kCmyk = 4,
    kMultichannel = 7,
    kDuotone = 8,
    kLab = 9,
};

struct Header {
    uint16_t version = 1; // 2 for PSB
    uint16_t channels = 0;
    uint32_t height = 0, width = 0;
    uint16_t depth = 0, mode = 0;
    ByteView colourModeData;
    ByteView profile; // image resource 1039, an ICC profile
    uint16_t xDpi = 0, yDpi = 0;
    int transparentIndex = -1;
    bool mergedAlpha = false;              // the first extra channel holds the merged picture's transparency
    bool realMergedData = true;            // image resource 1057: the merged picture is the layers' composite
    size_t layersStart = 0, layersEnd = 0; // the layer and mask section, past its length
    size_t imageData = 0;                  // offset of the image data section
    std::vector<ChannelDisplay> display;   // for each channel past the mode's own, in order
    bool displayFrom1077 = false;

    // Multichannel pictures are inks on paper: their channels with a spot display colour, from the
    // first on. None known: the first channel alone, as grey.
    unsigned inkChannels() const {
        if (mode != kMultichannel) return 0;
        unsigned n = 0;
        while (n < display.size() && n < channels && display[n].spot) ++n;
        return n;
    }
};

bool sniffSignature(ByteView data);
// The channels of a mode's own colours.
unsigned colourChannels(uint16_t mode);
// The header, or a code saying why it cannot be read.
[[nodiscard]] VekError readHeader(ByteView data, Header& h);
// What the information query reports.
void describe(ByteView data, const Header& h, ImageInfo& info);

} // namespace vek::psd
