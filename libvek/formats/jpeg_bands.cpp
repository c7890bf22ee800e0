#include "libvek/formats/jpeg_bands.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <new>
#include <vector>

#include "libvek/system/workers.h"

namespace vek::jpeg {
namespace {

struct Geometry {
    uint32_t mcuHeight = 0, mcusPerRow = 0, mcuRows = 0;
};

// The scan's MCUs: one interleaved scan of every component, or a lone grey component's 8 x 8
// blocks. False for anything else.
bool geometryOf(ByteView data, size_t sos, const jpeg_decompress_struct& h, Geometry& g) {
    if (sos + 5 > data.size || data.data[sos + 4] != h.num_components) return false;
    int maxH = 1, maxV = 1;
    for (int i = 0; i < h.num_components; ++i) {
        maxH = std::max(maxH, h.comp_info[i].h_samp_factor);
        maxV = std::max(maxV, h.comp_info[i].v_samp_factor);
    }
    const uint32_t mcuWidth = h.num_components == 1 ? 8 : 8 * static_cast<uint32_t>(maxH);
    g.mcuHeight = h.num_components == 1 ? 8 : 8 * static_cast<uint32_t>(maxV);
    g.mcusPerRow = (h.image_width + mcuWidth - 1) / mcuWidth;
    g.mcuRows = (h.image_height + g.mcuHeight - 1) / g.mcuHeight;
    return true;
}

// The restart markers in the scan's data, and the marker that ends it: true when they are numbered
// in turn and as many as the restart interval gives.
bool findRestarts(ByteView d, size_t at, uint64_t expected, std::vector<size_t>& restarts, size_t& end) {
    for (MarkerCursor c(d, at); c.findInData(); c.skip()) {
        if (!isRestart(c.marker())) {
            end = c.at();
            return restarts.size() == expected;
        }
        if (restarts.size() >= expected || static_cast<size_t>(c.marker() - kRst0) != restarts.size() % 8) return false;
        restarts.push_back(c.at());
    }
    return false;
}

// SOI and the segments before the scan that decoding needs (tables, frame, restart interval, and
// the JFIF and Adobe segments that say the colour space); metadata is left out. `heightAt` is where
// the frame's height lies in the copy.
bool headerOf(ByteView d, size_t sos, size_t dataStart, std::vector<uint8_t>& header, size_t& heightAt) {
    header.assign({kFill, kSoi});
    heightAt = 0;
    for (MarkerCursor c(d, 2); c.at() < sos && c.find(sos - c.at() + 1) && c.at() < sos; c.skip()) {
        const uint8_t marker = c.marker();
        if (isStandalone(marker)) continue;
        const size_t length = c.length();
        if (length < 2 || c.at() + 2 + length > sos) return false;
        const bool metadata = (marker >= kApp1 && marker <= kApp15 && marker != kApp14) || marker == kCom;
        if (metadata) continue;
        if (isFrame(marker)) heightAt = header.size() + 5;
        header.insert(header.end(), d.data + c.at(), d.data + c.at() + 2 + length);
    }
    header.insert(header.end(), d.data + sos, d.data + dataStart);
    return heightAt != 0;
}

// A band with a warning (corrupt data the decoder papered over) is not used: the whole picture's
// decode then decides what such data shows.
void countWarnings(j_common_ptr cinfo, int level) {
    if (level < 0) ++cinfo->err->num_warnings;
}

// Where a band's decoder puts its rows: the picture, through CMYK's conversion where the samples
// are CMYK (decoded into a scratch row, one at a time).
struct Output {
    uint32_t width = 0, height = 0;
    bool cmyk = false;
    const colour::Transform* cmykProfile = nullptr;
    Image* image = nullptr;

    // Rows y..y + count decoded: converted from the scratch row if CMYK, then the load's row work.
    void keep(const uint8_t* scratch, uint32_t y, uint32_t count) const {
        if (cmyk) cmykToBgrx(scratch, image->row(static_cast<int32_t>(y)), width, cmykProfile, image->kernels());
        image->finishRows(static_cast<int32_t>(y), static_cast<int32_t>(count));
    }
};

// A band's decoder over `size` bytes, started: called after the caller's setjmp, where its errors
// jump back to. Warnings are counted, not printed.
void startBand(Session& d, const uint8_t* data, size_t size, bool cmyk) {
    d.errors.base.emit_message = countWarnings;
    jpeg_create_decompress(&d.cinfo);
    jpeg_mem_src(&d.cinfo, data, static_cast<unsigned long>(size));
    jpeg_read_header(&d.cinfo, TRUE);
    d.cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGRX;
    jpeg_start_decompress(&d.cinfo);
}

struct Plan : Output {
    ByteView data;
    const std::vector<uint8_t>* header;
    size_t heightAt, dataStart, end;
    const std::vector<size_t>* restarts;
    Geometry g;
    uint32_t interval;

    uint64_t segment(uint32_t row) const { return uint64_t{row} * g.mcusPerRow / interval; }
    size_t start(uint32_t row) const { return row == 0 ? dataStart : (*restarts)[segment(row) - 1] + 2; }
    size_t finish(uint32_t row) const { return row == g.mcuRows ? end : (*restarts)[segment(row) - 1]; }
};

// Rows of a band's stream into the picture: its first row is picture row `top`, and rows
// keepTop..keepEnd are kept. False on any error or warning.
bool decodeStream(const Plan& p, const std::vector<uint8_t>& stream, uint32_t height, uint32_t top, uint32_t keepTop,
                  uint32_t keepEnd, uint8_t* scratch) {
    Session d;
    if (setjmp(d.errors.escape)) return false;
    startBand(d, stream.data(), stream.size(), p.cmyk);
    if (d.cinfo.output_width != p.width || d.cinfo.output_height != height) return false;
    while (d.cinfo.output_scanline < d.cinfo.output_height) {
        const uint32_t y = top + d.cinfo.output_scanline;
        const bool kept = y >= keepTop && y < keepEnd;
        JSAMPROW row = p.cmyk || !kept ? scratch : p.image->row(static_cast<int32_t>(y));
        if (jpeg_read_scanlines(&d.cinfo, &row, 1) != 1) return false;
        if (kept) p.keep(scratch, y, 1);
    }
    return d.errors.base.num_warnings == 0;
}

// Decodes MCU rows from..to and keeps rows keep..stop of them: the others are the context.
bool decodeBand(const Plan& p, uint32_t from, uint32_t to, uint32_t keep, uint32_t stop) {
    const size_t first = p.start(from), last = p.finish(to);
    std::vector<uint8_t> stream(*p.header);
    stream.insert(stream.end(), p.data.data + first, p.data.data + last);
    stream.insert(stream.end(), {kFill, kEoi});
    // The band's frame height, and its restart markers numbered from 0 again.
    const uint32_t height = to == p.g.mcuRows ? p.height - from * p.g.mcuHeight : (to - from) * p.g.mcuHeight;
    stream[p.heightAt] = static_cast<uint8_t>(height >> 8);
    stream[p.heightAt + 1] = static_cast<uint8_t>(height);
    const uint64_t firstMarker = p.segment(from);
    for (uint64_t j = firstMarker; j < p.restarts->size() && (*p.restarts)[j] < last; ++j)
        stream[p.header->size() + (*p.restarts)[j] - first + 1] = static_cast<uint8_t>(kRst0 + (j - firstMarker) % 8);
    std::vector<uint8_t> scratch(static_cast<size_t>(p.width) * 4);
    return decodeStream(p, stream, height, from * p.g.mcuHeight, keep * p.g.mcuHeight,
                        std::min(stop * p.g.mcuHeight, p.height), scratch.data());
}

// Three bands a thread, each ending where a segment begins: indices into the segment starts + 1
// (0: the top; the last: the bottom). Each band's neighbouring segments are decoded with it and
// dropped.
std::vector<size_t> bandCuts(const std::vector<uint32_t>& starts, uint32_t mcuRows, unsigned threads) {
    const size_t bands = std::min<size_t>(size_t{threads} * 3, starts.size() + 1);
    std::vector<size_t> cut = {0};
    for (size_t b = 1; b < bands; ++b) {
        const uint32_t target = static_cast<uint32_t>(uint64_t{mcuRows} * b / bands);
        const size_t i = static_cast<size_t>(std::lower_bound(starts.begin(), starts.end(), target) - starts.begin());
        if (i < starts.size() && i + 1 > cut.back()) cut.push_back(i + 1);
    }
    cut.push_back(starts.size() + 1);
    return cut;
}

// What skipping a row costs against decoding it: the entropy decoding, which a skip cannot leave
// out, is 68 % of a whole decode of a 24-megapixel quality-90 picture on a 2-core x86-64 machine.
constexpr double kSkipCost = 0.68;

// Where each of `bands` bands starts, on iMCU row boundaries, with the height as the last entry: band
// i costs c x its start plus its rows, and each band's rows are what makes those equal; c is the
// skip's cost against a row's whole cost, its decode and the row work after it. For cost t a band
// and start s: the next start is s (1 - c) + t, and the last reaches 1 when t = c / (1 - (1 - c)^bands).
std::vector<uint32_t> skipStarts(uint32_t height, uint32_t imcuHeight, unsigned bands, float rowWork) {
    const double c = kSkipCost / (1 + rowWork);
    const double t = c / (1 - std::pow(1 - c, bands));
    std::vector<uint32_t> starts = {0};
    double s = 0;
    for (unsigned b = 1; b < bands; ++b) {
        s = s * (1 - c) + t;
        const auto row = static_cast<uint32_t>(std::lround(s * height / imcuHeight)) * imcuHeight;
        if (row > starts.back() && row < height) starts.push_back(row);
    }
    starts.push_back(height);
    return starts;
}

// Rows top..end by a decoder of their own: it skips to `top`, then decodes its rows straight into the
// picture, several a call. Where the upsampling takes context from the row group above, the skip
// itself decodes the iMCU row above `top` (libjpeg-turbo does so), so the rows are the whole
// decode's. False on any error or warning.
bool decodeSkipping(ByteView data, const Output& out, uint32_t top, uint32_t end, uint8_t* scratch) {
    Session d;
    if (setjmp(d.errors.escape)) return false;
    startBand(d, data.data, data.size, out.cmyk);
    if (d.cinfo.output_width != out.width || d.cinfo.output_height != out.height) return false;
    if (top > 0 && jpeg_skip_scanlines(&d.cinfo, top) != top) return false;
    constexpr uint32_t kBatch = 16;
    JSAMPROW rows[kBatch];
    while (d.cinfo.output_scanline < end) {
        const uint32_t y = d.cinfo.output_scanline;
        // CMYK rows one a call through the scratch row; the others in batches, straight in.
        const uint32_t batch = out.cmyk ? 1 : std::min(kBatch, end - y);
        for (uint32_t i = 0; i < batch; ++i) rows[i] = out.cmyk ? scratch : out.image->row(static_cast<int32_t>(y + i));
        const JDIMENSION got = jpeg_read_scanlines(&d.cinfo, rows, batch);
        if (got == 0) return false;
        out.keep(scratch, y, got);
    }
    const bool sound = d.errors.base.num_warnings == 0;
    jpeg_abort_decompress(&d.cinfo);
    return sound;
}

} // namespace

bool decodeBySkipping(ByteView data, const jpeg_decompress_struct& header, bool cmyk,
                      const colour::Transform* cmykProfile, Image& image) {
    const uint64_t pixels = uint64_t{header.image_width} * header.image_height;
    const unsigned threads = workers::threadsFor(pixels);
    if (threads < 2 || header.progressive_mode || header.arith_code || header.restart_interval != 0) return false;
    int maxV = 1;
    for (int i = 0; i < header.num_components; ++i) maxV = std::max(maxV, header.comp_info[i].v_samp_factor);
    Output p;
    p.width = header.image_width;
    p.height = header.image_height;
    p.cmyk = cmyk;
    p.cmykProfile = cmykProfile;
    p.image = &image;
    try {
        const std::vector<uint32_t> starts =
            skipStarts(p.height, 8 * static_cast<uint32_t>(maxV), threads, image.rowWorkCost());
        if (starts.size() < 3) return false;
        std::atomic<bool> sound{true};
        workers::forRanges(pixels, starts.size() - 1, [&](size_t first, size_t end) {
            try {
                std::vector<uint8_t> scratch(static_cast<size_t>(p.width) * 4);
                // A thread left with every band (no worker was free) decodes them as one: no skips.
                if (first == 0 && end == starts.size() - 1) {
                    if (!decodeSkipping(data, p, 0, p.height, scratch.data())) sound = false;
                    return;
                }
                for (size_t b = first; b < end && sound; ++b)
                    if (!decodeSkipping(data, p, starts[b], starts[b + 1], scratch.data())) sound = false;
            } catch (const std::bad_alloc&) {
                sound = false;
            }
        });
        return sound;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool decodeInBands(ByteView data, size_t firstScan, const jpeg_decompress_struct& header, bool cmyk,
                   const colour::Transform* cmykProfile, Image& image) {
    const unsigned threads = workers::threadsFor(uint64_t{header.image_width} * header.image_height);
    if (threads < 2 || header.restart_interval == 0 || header.progressive_mode || header.arith_code ||
        firstScan + 4 > data.size)
        return false;
    Plan p{};
    p.data = data;
    p.interval = header.restart_interval;
    p.width = header.image_width;
    p.height = header.image_height;
    p.cmyk = cmyk;
    p.cmykProfile = cmykProfile;
    p.image = &image;
    p.dataStart = firstScan + 2 + loadU16be(data.data + firstScan + 2);
    if (!geometryOf(data, firstScan, header, p.g) || p.dataStart > data.size) return false;
    try {
        // Rows where a restart segment begins are where bands may begin.
        std::vector<uint32_t> starts;
        for (uint32_t row = 1; row < p.g.mcuRows; ++row)
            if (uint64_t{row} * p.g.mcusPerRow % p.interval == 0) starts.push_back(row);
        if (starts.empty()) return false;
        const uint64_t mcus = uint64_t{p.g.mcusPerRow} * p.g.mcuRows;
        std::vector<size_t> restarts;
        std::vector<uint8_t> head;
        if (!findRestarts(data, p.dataStart, (mcus + p.interval - 1) / p.interval - 1, restarts, p.end) ||
            !headerOf(data, firstScan, p.dataStart, head, p.heightAt))
            return false;
        p.header = &head;
        p.restarts = &restarts;

        const std::vector<size_t> cut = bandCuts(starts, p.g.mcuRows, threads);
        auto rowAt = [&](size_t c) { return c == 0 ? 0u : c > starts.size() ? p.g.mcuRows : starts[c - 1]; };
        std::atomic<bool> sound{true};
        workers::forRanges(uint64_t{p.width} * p.height, cut.size() - 1, [&](size_t first, size_t end) {
            for (size_t b = first; b < end && sound; ++b) {
                const size_t c0 = cut[b], c1 = cut[b + 1];
                bool ok;
                try {
                    ok = decodeBand(p, rowAt(c0 == 0 ? 0 : c0 - 1), rowAt(std::min(c1 + 1, starts.size() + 1)),
                                    rowAt(c0), rowAt(c1));
                } catch (const std::bad_alloc&) {
                    ok = false;
                }
                if (!ok) sound = false;
            }
        });
        return sound;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

} // namespace vek::jpeg
