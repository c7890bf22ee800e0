// The banded JPEG decoder itself, built in: it takes each picture with restart markers (and none
// without), its pixels are the whole decode's, and damaged data sends the picture back whole.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "libvek/base/refusal.h"
#include "libvek/formats/jpeg_bands.h"
#include "libvek/system/workers.h"
#include "tests/read_bytes.h"
#include "tests/scoped_env.h"

namespace {

struct Case {
    const char* name;
    bool banded;
};

enum class Bands { AtRestarts, BySkipping };

// The picture top row first, as BGRX, decoded by the banded decoder asked for; empty when it
// declines the picture.
std::vector<uint8_t> decodeBanded(const std::vector<uint8_t>& file, Bands way, bool& banded) {
    vek::jpeg::Session d;
    jpeg_create_decompress(&d.cinfo);
    jpeg_mem_src(&d.cinfo, file.data(), static_cast<unsigned long>(file.size()));
    jpeg_read_header(&d.cinfo, TRUE);
    size_t sos = 2;
    while (sos + 1 < file.size() && !(file[sos] == 0xFF && file[sos + 1] == 0xDA)) ++sos;
    const bool cmyk = d.cinfo.jpeg_color_space == JCS_CMYK || d.cinfo.jpeg_color_space == JCS_YCCK;
    vek::Image image;
    if (image.allocate(d.cinfo.image_width, d.cinfo.image_height, vek::Layout::Bgra32, {}) != VEK_OK) return {};
    const vek::ByteView data{file.data(), file.size()};
    banded = way == Bands::AtRestarts ? vek::jpeg::decodeInBands(data, sos, d.cinfo, cmyk, nullptr, image)
                                      : vek::jpeg::decodeBySkipping(data, d.cinfo, cmyk, nullptr, image);
    return {image.row(0), image.row(0) + image.stride() * static_cast<size_t>(image.height())};
}

// djpeg's RGB, whole: the same as ours with the fourth byte of each of ours left out.
void expectDjpegPixels(const std::string& path, const std::vector<uint8_t>& pixels, const std::string& what) {
    const std::vector<uint8_t> expected = readBytes(path + ".bgra");
    ASSERT_EQ(expected.size(), pixels.size()) << what;
    size_t wrong = 0;
    for (size_t i = 0; i < pixels.size(); i += 4)
        for (size_t k = 0; k < 3; ++k) wrong += pixels[i + k] != expected[i + k];
    EXPECT_EQ(0u, wrong) << what;
}

TEST(JpegBands, RestartMarkersMakeBandsOfTheSamePixels) {
    const Case cases[] = {{"restart-rows.jpg", true},
                          {"restart-blocks-422.jpg", true},
                          {"restart-blocks-444.jpg", true},
                          {"restart-grey.jpg", true},
                          {"restart.jpg", true},
                          {"restart-damaged.jpg", false},
                          {"baseline.jpg", false},
                          {"progressive.jpg", false}};
    const ScopedEnv threads("VEK_THREADS", "3");
    for (const Case& c : cases) {
        const std::string path = std::string(VEK_FIXTURE_DIR) + "/" + c.name;
        bool banded = false;
        const std::vector<uint8_t> pixels = decodeBanded(readBytes(path), Bands::AtRestarts, banded);
        EXPECT_EQ(c.banded, banded) << c.name;
        if (banded) expectDjpegPixels(path, pixels, c.name);
    }
}

// Every chroma sampling, at two, three and eight bands: every seam's rows are djpeg's whole decode's.
TEST(JpegBands, SkippingToEachBandGivesTheWholeDecodesPixels) {
    const Case cases[] = {{"skip-420.jpg", true}, {"skip-422.jpg", true},     {"skip-440.jpg", true},
                          {"skip-444.jpg", true}, {"skip-grey.jpg", true},    {"baseline.jpg", true},
                          {"ycck.jpg", true},     {"progressive.jpg", false}, {"arithmetic.jpg", false},
                          {"restart.jpg", false}};
    for (const char* threads : {"2", "3", "8"}) {
        const ScopedEnv setting("VEK_THREADS", threads);
        for (const Case& c : cases) {
            const std::string path = std::string(VEK_FIXTURE_DIR) + "/" + c.name;
            const std::string what = std::string(c.name) + ", " + threads + " threads";
            bool banded = false;
            const std::vector<uint8_t> pixels = decodeBanded(readBytes(path), Bands::BySkipping, banded);
            EXPECT_EQ(c.banded, banded) << what;
            if (banded) expectDjpegPixels(path, pixels, what);
        }
    }
}

// A band that fails on a worker thread: its reason reaches the calling thread.
TEST(WorkerRefusals, AWorkersReasonReachesItsCaller) {
    const ScopedEnv threads("VEK_THREADS", "4");
    const std::thread::id caller = std::this_thread::get_id();
    std::atomic<int> entered{0};
    vek::refusal::begin();
    vek::workers::forRanges(1, 4, [&](size_t, size_t) {
        // The caller waits for a worker to take a piece too, so that one surely runs elsewhere.
        ++entered;
        if (std::this_thread::get_id() == caller) {
            for (int i = 0; i < 2000 && entered < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return;
        }
        (void)vek::refuse(VEK_ERROR_DAMAGED, "band %d refused", 7);
    });
    vek::refusal::end(VEK_ERROR_DAMAGED);
    EXPECT_EQ(std::string(vek::refusal::last().reason), "band 7 refused");
}

} // namespace
