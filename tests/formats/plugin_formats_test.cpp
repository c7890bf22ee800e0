// The plug-in with our libvek340 behind it: GetPicture on every fixture gives the expected DIB,
// composited where the picture carries transparency.
#include <gtest/gtest.h>

#include <cstring>

#include "imaging/checkerboard.h"
#include "plugin/plugin.h"
#include "tests/formats/fixtures.h"

namespace {

TEST(PluginFormats, GetPictureDeliversEveryFixtureAsADib) {
    for (const Fixture& f : loadFixtures()) {
        for (uint32_t flags : {0u, 1u}) {
            const std::vector<uint8_t> bytes = readBytes(f.path());
            const std::string name = f.path();
            const char* source = flags ? reinterpret_cast<const char*>(bytes.data()) : name.c_str();
            HLOCAL header = nullptr, pixels = nullptr;
            const int result =
                GetPicture(source, static_cast<int32_t>(bytes.size()), flags, &header, &pixels, nullptr, 0);
            if (f.refused()) {
                EXPECT_EQ(result, LibraryError) << f.name;
                continue;
            }
            ASSERT_EQ(result, Success) << f.name;
            const auto* dib = static_cast<const uint8_t*>(LocalLock(header));
            int32_t width, height;
            std::memcpy(&width, dib + 4, 4);
            std::memcpy(&height, dib + 8, 4);
            EXPECT_EQ(width, f.width) << f.name;
            EXPECT_EQ(height, f.height) << f.name;
            std::vector<uint8_t> expected = mirrored(expectedPixels(f), f.width, f.height);
            if (f.transparentIndex != -1 || f.loadedBits * f.loadedComponents == 32)
                CheckerboardComposite(expected.data(), f.width, f.height);
            ASSERT_EQ(LocalSize(pixels), expected.size()) << f.name;
            const auto* p = static_cast<const uint8_t*>(LocalLock(pixels));
            EXPECT_EQ(std::memcmp(p, expected.data(), expected.size()), 0)
                << f.name << (flags ? " (memory)" : " (file)");
            LocalUnlock(pixels);
            LocalUnlock(header);
            LocalFree(header);
            LocalFree(pixels);
        }
    }
    EXPECT_EQ(platformLiveBlocks(), 0);
}

TEST(PluginFormats, PictureInfoOfEveryFixture) {
    for (const Fixture& f : loadFixtures()) {
        if (f.refused()) continue;
        PictureInfo info{};
        ASSERT_EQ(GetPictureInfo(f.path().c_str(), 0, 0, &info), Success) << f.name;
        EXPECT_EQ(info.width, f.width);
        EXPECT_EQ(info.height, f.height);
        EXPECT_EQ(info.bitsPerPixel, f.bits * f.components) << f.name;
        EXPECT_EQ(info.xResolution, f.xdpi) << f.name;
    }
}

} // namespace
