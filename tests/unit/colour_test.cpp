// Our transforms against LittleCMS's own 8-bit transforms of the same profiles, and profiles that
// must leave a picture as stored.
#include <gtest/gtest.h>
#include <lcms2.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>

#include "libvek/colour/colour.h"
#include "support/simd.h"

namespace {

using vek::colour::Description;
using vek::colour::Space;
using vek::colour::Transform;

const std::string kIcc = "/usr/share/color/icc/";

std::vector<uint8_t> profileBytes(const std::string& name) {
    std::ifstream in(kIcc + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

Description described(const std::vector<uint8_t>& bytes, Space space) {
    Description d;
    d.setProfile(bytes.data(), bytes.size());
    d.space = space;
    return d;
}

// Every grey, a lattice through the cube (or hypercube) and random colours; 4 bytes each.
std::vector<uint8_t> samples(int channels) {
    std::vector<uint8_t> s;
    const int step = channels == 4 ? 32 : 16;
    for (int v = 0; v < 256; ++v)
        for (int c = 0; c < 4; ++c) s.push_back(static_cast<uint8_t>(channels == 4 && c < 3 ? 0 : v));
    for (int a = 0; a <= 256; a += step)
        for (int b = 0; b <= 256; b += step)
            for (int c = 0; c <= 256; c += step)
                for (int k = 0; k <= (channels == 4 ? 256 : 0); k += step) {
                    const int v[4] = {a, b, c, k};
                    for (int i = 0; i < 4; ++i) s.push_back(static_cast<uint8_t>(std::min(v[i], 255)));
                }
    std::mt19937 random(7);
    for (int i = 0; i < 40000; ++i) s.push_back(static_cast<uint8_t>(random()));
    return s;
}

struct Case {
    const char* profile;
    Space space;
    bool gridOnly;
    int most; // the largest difference allowed from LittleCMS, in 8-bit levels
};

TEST(Colour, TransformsAgreeWithLittleCms) {
    const Case cases[] = {
        {"colord/AdobeRGB1998.icc", Space::Rgb, false, 2},
        {"colord/ProPhotoRGB.icc", Space::Rgb, false, 2},
        {"colord/WideGamutRGB.icc", Space::Rgb, false, 2},
        {"colord/SwappedRedAndGreen.icc", Space::Rgb, false, 2},
        {"ghostscript/rommrgb.icc", Space::Rgb, false, 2},
        {"CineonLog_M.icc", Space::Rgb, false, 2},
        {"colord/AdobeRGB1998.icc", Space::Rgb, true, 3},
        {"colord/ProPhotoRGB.icc", Space::Rgb, true, 3},
        {"Gray-CIE_L.icc", Space::Grey, false, 0},
        {"Gray.icc", Space::Grey, false, 0},
        {"ghostscript/default_cmyk.icc", Space::Cmyk, false, 3},
        {"ghostscript/ps_cmyk.icc", Space::Cmyk, false, 3},
    };
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.profile) + (c.gridOnly ? " as a grid" : ""));
        const std::vector<uint8_t> bytes = profileBytes(c.profile);
        ASSERT_FALSE(bytes.empty()) << "missing profile";
        const auto ours = vek::colour::build(described(bytes, c.space), c.space, c.gridOnly);
        ASSERT_NE(ours, nullptr);
        cmsHPROFILE source = cmsOpenProfileFromMem(bytes.data(), static_cast<cmsUInt32Number>(bytes.size()));
        const cmsUInt32Number in = c.space == Space::Rgb    ? TYPE_BGRA_8
                                   : c.space == Space::Grey ? TYPE_GRAY_8
                                                            : TYPE_CMYK_8;
        // A grid is held against LittleCMS's own grid, which it makes of every table-based profile.
        cmsHTRANSFORM lcms = cmsCreateTransform(source, in, srgb, TYPE_BGRA_8, cmsGetHeaderRenderingIntent(source),
                                                c.gridOnly ? cmsFLAGS_FORCE_CLUT : 0);
        ASSERT_NE(lcms, nullptr);

        std::vector<uint8_t> pixels = samples(c.space == Space::Cmyk ? 4 : 3), want(pixels.size()), got = pixels;
        const size_t n = pixels.size() / 4;
        if (c.space == Space::Grey) {
            std::vector<uint8_t> grey(n);
            for (size_t i = 0; i < n; ++i) grey[i] = pixels[i * 4];
            cmsDoTransform(lcms, grey.data(), want.data(), static_cast<cmsUInt32Number>(n));
            for (size_t i = 0; i < n; ++i) std::memset(&got[i * 4], grey[i], 3);
            ours->bgraRow(got.data(), n, simd::detect());
        } else if (c.space == Space::Cmyk) {
            cmsDoTransform(lcms, pixels.data(), want.data(), static_cast<cmsUInt32Number>(n));
            ours->cmykRow(pixels.data(), got.data(), n, false, simd::detect());
            // As JPEG and PSD store them, 255 no ink: the same colours.
            std::vector<uint8_t> inverted(pixels), again(pixels.size());
            for (uint8_t& v : inverted) v = static_cast<uint8_t>(255 - v);
            ours->cmykRow(inverted.data(), again.data(), n, true, simd::detect());
            EXPECT_EQ(again, got);
        } else {
            cmsDoTransform(lcms, pixels.data(), want.data(), static_cast<cmsUInt32Number>(n));
            ours->bgraRow(got.data(), n, simd::detect());
        }
        int most = 0;
        double total = 0;
        for (size_t i = 0; i < n; ++i) {
            for (int ch = 0; ch < 3; ++ch) {
                const int d = std::abs(got[i * 4 + ch] - want[i * 4 + ch]);
                most = std::max(most, d);
                total += d;
            }
            if (c.space == Space::Rgb) {
                ASSERT_EQ(got[i * 4 + 3], pixels[i * 4 + 3]) << "alpha moved";
            }
        }
        const double mean = total / (n * 3.0);
        std::printf("  %-32s %-5s largest %d, mean %.4f\n", c.profile, c.gridOnly ? "grid" : "", most, mean);
        EXPECT_LE(most, c.most);
        EXPECT_LT(mean, 0.5);
        cmsDeleteTransform(lcms);
        cmsCloseProfile(source);
    }
    cmsCloseProfile(srgb);
}

// The vector kernels give the scalar code's bytes, tails included.
TEST(Colour, VectorAndScalarPathsAgree) {
    const Case cases[] = {{"colord/AdobeRGB1998.icc", Space::Rgb, false, 0},
                          {"colord/AdobeRGB1998.icc", Space::Rgb, true, 0},
                          {"ghostscript/default_cmyk.icc", Space::Cmyk, false, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.profile);
        const std::vector<uint8_t> bytes = profileBytes(c.profile);
        const auto t = vek::colour::build(described(bytes, c.space), c.space, c.gridOnly);
        ASSERT_NE(t, nullptr);
        const std::vector<uint8_t> in = samples(c.space == Space::Cmyk ? 4 : 3);
        const size_t n = in.size() / 4 - 3; // not a whole number of vector steps
        std::vector<uint8_t> scalar;
        for (simd::Level level : simd::runnable()) {
            std::vector<uint8_t> out = in;
            if (c.space == Space::Cmyk)
                t->cmykRow(in.data(), out.data(), n, true, level);
            else
                t->bgraRow(out.data(), n, level);
            if (level == simd::Level::Scalar) scalar = out;
            EXPECT_EQ(out, scalar) << simd::nameOf(level);
        }
    }
}

// Values no checked profile gives (NaN, infinities) are clamped, in both paths alike, never used as
// an index.
TEST(Colour, NonFiniteValuesClampAlikeInBothPaths) {
    Transform t(Transform::Kind::Matrix);
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    for (int v = 0; v < 256; ++v)
        for (int ch = 0; ch < 3; ++ch) t.linear[ch][v] = v % 3 == 0 ? nan : v % 3 == 1 ? inf : -inf;
    t.matrix[0][0] = t.matrix[1][1] = t.matrix[2][2] = 1;
    t.matrix[0][1] = 1; // red = inf + -inf somewhere
    t.finishMatrix();
    const std::vector<uint8_t> in = samples(3);
    const size_t n = in.size() / 4 - 5;
    std::vector<uint8_t> scalar = in;
    t.bgraRow(scalar.data(), n, simd::Level::Scalar);
    for (simd::Level level : simd::runnable()) {
        std::vector<uint8_t> out = in;
        t.bgraRow(out.data(), n, level);
        EXPECT_EQ(out, scalar) << simd::nameOf(level);
    }
}

TEST(Colour, SwappedRedAndGreenSwaps) {
    const auto t =
        vek::colour::toSrgb(described(profileBytes("colord/SwappedRedAndGreen.icc"), Space::Rgb), Space::Rgb);
    ASSERT_NE(t, nullptr);
    uint8_t px[8] = {0, 0, 255, 255, 0, 255, 0, 128}; // red, then green (BGRA)
    t->bgraRow(px, 2, simd::detect());
    EXPECT_GT(px[1], 200);
    EXPECT_LT(px[2], 60);
    EXPECT_GT(px[6], 200);
    EXPECT_LT(px[5], 60);
    EXPECT_EQ(px[7], 128);
}

// Nothing to do: sRGB's own profiles, profiles of another colour model, and damaged ones.
TEST(Colour, ProfilesThatLeaveThePictureAsStored) {
    const std::vector<uint8_t> adobe = profileBytes("colord/AdobeRGB1998.icc"),
                               cmyk = profileBytes("ghostscript/default_cmyk.icc");
    auto set32 = [](std::vector<uint8_t> p, size_t at, uint32_t v) {
        if (p.size() < at + 4) return p;
        for (int i = 0; i < 4; ++i) p[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
        return p;
    };
    // The first CLUT of the CMYK profile (an 'mft2' tag): its grid points, absurd.
    size_t clut = 0;
    for (size_t i = 0; i + 4 < cmyk.size() && clut == 0; ++i)
        if (std::memcmp(&cmyk[i], "mft2", 4) == 0) clut = i;
    ASSERT_NE(clut, 0u);
    auto grid = [&](uint8_t points) {
        std::vector<uint8_t> p = cmyk;
        p[clut + 10] = points;
        return p;
    };
    struct Named {
        const char* what;
        std::vector<uint8_t> bytes;
        Space space;
    } cases[] = {
        {"colord sRGB", profileBytes("colord/sRGB.icc"), Space::Rgb},
        {"icc-profiles-free sRGB", profileBytes("sRGB.icc"), Space::Rgb},
        {"ghostscript sRGB", profileBytes("ghostscript/srgb.icc"), Space::Rgb},
        {"an RGB profile for CMYK", adobe, Space::Cmyk},
        {"a CMYK profile for RGB", cmyk, Space::Rgb},
        {"a Lab profile", profileBytes("ITULab.icc"), Space::Rgb},
        {"a named colour profile", profileBytes("colord/x11-colors.icc"), Space::Rgb},
        {"truncated", std::vector<uint8_t>(adobe.begin(), adobe.begin() + 200), Space::Rgb},
        {"declared larger than it is", set32(adobe, 0, static_cast<uint32_t>(adobe.size() + 1)), Space::Rgb},
        {"no signature", set32(adobe, 36, 0), Space::Rgb},
        {"no tags", set32(adobe, 128, 0), Space::Rgb},
        {"a million tags", set32(adobe, 128, 1000000), Space::Rgb},
        {"a tag past the end", set32(adobe, 136, 0x7FFFFFF0), Space::Rgb},
        {"a tag of no bytes", set32(adobe, 140, 0), Space::Rgb},
        {"grid of 255 points", grid(255), Space::Cmyk},
        {"grid of 1 point", grid(1), Space::Cmyk},
        {"grid of 0 points", grid(0), Space::Cmyk},
        {"empty", {}, Space::Rgb},
    };
    for (const Named& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(c.bytes.size() > 0 || std::strcmp(c.what, "empty") == 0) << "missing profile";
        EXPECT_EQ(vek::colour::build(described(c.bytes, c.space), c.space, false), nullptr);
        // sRGB's own profiles are recognised by their matrix; a grid of them would be made.
        if (std::strstr(c.what, "sRGB") == nullptr) {
            EXPECT_EQ(vek::colour::build(described(c.bytes, c.space), c.space, true), nullptr);
        }
    }
}

TEST(Colour, TransformsAreKeptForTheNextPicture) {
    const Description d = described(profileBytes("colord/AdobeRGB1998.icc"), Space::Rgb);
    const auto first = vek::colour::toSrgb(d, Space::Rgb);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(vek::colour::toSrgb(d, Space::Rgb), first);
    vek::colour::releaseTransforms();
    const auto after = vek::colour::toSrgb(d, Space::Rgb);
    ASSERT_NE(after, nullptr);
    EXPECT_NE(after, first);
    vek::colour::releaseTransforms();
}

} // namespace
