// Our libvek340 on every fixture: the information record, the loaded form, the exact pixels, both
// sources and both row origins, refusals, damaged data, and decoding from several threads at once.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "imagelib/vek.h"
#include "libvek/formats/table.h"
#include "tests/scoped_env.h"
#include "tests/formats/fixtures.h"
#include "tests/library_decode.h"

namespace {

struct Decoded {
    VekError error = VEK_OK;
    LoadedForm form;
    int32_t width = 0, height = 0;
    std::vector<uint8_t> bgra;
};

// Query, load and convert, as the plug-in does, freeing everything.
Decoded decode(const Fixture& f, bool fromMemory, uint16_t origin) {
    Decoded d;
    const std::vector<uint8_t> bytes = fromMemory ? readBytes(f.path()) : std::vector<uint8_t>{};
    LibraryBitmap* converted = decodeToBgra(f.path().c_str(), fromMemory ? &bytes : nullptr, d.error, origin, &d.form);
    if (converted != nullptr) {
        d.width = converted->width;
        d.height = converted->height;
        EXPECT_EQ(converted->bytesPerLine, converted->width * 4) << f.name;
        EXPECT_EQ(converted->rowOrigin, origin) << f.name;
        d.bgra = pixelsOf(converted);
    }
    vekFreeBitmap(converted);
    return d;
}

class LibraryFormats : public ::testing::Test {
protected:
    static void SetUpTestSuite() { fixtures_ = loadFixtures(); }
    static std::vector<Fixture> fixtures_;
};
std::vector<Fixture> LibraryFormats::fixtures_;

// Every format of the library's table has fixtures, by the extensions the table gives it.
TEST_F(LibraryFormats, ThereAreFixturesOfEveryFormat) {
#define VEK_TEST_ROW(name, index, label, extensions) std::pair<const char*, std::string>{#name, " " extensions " "},
    for (const auto& [name, extensions] : {VEK_FORMATS(VEK_TEST_ROW)}) {
        int count = 0;
        for (const Fixture& f : fixtures_)
            count += extensions.find(" " + f.name.substr(f.name.rfind('.') + 1) + " ") != std::string::npos;
        EXPECT_GT(count, 10) << name;
    }
#undef VEK_TEST_ROW
}

// Faults once planted and missed: an explicit format index ignored, the caller's pixel cap ignored,
// the side cap raised, the PSD merged-alpha guard removed.
TEST_F(LibraryFormats, ExplicitFormatIndexIsTheOnlyReaderAsked) {
    const struct {
        const char* file;
        int32_t index;
        VekError code;
    } cases[] = {
        {"info-24.bmp", VEK_FORMAT_DETECT, VEK_OK},
        {"info-24.bmp", VEK_FORMAT_BMP, VEK_OK},
        {"info-24.bmp", VEK_FORMAT_PNG, VEK_ERROR_UNKNOWN_FORMAT},
        {"grey8.tga", VEK_FORMAT_TGA, VEK_OK},
        {"grey8.tga", VEK_FORMAT_BMP, VEK_ERROR_UNKNOWN_FORMAT},
        {"rgb8.png", VEK_FORMAT_JPEG, VEK_ERROR_UNKNOWN_FORMAT},
        {"rgb8.png", 99, VEK_ERROR_UNKNOWN_FORMAT},
    };
    for (const auto& c : cases) {
        Fixture f;
        f.name = c.file;
        FileInformation info{};
        EXPECT_EQ(vekGetFileInformation(f.path().c_str(), c.index, &info), c.code) << c.file << " as " << c.index;
        if (c.code == VEK_OK && c.index != VEK_FORMAT_DETECT) {
            EXPECT_EQ(info.formatIndex, c.index) << c.file;
        }
        vekFreeFileInformation(&info);
    }
}

TEST_F(LibraryFormats, TheCallersPixelCapHolds) {
    Fixture f;
    f.name = "rgb8.png"; // 13 x 9: 117 pixels
    for (const auto& [cap, code] : {std::pair{116u, VEK_ERROR_TOO_LARGE}, {117u, VEK_OK}, {0u, VEK_OK}}) {
        FileInformation info{};
        ASSERT_EQ(vekGetFileInformation(f.path().c_str(), VEK_FORMAT_DETECT, &info), VEK_OK);
        LoadParams params;
        vekGetDefaultLoadParams(&params);
        params.maxPixels = cap;
        LibraryBitmap* b = nullptr;
        EXPECT_EQ(vekLoadBitmap(f.path().c_str(), &b, &params, &info), code) << "cap " << cap;
        vekFreeBitmap(b);
        vekFreeFileInformation(&info);
    }
}

// A one-row RLE8 bitmap of the given width: only its end marker, every pixel index 0.
std::vector<uint8_t> oneRowRle8(uint32_t width) {
    std::vector<uint8_t> b(54 + 4 * 2 + 2, 0);
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    b[0] = 'B';
    b[1] = 'M';
    put32(2, static_cast<uint32_t>(b.size()));
    put32(10, 62);
    put32(14, 40);
    put32(18, width);
    put32(22, 1);
    b[26] = 1;
    b[28] = 8;
    put32(30, 1); // RLE8
    put32(46, 2); // two colours
    b[62] = 0;
    b[63] = 1; // end of picture
    return b;
}

TEST_F(LibraryFormats, NoSideLongerThanTwoToTheTwentieth) {
    for (const auto& [width, code] : {std::pair{1u << 20, VEK_OK}, {(1u << 20) + 1, VEK_ERROR_TOO_LARGE}}) {
        const std::vector<uint8_t> bmp = oneRowRle8(width);
        VekError error = VEK_OK;
        LibraryBitmap* b = decodeToBgra(nullptr, &bmp, error);
        EXPECT_EQ(error, code) << width;
        if (b != nullptr) {
            EXPECT_EQ(b->width, static_cast<int32_t>(width));
        }
        vekFreeBitmap(b);
    }
}

TEST_F(LibraryFormats, InformationRecordsFromFileAndMemory) {
    for (const Fixture& f : fixtures_) {
        if (f.refused()) continue;
        const std::vector<uint8_t> bytes = readBytes(f.path());
        for (bool memory : {false, true}) {
            FileInformation info{};
            const VekError e =
                memory ? vekGetFileInformationFromMemory(bytes.data(), static_cast<uint32_t>(bytes.size()), -1, &info)
                       : vekGetFileInformation(f.path().c_str(), -1, &info);
            EXPECT_EQ(e, VEK_OK) << f.name;
            if (e != VEK_OK) continue; // every fixture is looked at, not only the first that fails
            EXPECT_EQ(info.width, f.width) << f.name;
            EXPECT_EQ(info.height, f.height) << f.name;
            EXPECT_EQ(info.bitsPerComponent, f.bits) << f.name;
            EXPECT_EQ(info.componentsPerPixel, f.components) << f.name;
            EXPECT_EQ(info.xResolution, f.xdpi) << f.name;
            EXPECT_EQ(info.yResolution, f.ydpi) << f.name;
            EXPECT_EQ(info.xOffset, f.xoffset) << f.name;
            EXPECT_EQ(info.yOffset, f.yoffset) << f.name;
            vekFreeFileInformation(&info);
        }
    }
}

TEST_F(LibraryFormats, LoadedFormsAndExactPixels) {
    for (const Fixture& f : fixtures_) {
        if (f.refused()) continue;
        const Decoded d = decode(f, false, VEK_ORIGIN_TOP_LEFT);
        EXPECT_EQ(d.error, VEK_OK) << f.name;
        if (d.error != VEK_OK) continue;
        EXPECT_EQ(d.form.bits, f.loadedBits) << f.name;
        EXPECT_EQ(d.form.components, f.loadedComponents) << f.name;
        EXPECT_EQ(d.form.transparentIndex, f.transparentIndex) << f.name;
        EXPECT_EQ(d.width, f.width) << f.name;
        EXPECT_EQ(d.height, f.height) << f.name;
        const std::vector<uint8_t> expected = expectedPixels(f);
        EXPECT_EQ(d.bgra.size(), expected.size()) << f.name;
        if (d.bgra.size() != expected.size()) continue;
        size_t firstDifference = 0;
        while (firstDifference < expected.size() && d.bgra[firstDifference] == expected[firstDifference])
            ++firstDifference;
        EXPECT_EQ(firstDifference, expected.size()) << f.name << ": pixel " << firstDifference / 4 << " differs";
    }
}

// Pictures that carry a profile, written by Pillow and ImageMagick, against LittleCMS's conversion
// of their samples to sRGB (Pillow's ImageCms): within the allowed difference, on average within
// half a level, from the file and from memory, bottom-up the mirror.
TEST_F(LibraryFormats, TaggedPicturesShowTheirAuthorsColours) {
    std::ifstream in(std::string(VEK_FIXTURE_DIR) + "/colour.tsv");
    std::string line;
    std::getline(in, line);
    int count = 0;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        Fixture f;
        int most = 0;
        fields >> f.name >> f.expected >> most;
        const std::vector<uint8_t> want = expectedPixels(f);
        const Decoded d = decode(f, false, VEK_ORIGIN_TOP_LEFT);
        ASSERT_EQ(d.error, VEK_OK) << f.name;
        ASSERT_EQ(d.bgra.size(), want.size()) << f.name;
        int largest = 0;
        double total = 0;
        for (size_t i = 0; i < want.size(); ++i) {
            const int diff = std::abs(d.bgra[i] - want[i]);
            largest = std::max(largest, diff);
            total += diff;
        }
        EXPECT_LE(largest, most) << f.name;
        EXPECT_LT(total / static_cast<double>(want.size()), 0.5) << f.name;
        EXPECT_TRUE(decode(f, true, VEK_ORIGIN_BOTTOM_LEFT).bgra == mirrored(d.bgra, d.width, d.height)) << f.name;
        // Readers that convert rows in their bands: the same pixels however many bands.
        for (const char* threads : {"2", "3", "8"}) {
            const ScopedEnv setting("VEK_THREADS", threads);
            EXPECT_TRUE(decode(f, false, VEK_ORIGIN_TOP_LEFT).bgra == d.bgra)
                << f.name << ", " << threads << " threads";
        }
        ++count;
    }
    EXPECT_GE(count, 10);
}

TEST_F(LibraryFormats, MemoryBottomUpIsTheMirrorOfFileTopDown) {
    for (const Fixture& f : fixtures_) {
        if (f.refused()) continue;
        const Decoded top = decode(f, false, VEK_ORIGIN_TOP_LEFT);
        const Decoded bottom = decode(f, true, VEK_ORIGIN_BOTTOM_LEFT);
        ASSERT_EQ(bottom.error, VEK_OK) << f.name;
        EXPECT_TRUE(bottom.bgra == mirrored(top.bgra, top.width, top.height)) << f.name;
    }
}

TEST_F(LibraryFormats, RefusedFilesGiveAnErrorCode) {
    for (const Fixture& f : fixtures_) {
        if (!f.refused()) continue;
        for (bool memory : {false, true}) {
            const Decoded d = decode(f, memory, VEK_ORIGIN_BOTTOM_LEFT);
            EXPECT_NE(d.error, VEK_OK) << f.name;
        }
    }
}

TEST_F(LibraryFormats, SpecificCausesAreNamed) {
    FileInformation info{};
    const uint8_t nothing[1] = {0};
    EXPECT_EQ(vekGetFileInformationFromMemory(nothing, 0, -1, &info), VEK_ERROR_DAMAGED);
    EXPECT_EQ(vekGetFileInformationFromMemory("hello world, not a picture", 26, -1, &info), VEK_ERROR_UNKNOWN_FORMAT);
    EXPECT_EQ(vekGetFileInformation("/no/such/file.png", -1, &info), VEK_ERROR_CANNOT_READ);
    const struct {
        const char* name;
        VekError code;
    } refusals[] = {
        {"precision12.jpg", VEK_ERROR_UNSUPPORTED},
        {"zip.psd", VEK_ERROR_UNSUPPORTED},
        {"unknown-fourcc.dds", VEK_ERROR_UNSUPPORTED},
        {"code-size-12.gif", VEK_ERROR_UNSUPPORTED},
        {"too-many-scans.jpg", VEK_ERROR_TOO_LARGE},
        {"huge.png", VEK_ERROR_TOO_LARGE},
        {"huge.jpg", VEK_ERROR_TOO_LARGE},
        {"huge.gif", VEK_ERROR_TOO_LARGE},
        {"huge.bmp", VEK_ERROR_TOO_LARGE},
        {"huge.dds", VEK_ERROR_TOO_LARGE},
        {"truncated.bmp", VEK_ERROR_DAMAGED},
        {"bad-row-counts.psd", VEK_ERROR_DAMAGED},
    };
    for (const auto& r : refusals) {
        Fixture f;
        f.name = r.name;
        LoadParams params;
        vekGetDefaultLoadParams(&params);
        LibraryBitmap* b = nullptr;
        FileInformation i{};
        EXPECT_EQ(vekLoadBitmap(f.path().c_str(), &b, &params, &i), r.code) << r.name;
        EXPECT_EQ(b, nullptr) << r.name;
        vekFreeBitmap(b);
    }
}

TEST_F(LibraryFormats, ConvertedBgraSharesTheLoadedPixels) {
    Fixture f;
    f.name = "baseline.jpg";
    FileInformation info{};
    LoadParams params;
    vekGetDefaultLoadParams(&params);
    LibraryBitmap* loaded = nullptr;
    ASSERT_EQ(vekLoadBitmap(f.path().c_str(), &loaded, &params, &info), VEK_OK);
    LibraryBitmap* converted = nullptr;
    ASSERT_EQ(vekChangeColorDepth(loaded, &converted, VEK_COLOR_BGRA32, 0), VEK_OK);
    EXPECT_EQ(converted->pixels, loaded->pixels) << "a JPEG decodes straight to BGRA: nothing to convert";
    // Either may go first; the pixels live until both are freed.
    EXPECT_EQ(vekFreeBitmap(loaded), VEK_OK);
    EXPECT_EQ(converted->pixels[3], 255);
    EXPECT_EQ(vekFreeBitmap(converted), VEK_OK);
    EXPECT_EQ(vekFreeBitmap(converted), VEK_ERROR_BAD_ARGUMENT) << "a second free is refused, not fatal";
    EXPECT_EQ(vekChangeColorDepth(loaded, &converted, VEK_COLOR_BGRA32, 0), VEK_ERROR_BAD_ARGUMENT);
}

TEST_F(LibraryFormats, DamagedDataNeverCrashes) {
    std::mt19937 random(1234);
    for (const Fixture& f : fixtures_) {
        const std::vector<uint8_t> bytes = readBytes(f.path());
        ASSERT_GT(bytes.size(), 8u) << f.name;
        std::vector<size_t> cuts = {1, 2, 8, 16, 33, bytes.size() / 4, bytes.size() / 2, bytes.size() - 1};
        for (size_t cut : cuts) {
            if (cut == 0 || cut >= bytes.size()) continue;
            std::vector<uint8_t> part(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut));
            FileInformation info{};
            LoadParams params;
            vekGetDefaultLoadParams(&params);
            LibraryBitmap* b = nullptr;
            if (vekLoadBitmapFromMemory(part.data(), static_cast<uint32_t>(part.size()), &b, &params, &info) ==
                VEK_OK) {
                EXPECT_GT(b->width, 0);
                LibraryBitmap* c = nullptr;
                EXPECT_EQ(vekChangeColorDepth(b, &c, VEK_COLOR_BGRA32, 0), VEK_OK);
                vekFreeBitmap(c);
            }
            vekFreeBitmap(b);
        }
        // Flipped bytes past the signature.
        for (int round = 0; round < 20; ++round) {
            std::vector<uint8_t> damaged = bytes;
            for (int k = 0; k < 4; ++k)
                damaged[8 + random() % (damaged.size() - 8)] ^= static_cast<uint8_t>(1 + random() % 255);
            FileInformation info{};
            LoadParams params;
            vekGetDefaultLoadParams(&params);
            LibraryBitmap* b = nullptr;
            if (vekLoadBitmapFromMemory(damaged.data(), static_cast<uint32_t>(damaged.size()), &b, &params, &info) ==
                VEK_OK) {
                LibraryBitmap* c = nullptr;
                vekChangeColorDepth(b, &c, VEK_COLOR_BGRA32, 0);
                vekFreeBitmap(c);
            }
            vekFreeBitmap(b);
        }
    }
}

} // namespace
