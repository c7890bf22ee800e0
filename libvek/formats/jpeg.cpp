// JPEG on libjpeg-turbo's libjpeg API. Grey, YCbCr and RGB decode straight to BGRX, so the BGRA
// conversion has nothing left to do; CMYK and YCCK are turned to RGB row by row.
#include <algorithm>
#include <memory>

#include "libvek/base/limits.h"
#include "libvek/formats/formats.h"
#include "libvek/formats/jpeg_bands.h"
#include "libvek/formats/jpeg_session.h"

namespace vek {
namespace {

using namespace jpeg;

uint16_t clampDpi(unsigned value) { return value > 65535 ? 65535 : static_cast<uint16_t>(value); }

void describe(const jpeg_decompress_struct& cinfo, ImageInfo& info) {
    info.width = static_cast<int32_t>(cinfo.image_width);
    info.height = static_cast<int32_t>(cinfo.image_height);
    info.bitsPerComponent = static_cast<uint16_t>(cinfo.data_precision);
    info.componentsPerPixel = static_cast<uint16_t>(cinfo.num_components);
    info.compression = cinfo.arith_code ? 2u : cinfo.progressive_mode ? 1u : 0u;
    if (cinfo.saw_JFIF_marker && cinfo.density_unit == 1) {
        info.xDpi = clampDpi(cinfo.X_density);
        info.yDpi = clampDpi(cinfo.Y_density);
    } else if (cinfo.saw_JFIF_marker && cinfo.density_unit == 2) {
        info.xDpi = clampDpi((cinfo.X_density * 254u + 50u) / 100u);
        info.yDpi = clampDpi((cinfo.Y_density * 254u + 50u) / 100u);
    }
}

// libjpeg looks for each marker past any amount of garbage, so a large file of junk behind a JPEG
// signature would be read whole before it is refused. The markers before the first scan are walked
// here first, cheaply: a few stray bytes before a marker are tolerated (libjpeg warns and skips
// them; some writers leave padding), a run longer than this is not a JPEG.
constexpr size_t kMaxStrayBytes = 64 * 1024;
// The segments before the first scan (profiles, thumbnails, metadata) may take this much.
constexpr size_t kMaxHeaderBytes = size_t{32} << 20;

// Where the first scan's marker is, when well-formed segments lead to it past a frame header; kNone
// when they do not.
size_t firstScan(ByteView d) {
    MarkerCursor c(d, 2);
    bool frame = false;
    while (c.find(kMaxStrayBytes)) {
        if (c.at() > kMaxHeaderBytes || !c.hasLength()) return kNone;
        const uint8_t marker = c.marker();
        if (marker == kSos) return frame ? c.at() : kNone;
        if (marker == kEoi) return kNone;
        if (isFrame(marker)) frame = true;
        if (!isStandalone(marker) && c.length() < 2) return kNone;
        c.skip();
    }
    return kNone;
}

// An ICC profile split over APP2 segments before the first scan, each behind "ICC_PROFILE\0", its
// sequence number (from 1) and the count: their data in sequence order. A set with a gap, a repeat
// or counts that disagree is no profile.
bool readProfile(ByteView d, size_t firstScan, std::vector<uint8_t>& profile) {
    static const char kTag[] = "ICC_PROFILE"; // with its terminating zero, 12 bytes
    struct Piece {
        const uint8_t* data = nullptr;
        size_t size = 0;
    };
    std::vector<Piece> pieces;
    size_t total = 0;
    // The walk that found the first scan has checked every segment's length up to it.
    for (MarkerCursor c(d, 2); c.find(kMaxStrayBytes) && c.at() < firstScan; c.skip()) {
        if (c.marker() != kApp2 || c.length() < 16 || std::memcmp(c.body(), kTag, sizeof kTag) != 0) continue;
        const size_t length = c.length();
        const uint8_t* body = c.body();
        const unsigned sequence = body[12], count = body[13];
        if (count == 0 || sequence == 0 || sequence > count) return false;
        if (pieces.empty()) pieces.resize(count);
        if (pieces.size() != count || pieces[sequence - 1].data != nullptr) return false;
        pieces[sequence - 1] = {body + 14, length - 16};
        total += length - 16;
    }
    if (pieces.empty() || total > colour::kMaxProfileBytes) return false;
    profile.reserve(total);
    for (const Piece& p : pieces) {
        if (p.data == nullptr) return false;
        profile.insert(profile.end(), p.data, p.data + p.size);
    }
    return true;
}

// The scans from the first on, counted by their markers without decoding (entropy-coded data holds
// no 0xFF but stuffed ones and restart markers); stops counting past `limit`.
int scansIn(ByteView d, size_t at, int limit) {
    int scans = 0;
    MarkerCursor c(d, at);
    while (c.hasLength() && scans <= limit) {
        if (c.marker() == kEoi) break;
        if (c.marker() == kSos) ++scans;
        c.skip();
        if (!c.find()) break;
    }
    return scans;
}

// What libjpeg holds for a picture it decodes in several scans: every component's coefficients, 64
// of 2 bytes for each 8 x 8 block, over blocks rounded up to whole sampling units.
uint64_t coefficientBytes(const jpeg_decompress_struct& cinfo) {
    uint64_t bytes = 0;
    for (int i = 0; i < cinfo.num_components; ++i) {
        const jpeg_component_info& c = cinfo.comp_info[i];
        const uint64_t across = (uint64_t{c.width_in_blocks} + c.h_samp_factor - 1) / c.h_samp_factor * c.h_samp_factor;
        const uint64_t down = (uint64_t{c.height_in_blocks} + c.v_samp_factor - 1) / c.v_samp_factor * c.v_samp_factor;
        bytes += across * down * sizeof(JBLOCK);
    }
    return bytes;
}

// Everything touched after setjmp lives in the session, a plain record, so that a jump skips no
// destructor.
class JpegDecoder final : public Decoder {
public:
    explicit JpegDecoder(ByteView data) : Decoder(data, "JPEG") {}

    VekError open() {
        firstScan_ = firstScan(data_);
        if (firstScan_ == kNone) return refuse(VEK_ERROR_DAMAGED, "JPEG: no start of scan where the markers lead");
        Session& d = session_;
        if (setjmp(d.errors.escape)) return codeFor(d.errors);
        jpeg_create_decompress(&d.cinfo);
        d.cinfo.progress = &d.progress;
        jpeg_mem_src(&d.cinfo, data_.data, static_cast<unsigned long>(data_.size));
        jpeg_read_header(&d.cinfo, TRUE);
        describe(d.cinfo, info_);
        describeColour();
        return VEK_OK;
    }

    VekError decode(const LoadOptions& options, Image& image) override;

private:
    void describeColour() {
        try {
            if (readProfile(data_, firstScan_, colour_.profile)) colour_.kind = colour::Description::Kind::Profile;
        } catch (const std::bad_alloc&) { // the picture stays untagged
            colour_.profile.clear();
        }
        const J_COLOR_SPACE space = session_.cinfo.jpeg_color_space;
        colour_.space = space == JCS_GRAYSCALE                   ? colour::Space::Grey
                        : space == JCS_CMYK || space == JCS_YCCK ? colour::Space::Cmyk
                                                                 : colour::Space::Rgb;
    }

    Session session_;
    std::shared_ptr<const colour::Transform> cmykProfile_;
    size_t firstScan_ = kNone;
};

VekError JpegDecoder::decode(const LoadOptions& options, Image& image) {
    // Members rather than locals after setjmp: a jump back may lose locals kept in registers.
    Session& d = session_;
    if (colour_.space == colour::Space::Cmyk) cmykProfile_ = colour::toSrgb(colour_, colour::Space::Cmyk);
    if (setjmp(d.errors.escape)) return codeFor(d.errors);
    if (d.cinfo.data_precision != 8)
        return refuse(VEK_ERROR_UNSUPPORTED, "JPEG: %d-bit samples; only 8-bit ones are read", d.cinfo.data_precision);
    if (jpeg_has_multiple_scans(&d.cinfo)) {
        // Refused before a scan is decoded: too many scans, or coefficients that with the picture
        // would pass the memory a load may hold.
        if (scansIn(data_, firstScan_, kMaxScans) > kMaxScans)
            return refuse(VEK_ERROR_TOO_LARGE, "JPEG: more than %d progressive scans", kMaxScans);
        const uint64_t pictureBytes = uint64_t{d.cinfo.image_width} * d.cinfo.image_height * 4;
        if (const uint64_t need = coefficientBytes(d.cinfo) + pictureBytes; need > maxLoadBytes(options.maxPixels))
            return refuse(VEK_ERROR_TOO_LARGE,
                          "JPEG: a progressive decode needs %llu MiB, more than the %llu MiB a load may hold",
                          static_cast<unsigned long long>(need >> 20),
                          static_cast<unsigned long long>(maxLoadBytes(options.maxPixels) >> 20));
    }
    const bool cmyk = d.cinfo.jpeg_color_space == JCS_CMYK || d.cinfo.jpeg_color_space == JCS_YCCK;
    if (VekError e = image.allocate(d.cinfo.image_width, d.cinfo.image_height, Layout::Bgra32, options)) return e;
    image.componentsPerPixel = 3;
    image.bitsPerComponent = 8;
    // Every path runs the load's row work (the conversion to sRGB) on its rows as it decodes them.
    if (!jpeg_has_multiple_scans(&d.cinfo) &&
        (decodeInBands(data_, firstScan_, d.cinfo, cmyk, cmykProfile_.get(), image) ||
         decodeBySkipping(data_, d.cinfo, cmyk, cmykProfile_.get(), image))) {
        image.markRowsFinished();
        return VEK_OK;
    }
    d.cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGRX;
    jpeg_start_decompress(&d.cinfo);
    if (d.cinfo.output_width != d.cinfo.image_width || d.cinfo.output_height != d.cinfo.image_height)
        return refuse(VEK_ERROR_DAMAGED, "JPEG: the decoder's output is not the picture's size");
    if (cmyk) {
        d.cmykRow = static_cast<JSAMPLE*>(std::malloc(static_cast<size_t>(d.cinfo.output_width) * 4));
        if (d.cmykRow == nullptr) return outOfMemory(static_cast<size_t>(d.cinfo.output_width) * 4);
    }
    // Several rows a call, as the decoder produces them: a single row a call makes it stage the
    // second row of each 2-row group in a spare buffer and copy it out.
    constexpr int kBatch = 16;
    JSAMPROW rows[kBatch];
    while (d.cinfo.output_scanline < d.cinfo.output_height) {
        const int32_t first = static_cast<int32_t>(d.cinfo.output_scanline);
        const int batch =
            cmyk ? 1 : static_cast<int>(std::min<JDIMENSION>(kBatch, d.cinfo.output_height - d.cinfo.output_scanline));
        for (int i = 0; i < batch; ++i) rows[i] = cmyk ? d.cmykRow : image.row(first + i);
        const JDIMENSION got = jpeg_read_scanlines(&d.cinfo, rows, static_cast<JDIMENSION>(batch));
        if (got == 0) return refuse(VEK_ERROR_DAMAGED, "JPEG: no rows after row %d", first);
        if (cmyk) cmykToBgrx(d.cmykRow, image.row(first), d.cinfo.output_width, cmykProfile_.get(), image.kernels());
        image.finishRows(first, static_cast<int32_t>(got));
    }
    jpeg_finish_decompress(&d.cinfo);
    image.markRowsFinished();
    return VEK_OK;
}

} // namespace

namespace jpeg_format {

bool sniff(ByteView data) {
    static const uint8_t soi[3] = {kFill, kSoi, kFill};
    return data.startsWith(soi, sizeof soi);
}
bool sniffLate(ByteView) { return false; }

VekError open(ByteView data, DecoderPtr& decoder) {
    auto jpeg = std::make_unique<JpegDecoder>(data);
    if (VekError e = jpeg->open()) return e;
    decoder = std::move(jpeg);
    return VEK_OK;
}

} // namespace jpeg_format
} // namespace vek
