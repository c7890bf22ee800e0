#include "libvek/formats/bcn.h"

#include "libvek/formats/bcn_common.h"

namespace vek::bcn {

size_t blockBytes(Codec c) { return c == Codec::Bc1 || c == Codec::Bc4 || c == Codec::Bc4Signed ? 8 : 16; }

void decodeStrip(Codec codec, const uint8_t* in, uint32_t across, uint8_t* const* rows, uint32_t rowCount,
                 uint32_t width, bool grey, simd::Level kernels) {
    switch (codec) {
    case Codec::Bc6h:
    case Codec::Bc6hSigned: return detail::stripBc6h(codec, in, across, rows, rowCount, width, grey, kernels);
    case Codec::Bc7: return detail::stripBc7(in, across, rows, rowCount, width, grey, kernels);
    default: return detail::stripBc1To5(codec, in, across, rows, rowCount, width, grey, kernels);
    }
}

} // namespace vek::bcn
