// The entry points of our libvek340 that do not decode.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "imagelib/refusal.h"
#include "imagelib/vek.h"

namespace {

// A 2 x 1 24-bit BMP: blue, then white.
const uint8_t kTinyBmp[] = {'B', 'M', 62, 0, 0, 0, 0, 0,  0, 0, 54, 0, 0,   0, 40, 0,   0,   0,   2, 0, 0,
                            0,   1,   0,  0, 0, 1, 0, 24, 0, 0, 0,  0, 0,   8, 0,  0,   0,   0,   0, 0, 0,
                            0,   0,   0,  0, 0, 0, 0, 0,  0, 0, 0,  0, 255, 0, 0,  255, 255, 255, 0, 0};

TEST(LibraryAcceptance, AnswersByExtensionIgnoringCase) {
    const struct {
        const char* name;
        int32_t answer;
    } cases[] = {
        {"a.psd", 0},     {"a.PSB", 0},       {"a.dds", 0},        {"a.Gif", 0},          {"a.jpg", 0},
        {"a.JPEG", 0},    {"a.jpe", 0},       {"a.jfif", 0},       {"a.png", 0},          {"a.tga", 0},
        {"a.bmp", 0},     {"a.DIB", 0},       {"C:\\x\\y.png", 0}, {"/tmp/x.y/z.tga", 0}, {"a.txt", 1},
        {"a.png.txt", 1}, {"noextension", 1}, {"dir.png/file", 1}, {"dir.png\\file", 1},  {"a.", 1},
        {"", 1},          {"a.pngx", 1},      {"a.pn", 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(vekFormatIsSupported(c.name), c.answer) << c.name;
        const std::u16string wide(c.name, c.name + std::strlen(c.name));
        EXPECT_EQ(vekFormatIsSupportedW(wide.c_str()), c.answer) << c.name << " as UTF-16";
    }
    EXPECT_EQ(vekFormatIsSupported(nullptr), 1);
    EXPECT_EQ(vekFormatIsSupportedW(nullptr), 1);
    // Only ASCII letters fold: a full-width "ｐｎｇ" is another extension.
    for (const char16_t* name : {u"写真.PNG", u"C:\\фото\\😀.gif", u"ñandú.Jpeg"})
        EXPECT_EQ(vekFormatIsSupportedW(name), 0);
    for (const char16_t* name : {u"a.ｐｎｇ", u"写真.png\\x", u"a.pnǵ"}) EXPECT_EQ(vekFormatIsSupportedW(name), 1);
}

// Init and exit are counted; exits without an init are harmless, and the library keeps working.
TEST(LibraryLifetime, UnbalancedExitsLeaveTheLibraryWorking) {
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(vekLibraryInit(), VEK_OK);
        EXPECT_EQ(vekLibraryInit(), VEK_OK);
        EXPECT_EQ(vekLibraryExit(), VEK_OK);
        EXPECT_EQ(vekLibraryExit(), VEK_OK);
        EXPECT_EQ(vekLibraryExit(), VEK_OK); // one more than there were
        FileInformation info{};
        EXPECT_EQ(vekGetFileInformationFromMemory(kTinyBmp, sizeof kTinyBmp, VEK_FORMAT_DETECT, &info), VEK_OK);
        EXPECT_EQ(info.width, 2);
        vekFreeFileInformation(&info);
    }
}

TEST(LibraryArguments, NullArgumentsAreRefusedWithACode) {
    FileInformation info{};
    LoadParams params{};
    LibraryBitmap* bitmap = nullptr;
    EXPECT_EQ(vekGetFileInformation(nullptr, VEK_FORMAT_DETECT, &info), VEK_ERROR_BAD_ARGUMENT);
    EXPECT_EQ(vekGetFileInformation("x.png", VEK_FORMAT_DETECT, nullptr), VEK_ERROR_BAD_ARGUMENT);
    EXPECT_EQ(vekGetFileInformationFromMemory(nullptr, 4, VEK_FORMAT_DETECT, &info), VEK_ERROR_BAD_ARGUMENT);
    EXPECT_EQ(vekGetDefaultLoadParams(nullptr), VEK_ERROR_BAD_ARGUMENT);
    EXPECT_EQ(vekLoadBitmap(nullptr, &bitmap, &params, &info), VEK_ERROR_BAD_ARGUMENT);
    EXPECT_EQ(vekLoadBitmap("x.png", nullptr, &params, &info), VEK_ERROR_BAD_ARGUMENT);
    EXPECT_EQ(vekChangeColorDepth(nullptr, &bitmap, VEK_COLOR_BGRA32, 0), VEK_ERROR_BAD_ARGUMENT);
    EXPECT_EQ(vekFreeBitmap(nullptr), VEK_OK);
    EXPECT_EQ(vekFreeFileInformation(nullptr), VEK_OK);
}

TEST(LibraryDefaults, LoadParamsDefaultToTopRowFirst) {
    LoadParams params;
    std::memset(&params, 0xAB, sizeof params);
    ASSERT_EQ(vekGetDefaultLoadParams(&params), VEK_OK);
    EXPECT_EQ(params.size, sizeof params);
    EXPECT_EQ(params.rowOrigin, VEK_ORIGIN_TOP_LEFT);
    EXPECT_EQ(params.flags, 0);
    EXPECT_EQ(params.frameIndex, 0);
    EXPECT_EQ(params.maxPixels, 0u);
}

#ifndef _WIN32
// A file name that is not a regular file is refused at once: a FIFO would otherwise wait for a
// writer forever. (What a large file with a bad header costs: tests/formats/refusal_test.cpp.)
TEST(LibrarySources, OnlyRegularFilesAreOpened) {
    const std::string dir = testing::TempDir() + "vek-sources-" + std::to_string(getpid());
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    const std::string fifo = dir + "/picture.png";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    FileInformation info{};
    for (const std::string& name : {fifo, dir, std::string("/dev/zero"), std::string("/dev/null")})
        EXPECT_EQ(vekGetFileInformation(name.c_str(), VEK_FORMAT_DETECT, &info), VEK_ERROR_CANNOT_READ) << name;
    LoadParams params;
    vekGetDefaultLoadParams(&params);
    LibraryBitmap* bitmap = nullptr;
    EXPECT_EQ(vekLoadBitmap(fifo.c_str(), &bitmap, &params, &info), VEK_ERROR_CANNOT_READ);
    unlink(fifo.c_str());
    rmdir(dir.c_str());
}

// UTF-16 names open the file they spell (here by its UTF-8 form); a name that is not UTF-16 is
// refused with a code of its own, for the query and for a load without one.
TEST(LibrarySources, WideNamesOpenTheFileTheySpell) {
    const std::string dir = testing::TempDir() + "vek-wide-" + std::to_string(getpid());
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    const std::string path = dir + "/写真 😀.bmp";
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(kTinyBmp, 1, sizeof kTinyBmp, f), sizeof kTinyBmp);
    std::fclose(f);
    const std::u16string wide = u"" + std::u16string(dir.begin(), dir.end()) + u"/写真 😀.bmp";

    FileInformation info{};
    ASSERT_EQ(vekGetFileInformationW(wide.c_str(), VEK_FORMAT_DETECT, &info), VEK_OK);
    EXPECT_EQ(info.width, 2);
    EXPECT_EQ(info.formatIndex, VEK_FORMAT_BMP);
    LoadParams params;
    vekGetDefaultLoadParams(&params);
    LibraryBitmap* bitmap = nullptr;
    ASSERT_EQ(vekLoadBitmapW(wide.c_str(), &bitmap, &params, &info), VEK_OK);
    vekFreeFileInformation(&info);
    LibraryBitmap* converted = nullptr;
    ASSERT_EQ(vekChangeColorDepth(bitmap, &converted, VEK_COLOR_BGRA32, 0), VEK_OK);
    const uint8_t expected[] = {255, 0, 0, 255, 255, 255, 255, 255};
    EXPECT_EQ(std::memcmp(converted->pixels, expected, sizeof expected), 0);
    vekFreeBitmap(converted);
    vekFreeBitmap(bitmap);

    // The load alone, with a record queried under another name, opens the file itself.
    FileInformation other{};
    bitmap = nullptr;
    EXPECT_EQ(vekLoadBitmapW(wide.c_str(), &bitmap, &params, &other), VEK_OK);
    vekFreeBitmap(bitmap);

    const char16_t loneHigh[] = {u'a', 0xD83D, u'.', u'b', u'm', u'p', 0};
    const char16_t loneLow[] = {u'a', 0xDE00, u'.', u'b', u'm', u'p', 0};
    const char16_t highAtEnd[] = {u'a', u'.', u'b', u'm', u'p', 0xD83D, 0};
    for (const char16_t* name : {loneHigh, loneLow, highAtEnd}) {
        EXPECT_EQ(vekGetFileInformationW(name, VEK_FORMAT_DETECT, &info), VEK_ERROR_BAD_ARGUMENT);
        EXPECT_EQ(vekLoadBitmapW(name, &bitmap, &params, &other), VEK_ERROR_BAD_ARGUMENT);
        EXPECT_EQ(bitmap, nullptr);
    }
    EXPECT_EQ(vekGetFileInformationW(u"/no/such/写真.bmp", VEK_FORMAT_DETECT, &info), VEK_ERROR_CANNOT_READ);
    EXPECT_EQ(vekGetFileInformationW(nullptr, VEK_FORMAT_DETECT, &info), VEK_ERROR_BAD_ARGUMENT);
    EXPECT_EQ(vekLoadBitmapW(nullptr, &bitmap, &params, &info), VEK_ERROR_BAD_ARGUMENT);
    unlink(path.c_str());
    rmdir(dir.c_str());
}
#endif

// What the library says about this thread's last call: its code, and its reason cut to `size`.
struct Said {
    VekError code;
    std::string reason;
};
Said lastRefusal(uint32_t size = 256) {
    std::vector<char> text(size, 'x');
    const VekError code = vekGetLastRefusal(text.data(), size);
    return {code, text.data()};
}

std::vector<uint8_t> bytesOf(std::initializer_list<const char*> parts, size_t size) {
    std::vector<uint8_t> out;
    for (const char* p : parts) out.insert(out.end(), p, p + std::strlen(p));
    out.resize(size);
    return out;
}

TEST(LibraryRefusals, SayWhyUntilTheNextCallSucceeds) {
    std::vector<uint8_t> bmp(kTinyBmp, kTinyBmp + sizeof kTinyBmp);
    bmp[30] = 9; // compression
    std::vector<uint8_t> psd = bytesOf({"8BPS"}, 26);
    psd[5] = psd[17] = psd[21] = 1; // version 1, 1 x 1 pixels
    psd[13] = psd[25] = 3;          // three channels, RGB
    psd[23] = 7;                    // bits a channel
    std::vector<uint8_t> gif = bytesOf({"GIF89a"}, 14);
    gif[6] = gif[8] = 1; // a 1 x 1 screen, no colour table, then the trailer
    gif[13] = ';';
    const struct {
        const char* what;
        std::vector<uint8_t> bytes;
        VekError code;
        const char* reason;
    } cases[] = {
        {"empty", {}, VEK_ERROR_DAMAGED, "the file is empty"},
        {"no signature", bytesOf({"not a picture"}, 13), VEK_ERROR_UNKNOWN_FORMAT,
         "no reader knows the first bytes of this file"},
        {"PNG", bytesOf({"\x89PNG\r\n\x1a\n", "\0\0\0\x0dIEND"}, 33), VEK_ERROR_DAMAGED,
         "PNG: IHDR is not the first chunk"},
        {"BMP", bmp, VEK_ERROR_UNSUPPORTED, "BMP: compression 9 is not read"},
        {"PSD", psd, VEK_ERROR_UNSUPPORTED, "PSD: 7 bits a channel"},
        {"GIF", gif, VEK_ERROR_DAMAGED, "GIF: the file ends before its first picture"},
    };
    const uint8_t none = 0;
    for (const auto& c : cases) {
        FileInformation info{};
        const uint8_t* data = c.bytes.empty() ? &none : c.bytes.data();
        EXPECT_EQ(
            vekGetFileInformationFromMemory(data, static_cast<uint32_t>(c.bytes.size()), VEK_FORMAT_DETECT, &info),
            c.code)
            << c.what;
        const Said said = lastRefusal();
        EXPECT_EQ(said.code, c.code) << c.what;
        EXPECT_EQ(said.reason, c.reason) << c.what;
        // Freeing says nothing new; the next call that succeeds forgets.
        vekFreeFileInformation(&info);
        EXPECT_EQ(lastRefusal().reason, c.reason) << c.what;
        ASSERT_EQ(vekGetFileInformationFromMemory(kTinyBmp, sizeof kTinyBmp, VEK_FORMAT_DETECT, &info), VEK_OK);
        vekFreeFileInformation(&info);
        EXPECT_EQ(lastRefusal().code, VEK_OK) << c.what;
        EXPECT_EQ(lastRefusal().reason, "") << c.what;
    }
}

TEST(LibraryRefusals, ReasonsAreCutToTheBufferAndKeptPerThread) {
    LibraryBitmap* bitmap = nullptr;
    LoadParams params{};
    FileInformation info{};
    ASSERT_EQ(vekLoadBitmap(nullptr, &bitmap, &params, &info), VEK_ERROR_BAD_ARGUMENT);
    EXPECT_EQ(lastRefusal().reason, "no file name given");
    EXPECT_EQ(lastRefusal(8).reason, "no file");
    EXPECT_EQ(vekGetLastRefusal(nullptr, 0), VEK_ERROR_BAD_ARGUMENT);
    std::thread([] {
        EXPECT_EQ(lastRefusal().code, VEK_OK); // another thread's refusal is not this one's
        FileInformation other{};
        EXPECT_EQ(vekGetFileInformation("/no/such/file.png", VEK_FORMAT_DETECT, &other), VEK_ERROR_CANNOT_READ);
        EXPECT_EQ(lastRefusal().reason.rfind("the file cannot be opened", 0), 0u) << lastRefusal().reason;
    }).join();
    EXPECT_EQ(lastRefusal().reason, "no file name given");
}

} // namespace
