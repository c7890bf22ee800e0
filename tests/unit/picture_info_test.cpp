#include <cstring>

#include "plugin/plugin.h"
#include "tests/unit/plugin_fixture.h"

namespace {

using PictureInformation = PluginTest;

const char kFile[] = "/pictures/dog.tga";
const char kMemory[] = "encoded";

PictureInfo marked() {
    PictureInfo info;
    std::memset(&info, 0xA5, sizeof info);
    return info;
}

TEST_F(PictureInformation, FileSourceSendsTheNameOnly) {
    for (uint32_t flags : {0u, 8u, 0x10u}) {
        fakevek::reset();
        PictureInfo info = marked();
        ASSERT_EQ(GetPictureInfo(kFile, 1234, flags, &info), Success);
        ASSERT_EQ(fakevek::callNames(), (std::vector<std::string>{"vekGetFileInformation", "vekFreeFileInformation"}));
        const auto& c = fakevek::calls();
        ASSERT_EQ(c[0].args.size(), 3u) << "the length must not reach the named-file query";
        EXPECT_EQ(c[0].args[0], reinterpret_cast<uintptr_t>(kFile));
        EXPECT_EQ(static_cast<int32_t>(c[0].args[1]), -1);
        const FileInformation zero{};
        EXPECT_EQ(std::memcmp(&c[0].infoOnEntry, &zero, sizeof zero), 0);
        EXPECT_EQ(c[1].args[0], c[0].args[2]) << "the queried record is the one freed";
    }
}

TEST_F(PictureInformation, MemorySourceSendsPointerAndLength) {
    for (uint32_t flags = 1; flags <= 7; ++flags) {
        fakevek::reset();
        PictureInfo info = marked();
        ASSERT_EQ(GetPictureInfo(kMemory, sizeof kMemory, flags, &info), Success);
        ASSERT_EQ(fakevek::callNames(),
                  (std::vector<std::string>{"vekGetFileInformationFromMemory", "vekFreeFileInformation"}));
        const auto& c = fakevek::calls();
        EXPECT_EQ(c[0].args[0], reinterpret_cast<uintptr_t>(kMemory));
        EXPECT_EQ(c[0].args[1], sizeof kMemory);
        EXPECT_EQ(static_cast<int32_t>(c[0].args[2]), -1);
        EXPECT_EQ(c[1].args[0], c[0].args[3]);
    }
}

TEST_F(PictureInformation, FieldsComeFromTheRecord) {
    const struct {
        uint16_t bits, components;
        int16_t bitsPerPixel;
    } cases[] = {
        {8, 3, 24}, {8, 4, 32}, {1, 1, 1}, {16, 4, 64}, {0, 0, 0}, {0x8000, 2, 0}, {0x4000, 3, -16384},
    };
    for (const auto& c : cases) {
        fakevek::reset();
        FileInformation& fill = fakevek::script().infoFill;
        fill.width = 640;
        fill.height = -480;
        fill.xOffset = -7;
        fill.yOffset = 9;
        fill.xResolution = 72;
        fill.yResolution = 65535;
        fill.bitsPerComponent = c.bits;
        fill.componentsPerPixel = c.components;
        PictureInfo info = marked();
        ASSERT_EQ(GetPictureInfo(kFile, 0, 0, &info), Success);
        EXPECT_EQ(info.left, -7);
        EXPECT_EQ(info.top, 9);
        EXPECT_EQ(info.width, 640);
        EXPECT_EQ(info.height, -480);
        EXPECT_EQ(info.xResolution, 72);
        EXPECT_EQ(info.yResolution, 65535);
        EXPECT_EQ(info.bitsPerPixel, c.bitsPerPixel) << c.bits << " x " << c.components;
    }
}

// A 64-bit host reads the handle at 22 (the packed record) or at 24 (the record it pads so that the
// handle is 8-aligned): both must read null, and nothing past the larger record may be written.
TEST_F(PictureInformation, TheTextHandleIsNullInEitherLayout) {
    const size_t end = sizeof(void*) == 8 ? 32 : 26;
    for (bool wide : {false, true}) {
        unsigned char record[48];
        std::memset(record, 0x7F, sizeof record);
        auto* info = reinterpret_cast<PictureInfo*>(record);
        ASSERT_EQ(wide ? GetPictureInfoW(reinterpret_cast<const WCHAR*>(u"写真.tga"), 0, 0, info)
                       : GetPictureInfo(kFile, 0, 0, info),
                  Success);
        for (size_t handleAt : {size_t{22}, size_t{24}}) {
            if (handleAt + sizeof(HLOCAL) > end) continue;
            HLOCAL handle;
            std::memcpy(&handle, record + handleAt, sizeof handle);
            EXPECT_EQ(handle, nullptr) << "handle read at " << handleAt;
        }
        for (size_t i = end; i < sizeof record; ++i) EXPECT_EQ(record[i], 0x7F) << "byte " << i << " written";
    }
}

TEST_F(PictureInformation, TheWideTwinQueriesByTheWideName) {
    const char16_t name[] = u"C:\\фото\\😀.gif";
    PictureInfo info = marked();
    fakevek::script().infoFill.width = 33;
    ASSERT_EQ(GetPictureInfoW(reinterpret_cast<const WCHAR*>(name), 77, 0, &info), Success);
    ASSERT_EQ(fakevek::callNames(), (std::vector<std::string>{"vekGetFileInformationW", "vekFreeFileInformation"}));
    EXPECT_EQ(fakevek::calls()[0].args.size(), 3u);
    EXPECT_EQ(fakevek::calls()[0].wideText, name);
    EXPECT_EQ(info.width, 33);
    fakevek::reset();
    ASSERT_EQ(GetPictureInfoW(reinterpret_cast<const WCHAR*>(kMemory), sizeof kMemory, 1, &info), Success);
    EXPECT_EQ(fakevek::callNames()[0], "vekGetFileInformationFromMemory");
    EXPECT_EQ(GetPictureInfoW(nullptr, 0, 0, &info), LibraryError);
}

TEST_F(PictureInformation, FailureLeavesTheRecordAlone) {
    const int errors[] = {VEK_ERROR_CANNOT_READ, VEK_ERROR_UNKNOWN_FORMAT, VEK_ERROR_DAMAGED, -1};
    for (int error : errors) {
        for (uint32_t flags : {0u, 1u}) {
            fakevek::reset();
            fakevek::script().infoResult = static_cast<VekError>(error);
            PictureInfo info = marked();
            const PictureInfo before = info;
            EXPECT_EQ(GetPictureInfo(flags ? kMemory : kFile, sizeof kMemory, flags, &info), LibraryError);
            EXPECT_EQ(std::memcmp(&info, &before, sizeof info), 0);
            EXPECT_EQ(fakevek::count("vekFreeFileInformation"), 1);
        }
    }
}

TEST_F(PictureInformation, NullArgumentsAreRefusedWithoutALibraryCall) {
    PictureInfo info = marked();
    EXPECT_EQ(GetPictureInfo(nullptr, 0, 0, &info), LibraryError);
    EXPECT_EQ(GetPictureInfo(kFile, 0, 0, nullptr), LibraryError);
    EXPECT_TRUE(fakevek::calls().empty());
}

} // namespace
