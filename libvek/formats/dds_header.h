// DirectDraw Surface headers: the pixel format a legacy or DX10 header names, as a kind the
// reader decodes, and where the pixels start.
#pragma once

#include <cstddef>
#include <cstdint>

#include "imagelib/vek.h"
#include "libvek/base/bytes.h"
#include "libvek/formats/bcn.h"

namespace vek::dds {

enum class Kind {
    Bc1,
    Bc2,
    Bc3,
    Bc4,
    Bc4Signed,
    Bc5,
    Bc5Signed,
    Bc6h,
    Bc6hSigned,
    Bc7,
    Masked,      // legacy uncompressed: bit masks
    Rgba16Unorm, // 16 bits a channel
    Rgba16Float,
    Rgb10A2,
};

struct PixelFormat {
    Kind kind = Kind::Masked;
    unsigned bitsPerPixel = 0; // uncompressed only
    uint32_t masks[4] = {};    // red, green, blue, alpha
    bool luminance = false;    // the red mask is grey
    bool hasAlpha = false;
    bool premultiplied = false; // colour stored multiplied by alpha (DXT2, DXT4, or a DX10 header's say)
    uint16_t infoBits = 8, infoComponents = 4;
};

struct Header {
    uint32_t width = 0, height = 0;
    PixelFormat format;
    size_t dataOffset = 0;
};

bool sniffSignature(ByteView data);
// The header, or a code saying why it cannot be read.
[[nodiscard]] VekError readHeader(ByteView data, Header& h);

inline bool blockCompressed(Kind k) { return k <= Kind::Bc7; }
// The block kinds come first in Kind, in the order of the codecs.
static_assert(static_cast<int>(Kind::Bc7) == static_cast<int>(bcn::Codec::Bc7) &&
              static_cast<int>(Kind::Bc4Signed) == static_cast<int>(bcn::Codec::Bc4Signed));
inline bcn::Codec codecOf(Kind k) { return static_cast<bcn::Codec>(static_cast<int>(k)); }
inline size_t blockBytes(Kind k) { return bcn::blockBytes(codecOf(k)); }

} // namespace vek::dds
