// The readers, one row each: a strict signature check, a header-only query and a full load.
#pragma once

#include "libvek/core/bytes.h"
#include "libvek/core/image.h"

namespace vek {

struct FormatReader {
    int32_t index;
    const char* name;
    bool (*sniff)(ByteView data);
    VekError (*query)(ByteView data, ImageInfo& info);
    VekError (*load)(ByteView data, const LoadOptions& options, Image& image);
};

// The reader for data: the one the index names, or with VEK_FORMAT_DETECT the first whose signature
// matches (readers without a signature come last). Null when none takes it.
const FormatReader* findReader(ByteView data, int32_t formatIndex);

extern const FormatReader kBmpReader;
extern const FormatReader kDdsReader;
extern const FormatReader kDibReader;  // headerless BMP
extern const FormatReader kGifReader;
extern const FormatReader kJpegReader;
extern const FormatReader kPngReader;
extern const FormatReader kPsdReader;
extern const FormatReader kTgaReader;

} // namespace vek
