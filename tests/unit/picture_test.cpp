// GetPicture against the scripted library: call order and arguments, progress and cancellation,
// every release path, the blocks handed over, and when a picture is composited.
#include <cstring>
#include <string>
#include <vector>

#include "imaging/checkerboard.h"
#include "plugin/plugin.h"
#include "tests/unit/plugin_fixture.h"

namespace {

using Names = std::vector<std::string>;

struct Ask {
    int numerator, denominator;
    intptr_t data;
    bool operator==(const Ask&) const = default;
};
std::vector<Ask> asks;
int stopAt = -1; // the numerator at which the callback asks to stop; -1 never

int PLUGIN_API recordProgress(int numerator, int denominator, intptr_t data) {
    asks.push_back({numerator, denominator, data});
    return numerator == stopAt ? 1 : 0;
}

HLOCAL const kUntouched = reinterpret_cast<HLOCAL>(static_cast<uintptr_t>(0x5EE5));
const char kFile[] = "C:\\pictures\\cat.png";
const char kMemory[] = "pretend-encoded-picture";

class Picture : public PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        asks.clear();
        stopAt = -1;
    }
    void TearDown() override {
        release();
        PluginTest::TearDown();
    }
    int run(uint32_t flags = 0, ProgressCallback progress = recordProgress, intptr_t data = 42) {
        const char* source = (flags & 7) ? kMemory : kFile;
        return GetPicture(source, sizeof kMemory, flags, &header, &pixels, progress, data);
    }
    // The blocks the host owns after a delivered picture.
    void release() {
        if (owned) {
            EXPECT_EQ(LocalFree(header), nullptr);
            EXPECT_EQ(LocalFree(pixels), nullptr);
            owned = false;
        }
    }
    std::vector<uint8_t> blockBytes(HLOCAL h) {
        const size_t n = LocalSize(h);
        auto* p = static_cast<uint8_t*>(LocalLock(h));
        std::vector<uint8_t> bytes(p, p + n);
        LocalUnlock(h);
        return bytes;
    }
    void expectUntouched() {
        EXPECT_EQ(header, kUntouched);
        EXPECT_EQ(pixels, kUntouched);
    }
    HLOCAL header = kUntouched;
    HLOCAL pixels = kUntouched;
    bool owned = false;
};

const Names kFullRun = {"vekGetFileInformation", "vekGetDefaultLoadParams", "vekLoadBitmap", "vekFreeFileInformation",
                        "vekChangeColorDepth",   "vekFreeBitmap",           "vekFreeBitmap"};

// The ownership contract: the record and both bitmaps are each released exactly once, after their
// last use; GetPicture's steps fix the whole order (query, defaults, load, record, conversion, loaded
// bitmap, converted bitmap), so the sequence itself is held too.
TEST_F(Picture, EachObjectIsReleasedOnceInGetPicturesOrderWithTheRightArguments) {
    for (uint32_t flags : {0u, 8u, 0xFFFFFFF8u}) {
        fakevek::reset();
        asks.clear();
        ASSERT_EQ(run(flags), Success) << "flags " << flags;
        owned = true;
        ASSERT_EQ(fakevek::callNames(), kFullRun);
        const auto& c = fakevek::calls();
        // The query: the name, format index -1 and a zero-filled record; no length.
        ASSERT_EQ(c[0].args.size(), 3u);
        EXPECT_EQ(c[0].args[0], reinterpret_cast<uintptr_t>(kFile));
        EXPECT_EQ(static_cast<int32_t>(c[0].args[1]), -1);
        const FileInformation zero{};
        EXPECT_EQ(std::memcmp(&c[0].infoOnEntry, &zero, sizeof zero), 0) << "record not zero-filled";
        const uintptr_t record = c[0].args[2];
        // The load: the name, a bitmap pointer preset to null, the defaults with row origin 16, the same record.
        EXPECT_EQ(c[2].args[0], reinterpret_cast<uintptr_t>(kFile));
        EXPECT_EQ(c[2].args[4], 0u) << "bitmap pointer not preset to null";
        EXPECT_EQ(c[2].args[2], c[1].args[0]) << "load params are not the ones defaulted";
        EXPECT_EQ(c[2].args[3], record);
        EXPECT_EQ(c[2].paramsOnEntry.rowOrigin, VEK_ORIGIN_BOTTOM_LEFT);
        EXPECT_EQ(c[2].paramsOnEntry.flags, 0x1234) << "a default other than the row origin changed";
        EXPECT_EQ(c[2].paramsOnEntry.frameIndex, 7);
        EXPECT_EQ(c[2].paramsOnEntry.maxPixels, 0xCAFEu);
        EXPECT_EQ(c[2].paramsOnEntry.size, sizeof(LoadParams));
        EXPECT_EQ(c[3].args[0], record);
        // The conversion: the loaded bitmap, an output preset to null, mode 23, parameter 0.
        EXPECT_EQ(static_cast<int32_t>(c[4].args[2]), VEK_COLOR_BGRA32);
        EXPECT_EQ(c[4].args[3], 0u);
        EXPECT_EQ(c[4].args[4], 0u) << "output pointer not preset to null";
        EXPECT_EQ(c[5].args[0], c[4].args[0]) << "the loaded bitmap is freed right after conversion";
        EXPECT_NE(c[6].args[0], c[4].args[0]);
        EXPECT_EQ(fakevek::count("vekFreeFileInformation"), 1);
        EXPECT_EQ(fakevek::liveBitmaps(), 0) << "a bitmap not released";
        release();
    }
}

TEST_F(Picture, MemorySourcePassesTheLengthUnsigned) {
    for (uint32_t flags = 1; flags <= 7; ++flags) {
        fakevek::reset();
        ASSERT_EQ(run(flags), Success) << "flags " << flags;
        owned = true;
        const auto& c = fakevek::calls();
        ASSERT_EQ(fakevek::callNames(),
                  (Names{"vekGetFileInformationFromMemory", "vekGetDefaultLoadParams", "vekLoadBitmapFromMemory",
                         "vekFreeFileInformation", "vekChangeColorDepth", "vekFreeBitmap", "vekFreeBitmap"}));
        EXPECT_EQ(c[0].args[0], reinterpret_cast<uintptr_t>(kMemory));
        EXPECT_EQ(c[0].args[1], sizeof kMemory);
        EXPECT_EQ(static_cast<int32_t>(c[0].args[2]), -1);
        EXPECT_EQ(c[2].args[0], reinterpret_cast<uintptr_t>(kMemory));
        EXPECT_EQ(c[2].args[1], sizeof kMemory);
        EXPECT_EQ(c[2].args[4], c[0].args[3]) << "the load gets the queried record";
        release();
    }
    fakevek::reset();
    ASSERT_EQ(GetPicture(kMemory, -1, 1, &header, &pixels, nullptr, 0), Success);
    owned = true;
    EXPECT_EQ(fakevek::calls()[0].args[1], 0xFFFFFFFFu);
}

TEST_F(Picture, ProgressIsAskedAtFourPointsWithTheHostsData) {
    // Pointer-sized: a 64-bit host's pointer above 4 GiB arrives whole.
    const intptr_t wide = static_cast<intptr_t>(sizeof(intptr_t) == 8 ? 0x00000001400180D0 : 0x400180D0);
    for (intptr_t data : {intptr_t{0}, intptr_t{42}, intptr_t{-5}, intptr_t{INT32_MAX}, intptr_t{INT32_MIN}, wide,
                          reinterpret_cast<intptr_t>(&asks)}) {
        asks.clear();
        ASSERT_EQ(run(0, recordProgress, data), Success);
        owned = true;
        EXPECT_EQ(asks, (std::vector<Ask>{{0, 100, data}, {33, 100, data}, {66, 100, data}, {100, 100, data}}));
        release();
        fakevek::reset();
    }
}

TEST_F(Picture, WithoutACallbackThePictureStillComes) {
    ASSERT_EQ(run(0, nullptr), Success);
    owned = true;
    EXPECT_TRUE(asks.empty());
}

TEST_F(Picture, CancellingEarlyReleasesEverythingAndWritesNothing) {
    const struct {
        int at;
        Names calls;
    } cases[] = {
        {0, {}},
        {33,
         {"vekGetFileInformation", "vekGetDefaultLoadParams", "vekLoadBitmap", "vekFreeFileInformation",
          "vekFreeBitmap"}},
        {66, kFullRun},
    };
    for (const auto& c : cases) {
        fakevek::reset();
        asks.clear();
        stopAt = c.at;
        EXPECT_EQ(run(), Cancelled) << "stop at " << c.at;
        EXPECT_EQ(fakevek::callNames(), c.calls) << "stop at " << c.at;
        EXPECT_EQ(asks.back().numerator, c.at);
        expectUntouched();
        EXPECT_EQ(platformLiveBlocks(), 0);
    }
}

TEST_F(Picture, CancellingAtTheEndLeavesTheFinishedBlocksToTheHost) {
    stopAt = 100;
    ASSERT_EQ(run(), Cancelled);
    owned = true;
    ASSERT_NE(header, kUntouched);
    EXPECT_EQ(platformLiveBlocks(), 2);
    EXPECT_EQ(platformHeldLocks(), 0);
    EXPECT_EQ(blockBytes(pixels), fakevek::convertedBytes(fakevek::script().converted));
}

TEST_F(Picture, LibraryFailuresReleaseWhatTheyMustExactlyOnce) {
    const struct {
        const char* what;
        void (*script)(fakevek::Script&);
        Names calls;
        uintptr_t lastFreedIsNull; // 1 when the final vekFreeBitmap gets null
    } cases[] = {
        {"query",
         [](fakevek::Script& s) { s.infoResult = VEK_ERROR_UNKNOWN_FORMAT; },
         {"vekGetFileInformation", "vekFreeFileInformation"},
         0},
        {"load",
         [](fakevek::Script& s) { s.loadResult = VEK_ERROR_DAMAGED; },
         {"vekGetFileInformation", "vekGetDefaultLoadParams", "vekLoadBitmap", "vekFreeFileInformation",
          "vekFreeBitmap"},
         1},
        {"load leaving a bitmap",
         [](fakevek::Script& s) {
             s.loadResult = VEK_ERROR_DAMAGED;
             s.loadLeavesBitmapOnFailure = true;
         },
         {"vekGetFileInformation", "vekGetDefaultLoadParams", "vekLoadBitmap", "vekFreeFileInformation",
          "vekFreeBitmap"},
         0},
        {"conversion",
         [](fakevek::Script& s) { s.convertResult = VEK_ERROR_OUT_OF_MEMORY; },
         {"vekGetFileInformation", "vekGetDefaultLoadParams", "vekLoadBitmap", "vekFreeFileInformation",
          "vekChangeColorDepth", "vekFreeBitmap", "vekFreeBitmap"},
         1},
        {"conversion leaving a bitmap",
         [](fakevek::Script& s) {
             s.convertResult = VEK_ERROR_UNSUPPORTED;
             s.convertLeavesBitmapOnFailure = true;
         },
         {"vekGetFileInformation", "vekGetDefaultLoadParams", "vekLoadBitmap", "vekFreeFileInformation",
          "vekChangeColorDepth", "vekFreeBitmap", "vekFreeBitmap"},
         0},
    };
    for (const auto& c : cases) {
        fakevek::reset();
        asks.clear();
        c.script(fakevek::script());
        EXPECT_EQ(run(), LibraryError) << c.what;
        EXPECT_EQ(fakevek::callNames(), c.calls) << c.what;
        EXPECT_EQ(fakevek::count("vekFreeFileInformation"), 1) << c.what;
        if (c.calls.back() == "vekFreeBitmap") {
            EXPECT_EQ(fakevek::calls().back().args[0] == 0, c.lastFreedIsNull == 1) << c.what;
        }
        EXPECT_EQ(fakevek::liveBitmaps(), 0) << c.what;
        expectUntouched();
    }
}

TEST_F(Picture, FailedAllocationOrLockReleasesBothBlocksAndClearsTheHandles) {
    const struct {
        const char* what;
        int allocAt, lockAt;
        int result;
    } cases[] = {
        {"header allocation", 1, 0, OutOfMemory},
        {"pixel allocation", 2, 0, OutOfMemory},
        {"header lock", 0, 1, LockFailed},
        {"pixel lock", 0, 2, LockFailed},
    };
    for (const auto& c : cases) {
        fakevek::reset();
        asks.clear();
        header = pixels = kUntouched;
        platformFailLocalAllocAt(c.allocAt);
        platformFailLocalLockAt(c.lockAt);
        EXPECT_EQ(run(), c.result) << c.what;
        EXPECT_EQ(platformLiveBlocks(), 0) << c.what;
        EXPECT_EQ(header, nullptr) << c.what;
        EXPECT_EQ(pixels, nullptr) << c.what;
        EXPECT_EQ(fakevek::liveBitmaps(), 0) << c.what;
        EXPECT_EQ(asks.back().numerator, 66) << "no ask at 100 after a failure";
        platformResetCounters();
    }
}

TEST_F(Picture, TheHeaderBlockAndPixelBlockHoldTheDib) {
    ASSERT_EQ(run(), Success);
    owned = true;
    EXPECT_EQ(LocalSize(header), 44u);
    const std::vector<uint8_t> h = blockBytes(header);
    const uint8_t expected[40] = {40, 0, 0, 0, 3, 0, 0, 0, 2, 0, 0, 0, 1, 0, 32, 0};
    EXPECT_EQ(std::memcmp(h.data(), expected, 40), 0);
    EXPECT_EQ(LocalSize(pixels), 24u);
    EXPECT_EQ(blockBytes(pixels), fakevek::convertedBytes(fakevek::script().converted))
        << "a 24-bit picture is copied, not composited";
}

TEST_F(Picture, RowsWithGapsAreCopiedRowByRow) {
    fakevek::BitmapShape& shape = fakevek::script().converted;
    shape.width = 5;
    shape.height = 3;
    shape.bytesPerLine = 5 * 4 + 12;
    ASSERT_EQ(run(), Success);
    owned = true;
    const std::vector<uint8_t> stored = fakevek::convertedBytes(shape);
    std::vector<uint8_t> expected;
    for (int y = 0; y < 3; ++y) expected.insert(expected.end(), stored.begin() + y * 32, stored.begin() + y * 32 + 20);
    EXPECT_EQ(blockBytes(pixels), expected);
}

TEST_F(Picture, BitmapsNoDibCanHoldAreRefusedBeforeAnyAllocation) {
    const struct {
        int32_t width, height, bytesPerLine;
        int result;
    } cases[] = {
        {0, 2, 0, LibraryError},        {3, 0, 0, LibraryError},        {-3, 2, 0, LibraryError},
        {3, -2, 0, LibraryError},       {3, 2, 11, LibraryError},       {3, 2, -12, LibraryError},
        {50000, 50000, 0, OutOfMemory}, {23171, 23171, 0, OutOfMemory}, {65536, 8192, 0, OutOfMemory},
        {536870911, 2, 0, OutOfMemory}, {2, 536870912, 8, OutOfMemory},
    };
    for (const auto& c : cases) {
        fakevek::reset();
        asks.clear();
        fakevek::script().converted = {c.width, c.height, 8, 4, -1, c.bytesPerLine, {}};
        EXPECT_EQ(run(), c.result) << c.width << " x " << c.height;
        expectUntouched();
        EXPECT_EQ(platformLiveBlocks(), 0);
        EXPECT_EQ(fakevek::liveBitmaps(), 0);
    }
}

TEST_F(Picture, CompositingIsDecidedOnTheBitmapAsLoaded) {
    const struct {
        int16_t index;
        uint16_t bits, components;
        bool composited;
    } cases[] = {
        {-1, 8, 4, true},  {-1, 8, 3, false}, {-1, 16, 4, false},
        {-1, 8, 2, false}, {-1, 32, 1, true}, {-1, 2049, 32, false}, // 65568: 32 only when truncated to 16 bits
        {0, 8, 1, true},   {5, 8, 1, true},   {-2, 8, 3, true},
    };
    for (const auto& c : cases) {
        fakevek::reset();
        fakevek::Script& s = fakevek::script();
        s.loaded = {4, 2, c.bits, c.components, c.index, 0, {}};
        s.converted = {4, 2, 8, 4, -1, 0, std::vector<uint8_t>(32, 0x40)};
        for (size_t i = 3; i < 32; i += 4) s.converted.pixels[i] = 0; // fully transparent
        ASSERT_EQ(run(), Success);
        owned = true;
        std::vector<uint8_t> expected = s.converted.pixels;
        if (c.composited) CheckerboardComposite(expected.data(), 4, 2);
        EXPECT_EQ(blockBytes(pixels), expected) << "index " << c.index << ", " << c.bits << " x " << c.components;
        release();
    }
}

TEST_F(Picture, OpaquePicturesWithAlphaComeOutUnchanged) {
    fakevek::Script& s = fakevek::script();
    s.loaded = {4, 2, 8, 4, -1, 0, {}};
    s.converted = {4, 2, 8, 4, -1, 0, fakevek::convertedBytes({4, 2, 8, 4, -1, 0, {}})};
    for (size_t i = 3; i < 32; i += 4) s.converted.pixels[i] = 255;
    ASSERT_EQ(run(), Success);
    owned = true;
    EXPECT_EQ(blockBytes(pixels), s.converted.pixels);
}

TEST_F(Picture, GetPreviewIsTheSameEntryPoint) {
    // Through volatile: a compiler may assume two declared functions never share an address.
    volatile uintptr_t preview = reinterpret_cast<uintptr_t>(&GetPreview);
    volatile uintptr_t picture = reinterpret_cast<uintptr_t>(&GetPicture);
    EXPECT_EQ(preview, picture);
    fakevek::script().loaded.transparentIndex = 0;
    ASSERT_EQ(run(), Success);
    const std::vector<uint8_t> h1 = blockBytes(header), p1 = blockBytes(pixels);
    LocalFree(header);
    LocalFree(pixels);
    ASSERT_EQ(GetPreview(kFile, 0, 0, &header, &pixels, nullptr, 0), Success);
    owned = true;
    const std::vector<uint8_t> h2 = blockBytes(header);
    EXPECT_EQ(std::vector<uint8_t>(h1.begin(), h1.begin() + 40), std::vector<uint8_t>(h2.begin(), h2.begin() + 40));
    EXPECT_EQ(blockBytes(pixels), p1);
}

// The UTF-16 twins: the same sequence with the library's wide named-file calls, the name's pointer
// passed on unchanged; memory sources take the same calls as the 8-bit exports.
TEST_F(Picture, WideExportsUseTheWideNamedFileCalls) {
    const char16_t name[] = u"C:\\写真\\😀.png";
    const WCHAR* wideName = reinterpret_cast<const WCHAR*>(name);
    using Export = int(PLUGIN_API*)(const WCHAR*, int32_t, uint32_t, HLOCAL*, HLOCAL*, ProgressCallback, intptr_t);
    for (Export entry : {&GetPictureW, &GetPreviewW}) {
        for (uint32_t flags : {0u, 8u, 1u}) {
            fakevek::reset();
            asks.clear();
            const WCHAR* source = flags == 1 ? reinterpret_cast<const WCHAR*>(kMemory) : wideName;
            ASSERT_EQ(entry(source, sizeof kMemory, flags, &header, &pixels, recordProgress, 42), Success);
            owned = true;
            const auto& c = fakevek::calls();
            if (flags == 1) {
                EXPECT_EQ(fakevek::callNames()[0], "vekGetFileInformationFromMemory");
                EXPECT_EQ(fakevek::callNames()[2], "vekLoadBitmapFromMemory");
                EXPECT_EQ(c[2].args[1], sizeof kMemory);
            } else {
                Names expected = kFullRun;
                expected[0] = "vekGetFileInformationW";
                expected[2] = "vekLoadBitmapW";
                ASSERT_EQ(fakevek::callNames(), expected);
                EXPECT_EQ(c[0].args.size(), 3u);
                EXPECT_EQ(c[0].wideText, name);
                EXPECT_EQ(c[2].args[0], reinterpret_cast<uintptr_t>(wideName));
                EXPECT_EQ(c[2].args[3], c[0].args[2]) << "the load gets the queried record";
            }
            EXPECT_EQ(c[0].args[0], reinterpret_cast<uintptr_t>(source));
            EXPECT_EQ(asks.size(), 4u);
            EXPECT_EQ(blockBytes(pixels), fakevek::convertedBytes(fakevek::script().converted));
            release();
        }
    }
    volatile uintptr_t preview = reinterpret_cast<uintptr_t>(&GetPreviewW);
    volatile uintptr_t picture = reinterpret_cast<uintptr_t>(&GetPictureW);
    EXPECT_EQ(preview, picture);
    EXPECT_EQ(GetPictureW(nullptr, 0, 0, &header, &pixels, recordProgress, 0), LibraryError);
}

TEST_F(Picture, NullArgumentsAreRefusedBeforeAnythingHappens) {
    EXPECT_EQ(GetPicture(nullptr, 0, 0, &header, &pixels, recordProgress, 0), LibraryError);
    EXPECT_EQ(GetPicture(kFile, 0, 0, nullptr, &pixels, recordProgress, 0), LibraryError);
    EXPECT_EQ(GetPicture(kFile, 0, 0, &header, nullptr, recordProgress, 0), LibraryError);
    EXPECT_TRUE(asks.empty());
    EXPECT_TRUE(fakevek::calls().empty());
    expectUntouched();
}

} // namespace
