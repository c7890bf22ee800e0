// A refusal costs next to nothing: files the library will not show are refused from their headers,
// or from what their data can hold, before anything the size of the picture is read or allocated.
// Each case runs in a child process whose peak memory is compared with an idle child's.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tests/library_decode.h"

namespace {

// The child's peak resident kilobytes, and the code its work returned.
struct Outcome {
    long peakKilobytes = 0;
    int code = -1;
};

Outcome inChild(const std::function<int()>& work) {
    const pid_t child = fork();
    if (child == 0) _exit(work());
    int status = 0;
    struct rusage usage {};
    Outcome out;
    if (child > 0 && wait4(child, &status, 0, &usage) == child && WIFEXITED(status)) {
        out.peakKilobytes = usage.ru_maxrss;
        out.code = WEXITSTATUS(status);
    }
    return out;
}

// A sparse file of `size` bytes that starts with `head` and is zeros after it: nothing to read,
// everything to scan.
std::string sparseFile(const std::string& name, const std::vector<uint8_t>& head, off_t size) {
    const std::string path = testing::TempDir() + "vek-" + std::to_string(getpid()) + "-" + name;
    const int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, head.data(), head.size()), static_cast<ssize_t>(head.size()));
    EXPECT_EQ(ftruncate(fd, size), 0);
    close(fd);
    return path;
}

// A 16384 x 16384 32-bit RLE TGA whose packets stop after 3 MiB: a quarter of the picture.
std::vector<uint8_t> truncatedRleTga() {
    std::vector<uint8_t> tga = {0, 0, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x40, 0, 0x40, 32, 0x28};
    const uint8_t packet[5] = {0xFF, 0x10, 0x20, 0x30, 0xFF};
    for (size_t i = 0; i < (size_t{3} << 20) / 5; ++i) tga.insert(tga.end(), packet, packet + 5);
    return tga;
}

std::string fixture(const char* name) { return std::string(VEK_FIXTURE_DIR) + "/" + name; }

TEST(Refusals, CostNoMoreThanAFewMegabytes) {
    constexpr off_t kLarge = off_t{1536} << 20;
    const struct Case {
        const char* what;
        std::function<std::string()>
            file; // a path (a sparse file made for the case, or a fixture); empty for the bytes
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"PNG signature, then zeros",
         [] {
             return sparseFile("a.png", {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}, kLarge);
         },
         {}},
        {"PNG signature and IHDR, then zeros",
         [] {
             return sparseFile("b.png",
                               {0x89, 'P',  'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R', 0,
                                0,    0x40, 0,   0,   0,    0x40, 0,    8,    6, 0, 0, 0,  0,   0,   0,   0},
                               kLarge);
         },
         {}},
        {"JPEG signature, then zeros",
         [] {
             return sparseFile("c.jpg", {0xFF, 0xD8, 0xFF}, kLarge);
         },
         {}},
        {"JPEG signature and an APP0 marker, then zeros",
         [] {
             return sparseFile("d.jpg", {0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0}, kLarge);
         },
         {}},
        {"BMP signature, then zeros",
         [] {
             return sparseFile("e.bmp", {'B', 'M'}, kLarge);
         },
         {}},
        {"GIF signature, then zeros",
         [] {
             return sparseFile("f.gif", {'G', 'I', 'F', '8', '9', 'a'}, kLarge);
         },
         {}},
        {"PSD signature, then zeros",
         [] {
             return sparseFile("g.psd", {'8', 'B', 'P', 'S', 0, 1}, kLarge);
         },
         {}},
        {"DDS signature, then zeros",
         [] {
             return sparseFile("h.dds", {'D', 'D', 'S', ' ', 124}, kLarge);
         },
         {}},
        {"more than 500 progressive scans", [] { return fixture("scans-601.jpg"); }, {}},
        {"progressive 16384 x 16384 at 4:4:4", [] { return fixture("progressive-16384-444.jpg"); }, {}},
        {"progressive 16384 x 16384 in CMYK", [] { return fixture("progressive-16384-cmyk.jpg"); }, {}},
        {"GIF frame of 16384 x 16383 without data",
         [] { return std::string(); },
         {'G',  'I',  'F',  '8',  '9', 'a', 0, 0x40, 0, 0x40, 0x80, 0,    0, 0, 0, 0,
          0xFF, 0xFF, 0xFF, 0x2C, 0,   0,   1, 0,    0, 0x40, 0xFF, 0x3F, 0, 2, 0, 0x3B}},
        {"RLE TGA that stops a quarter of the way", [] { return std::string(); }, truncatedRleTga()},
    };
    const long idle = inChild([] { return 0; }).peakKilobytes;
    for (const Case& c : cases) {
        const std::string path = c.file();
        const Outcome out = inChild([&] {
            VekError error = VEK_OK;
            LibraryBitmap* converted = decodeToBgra(path.c_str(), path.empty() ? &c.bytes : nullptr, error);
            vekFreeBitmap(converted);
            return error == VEK_OK ? 0 : 100 + error;
        });
        EXPECT_GT(out.code, 100) << c.what << ": not refused";
        EXPECT_LT(out.peakKilobytes - idle, 16 * 1024)
            << c.what << ": " << out.peakKilobytes - idle << " KiB to refuse";
        if (path.find("/vek-" + std::to_string(getpid()) + "-") != std::string::npos) unlink(path.c_str());
    }
}

// A picture's peak is the file, the library's BGRA bitmap and the viewer's copy of it: an 8-bit
// 4096 x 4096 BMP, converted and then copied into fresh memory as the plug-in copies it into its DIB,
// leaves no indexed buffer behind to add to that.
TEST(Peaks, AConvertedPictureLeavesNothingBehindForTheViewersCopy) {
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    GTEST_SKIP() << "the sanitizers hold freed memory back";
#endif
#endif
    constexpr uint32_t kSide = 4096;
    constexpr size_t kBgra = size_t{kSide} * kSide * 4;
    const long idle = inChild([] { return 0; }).peakKilobytes;
    const Outcome out = inChild([&] {
        std::vector<uint8_t> bmp(14 + 40 + 1024 + size_t{kSide} * kSide);
        const uint32_t header[] = {static_cast<uint32_t>(bmp.size()), 0, 14 + 40 + 1024, 40, kSide, kSide};
        bmp[0] = 'B', bmp[1] = 'M';
        std::memcpy(bmp.data() + 2, header, sizeof header);
        bmp[26] = 1, bmp[28] = 8;
        for (size_t i = 0; i < 256; ++i) bmp[54 + i * 4] = bmp[55 + i * 4] = static_cast<uint8_t>(i);
        for (size_t i = 14 + 40 + 1024; i < bmp.size(); ++i) bmp[i] = static_cast<uint8_t>(i * 7);
        VekError error = VEK_OK;
        LibraryBitmap* converted = decodeToBgra(nullptr, &bmp, error);
        if (converted == nullptr) return 100 + error;
        std::vector<uint8_t> dib(converted->pixels, converted->pixels + kBgra);
        vekFreeBitmap(converted);
        return dib[kBgra / 2] == 0xFF ? 1 : 0;
    });
    ASSERT_LT(out.code, 100) << "not decoded";
    const long budget = static_cast<long>((size_t{kSide} * kSide + 2 * kBgra) / 1024) + 4 * 1024;
    EXPECT_LT(out.peakKilobytes - idle, budget) << out.peakKilobytes - idle << " KiB at the peak";
}

} // namespace
