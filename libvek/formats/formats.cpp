#include "libvek/formats/formats.h"

namespace vek {
namespace {

// Signature-checked readers first, then the two without a signature, each on strict checks: a
// headerless DIB, whose info header is the more telling, before TGA.
const FormatReader* const kReaders[] = {&kPngReader, &kJpegReader, &kGifReader, &kBmpReader,
                                        &kPsdReader, &kDdsReader, &kDibReader, &kTgaReader};

} // namespace

const FormatReader* findReader(ByteView data, int32_t formatIndex) {
    for (const FormatReader* reader : kReaders) {
        if (formatIndex != VEK_FORMAT_DETECT && reader->index != formatIndex) continue;
        if (reader->sniff(data)) return reader;
    }
    return nullptr;
}

} // namespace vek
