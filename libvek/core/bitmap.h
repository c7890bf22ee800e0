// The bitmaps the library hands out: each a LibraryBitmap at the head of an object the library
// owns, registered so that a stray or repeated free is refused rather than fatal. Pixels never
// change once loaded, so a conversion to the layout a bitmap already has shares its memory.
#pragma once

#include "imagelib/vek.h"
#include "libvek/core/image.h"

namespace vek {

// A loaded picture handed out, its rows in the order given.
[[nodiscard]] VekError publishImage(const Image& image, uint16_t rowOrigin, LibraryBitmap** out);
// Mode 23: BGRA, straight alpha, rows without gaps in the source's order. BAD_ARGUMENT for a
// bitmap that is not one of ours.
[[nodiscard]] VekError convertToBgra(LibraryBitmap* source, LibraryBitmap** out);
// Whether the pointer is a live bitmap of ours.
bool ownsBitmap(LibraryBitmap* bitmap);
// False for a pointer that is not a live bitmap of ours.
bool freeBitmap(LibraryBitmap* bitmap);

} // namespace vek
