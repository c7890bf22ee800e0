// Layered Photoshop files drawn from their layers whatever their merged picture says: the layer
// records, descriptors, channels, masks, paths, fills, adjustments and the compositor.
#include <cstdint>
#include <memory>

#include "libvek/colour/colour.h"
#include "libvek/formats/psd_compose.h"
#include "libvek/formats/psd_header.h"
#include "libvek/formats/psd_layers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vek;
    const ByteView view{data, size};
    psd::Header h;
    psd::LayerSection section;
    std::unique_ptr<psd::Composition> composition;
    if (psd::readHeader(view, h) != VEK_OK || psd::readLayers(view, h, section) != VEK_OK) return 0;
    if (psd::Composition::prepare(view, h, section, colour::Description{}, composition) != VEK_OK) return 0;
    LoadOptions options;
    options.maxPixels = uint64_t{1} << 20;
    Image image;
    (void)composition->render(options, nullptr, image);
    return 0;
}
