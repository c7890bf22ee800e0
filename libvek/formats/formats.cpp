#include "libvek/formats/formats.h"

namespace vek {
namespace {

// Signature-checked readers first; a format without a signature would have to come last.
const FormatReader* const kReaders[] = {&kPngReader, &kJpegReader, &kGifReader, &kBmpReader, &kPsdReader, &kDdsReader, &kTgaReader};

} // namespace

const FormatReader* findReader(ByteView data, int32_t formatIndex) {
    for (const FormatReader* reader : kReaders) {
        if (formatIndex != VEK_FORMAT_DETECT && reader->index != formatIndex) continue;
        if (reader->sniff(data)) return reader;
    }
    return nullptr;
}

} // namespace vek
