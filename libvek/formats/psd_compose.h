// Photoshop's layers composited as Photoshop draws them, for files that keep no picture of them
// (no real merged data, or merged data missing or cut short). The picture is made in bands of
// rows: each band walks the whole layer tree, decoding only its own rows of each layer into a
// band-sized canvas (one more a level of open groups), so that memory is the picture itself,
// the file and a few bands, and bands run on the workers like every other reader's rows.
#pragma once

#include <cstdint>
#include <memory>

#include "imagelib/vek.h"
#include "libvek/colour/colour.h"
#include "libvek/base/bytes.h"
#include "libvek/core/image.h"
#include "libvek/formats/psd_header.h"
#include "libvek/formats/psd_layers.h"

namespace vek::psd {

class Composition {
public:
    // The layers of a file made ready to draw: the tree built, every channel's bytes checked
    // against what its rectangle needs, fills, adjustments and vector masks read. Nothing the
    // size of the picture is allocated. VEK_ERROR_UNSUPPORTED for colour modes without layers
    // to composite (Lab, indexed, bitmap, multichannel) and for files with no visible layer.
    [[nodiscard]] static VekError prepare(ByteView data, const Header& h, const LayerSection& section,
                                          const colour::Description& colour, std::unique_ptr<Composition>& out);
    ~Composition();

    // Whether the picture may have transparency: false when an opaque layer covers the canvas
    // under everything else.
    bool hasAlpha() const;
    // Composites into `image`: BGRA, alpha where hasAlpha says; CMYK through `cmyk` where given.
    [[nodiscard]] VekError render(const LoadOptions& options, const colour::Transform* cmyk, Image& image) const;

    struct Impl;

private:
    explicit Composition(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

} // namespace vek::psd
