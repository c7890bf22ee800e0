// The readers. A format's `open` parses a picture's header once into a decoder, which reports the
// information and later loads the pixels: a query followed by a load reads each header once.
#pragma once

#include <memory>

#include "libvek/colour/colour.h"
#include "libvek/base/bytes.h"
#include "libvek/base/limits.h"
#include "libvek/base/refusal.h"
#include "libvek/core/image.h"

namespace vek {

class Decoder {
public:
    // `format` names the reader in what its refusals say ("PNG").
    Decoder(ByteView data, const char* format) : data_(data), format_(format) {}
    virtual ~Decoder() = default;
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    // The file's own description, as the information query reports it.
    const ImageInfo& info() const { return info_; }
    // What the file says about its colours: the load converts them to sRGB after decoding.
    const colour::Description& colour() const { return colour_; }
    // The pixels, in the storage layout the reader chooses: the picture's size is held to the
    // caller's and the library's limits before the reader decodes. A decoder loads once.
    [[nodiscard]] VekError load(const LoadOptions& options, Image& image) {
        if (loaded_) return refuse(VEK_ERROR_INTERNAL, "%s: a decoder loads once", format_);
        loaded_ = true;
        if (VekError e = checkDimensions(format_, info_.width, info_.height, options.maxPixels)) return e;
        return decode(options, image);
    }
    // What the information query answers beyond a sound header: a reader may already know that the
    // data cannot hold the picture (the load, which knows the caller's limits, checks those first).
    [[nodiscard]] virtual VekError queryVerdict() const { return VEK_OK; }

protected:
    // The reader's own part of a load, once the picture's size is within the limits.
    [[nodiscard]] virtual VekError decode(const LoadOptions& options, Image& image) = 0;

    ByteView data_;
    const char* format_;
    ImageInfo info_;
    colour::Description colour_;

private:
    bool loaded_ = false;
};

using DecoderPtr = std::unique_ptr<Decoder>;

struct Format {
    int32_t index;          // VEK_FORMAT_*
    const char* name;       // what the information record reports
    const char* extensions; // space-separated, lower case
    // A strict signature check; `late` ones (formats without a signature, on a strict check of
    // their header instead) are tried after every signature has been.
    bool (*sniff)(ByteView data);
    bool (*sniffLate)(ByteView data);
    VekError (*open)(ByteView data, DecoderPtr& decoder);
};

// The format of the data: the one the index names, or with VEK_FORMAT_DETECT the first whose
// signature matches. Null when none takes it.
const Format* findFormat(ByteView data, int32_t formatIndex);

// Whether a file-name extension (without its dot, any case) is one of a format's.
template <typename Char> bool extensionIsRead(const Char* extension);

// Each format's own: its signature checks and its `open`.
#define VEK_DECLARE_FORMAT(name, index, label, extensions)               \
    namespace name##_format {                                            \
        bool sniff(ByteView data);                                       \
        bool sniffLate(ByteView data);                                   \
        [[nodiscard]] VekError open(ByteView data, DecoderPtr& decoder); \
    }
#include "libvek/formats/table.h"
VEK_FORMATS(VEK_DECLARE_FORMAT)
#undef VEK_DECLARE_FORMAT

} // namespace vek
