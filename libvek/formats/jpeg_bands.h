// A sequential JPEG with restart markers decoded in bands on worker threads. At a restart marker the
// decoder starts afresh (DC predictions reset), so the data from one marker on, behind a copy of the
// headers whose frame is only as tall as the band, is a JPEG of its own that libjpeg-turbo decodes
// unmodified. Each band is decoded with one segment more above and below than it keeps, so that the
// chroma upsampling at its edges sees the rows the whole picture's decode sees: the pixels are the
// same.
#pragma once

#include "libvek/base/bytes.h"
#include "libvek/core/image.h"
#include "libvek/formats/jpeg_session.h"

namespace vek::jpeg {

// Decodes into `image` (allocated, the picture's size) when the picture has bands to spread and
// its data is sound: one interleaved scan (or one grey component), restart markers in order and as
// many as its restart interval gives, and no band with a warning. False otherwise: the caller then
// decodes the picture whole, and every row it writes replaces the bands'.
bool decodeInBands(ByteView data, size_t firstScan, const jpeg_decompress_struct& header, bool cmyk,
                   const colour::Transform* cmykProfile, Image& image);

// A sequential Huffman-coded picture without restart markers, in bands: each band's decoder reads
// the whole data and skips to its first row (libjpeg-turbo's jpeg_skip_scanlines decodes only the
// entropy-coded data of the rows it skips, and the iMCU row above where the chroma upsampling needs
// it as context: the rows are the whole decode's). Lower bands pay for their skip, so they are
// shorter: all end at about the same time. False where there is nothing to spread or a band meets a
// warning; the caller then decodes the picture whole.
bool decodeBySkipping(ByteView data, const jpeg_decompress_struct& header, bool cmyk,
                      const colour::Transform* cmykProfile, Image& image);

} // namespace vek::jpeg
