// The plug-in (vek.sph, or vek.spi in the 32-bit build) loaded as a viewer loads it, with
// libvek340.dll beside it.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "plugin/plugin.h"

#include <winver.h>  // after <windows.h>, which the lean build keeps it out of

namespace {

std::string besideThisProgram(const char* name) {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir(path, n);
    return dir.substr(0, dir.find_last_of("\\/") + 1) + name;
}

struct Plugin {
    HMODULE module;
    Plugin() : module(LoadLibraryExA(besideThisProgram(VEK_PLUGIN_NAME).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH)) {}
    ~Plugin() {
        if (module) FreeLibrary(module);
    }
    template <typename F> F get(const char* name) const { return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name))); }
    template <typename F> F get(int ordinal) const {
        return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, MAKEINTRESOURCEA(ordinal))));
    }
};

using GetPluginInfoFn = decltype(&GetPluginInfo);
using IsSupportedFn = decltype(&IsSupported);
using GetPictureFn = decltype(&GetPicture);
using GetPictureInfoFn = decltype(&GetPictureInfo);

const char* const kStrings[16] = {
    "00IN", "VEK Bridge Ver 0.00 (VEK SDK Ver 3.40)",
    "*.psd", "VEK Adobe Photoshop (*.psd)",
    "*.dds", "VEK Direct Draw Surface (*.dds)",
    "*.gif", "VEK Graphics Interchange Format (*.gif)",
    "*.jpg", "VEK Joint Photographic Experts Group (*.jpg)",
    "*.png", "VEK Portable Network Graphics (*.png)",
    "*.tga", "VEK Truevision Targa (*.tga)",
    "*.bmp", "VEK Windows Bitmap (*.bmp)",
};

TEST(WindowsPlugin, LoadsAndReportsItsStrings) {
    Plugin plugin;
    ASSERT_NE(plugin.module, nullptr) << "LoadLibrary failed, error " << GetLastError();
    auto info = plugin.get<GetPluginInfoFn>("GetPluginInfo");
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(reinterpret_cast<void*>(info), reinterpret_cast<void*>(plugin.get<GetPluginInfoFn>(3)));
    for (int i = 0; i < 16; ++i) {
        char text[80] = {};
        EXPECT_EQ(info(i, text, sizeof text), static_cast<int>(strlen(kStrings[i])));
        EXPECT_STREQ(text, kStrings[i]);
    }
    char small[5];
    EXPECT_EQ(info(1, small, 5), 4);
    EXPECT_STREQ(small, "VEK ");
    EXPECT_EQ(info(16, small, 5), 0);
}

TEST(WindowsPlugin, AcceptsByExtensionThroughTheLibrary) {
    Plugin plugin;
    ASSERT_NE(plugin.module, nullptr);
    auto supported = plugin.get<IsSupportedFn>("IsSupported");
    ASSERT_NE(supported, nullptr);
    EXPECT_EQ(reinterpret_cast<void*>(supported), reinterpret_cast<void*>(plugin.get<IsSupportedFn>(5)));
    for (const char* name : {"a.psd", "b.DDS", "c.gif", "d.jpg", "e.png", "f.tga", "g.bmp", "C:\\x\\h.jpeg"})
        EXPECT_EQ(supported(name, 0), 2) << name;
    for (const char* name : {"a.txt", "noext", "x.png.exe"}) EXPECT_EQ(supported(name, 0), 0) << name;
}

int PLUGIN_API neverStop(int, int, int32_t) { return 0; }

TEST(WindowsPlugin, UnreadablePicturesGiveLibraryErrorAndTouchNothing) {
    Plugin plugin;
    ASSERT_NE(plugin.module, nullptr);
    auto getPicture = plugin.get<GetPictureFn>("GetPicture");
    auto getPreview = plugin.get<GetPictureFn>("GetPreview");
    auto getInfo = plugin.get<GetPictureInfoFn>("GetPictureInfo");
    ASSERT_NE(getPicture, nullptr);
    ASSERT_NE(getInfo, nullptr);
    EXPECT_EQ(reinterpret_cast<void*>(getPicture), reinterpret_cast<void*>(getPreview));
    EXPECT_EQ(reinterpret_cast<void*>(getPicture), reinterpret_cast<void*>(plugin.get<GetPictureFn>(1)));
    EXPECT_EQ(reinterpret_cast<void*>(getInfo), reinterpret_cast<void*>(plugin.get<GetPictureInfoFn>(2)));

    const std::string missing = besideThisProgram("no-such-picture.png");
    const char garbage[] = "this is not a picture at all";
    HLOCAL marker = reinterpret_cast<HLOCAL>(static_cast<uintptr_t>(0x1234));
    // A folder and a device are not disk files: refused at once, like a missing file.
    const std::string folder = besideThisProgram("");
    for (const char* name : {missing.c_str(), folder.c_str(), "NUL", "CON"}) {
        PictureInfo info;
        EXPECT_EQ(getInfo(name, 0, 0, &info), LibraryError) << name;
    }
    for (uint32_t flags : {0u, 1u}) {
        const char* source = flags ? garbage : missing.c_str();
        HLOCAL header = marker, pixels = marker;
        EXPECT_EQ(getPicture(source, sizeof garbage, flags, &header, &pixels, neverStop, 7), LibraryError);
        EXPECT_EQ(header, marker);
        EXPECT_EQ(pixels, marker);
        PictureInfo info;
        memset(&info, 0xA5, sizeof info);
        EXPECT_EQ(getInfo(source, sizeof garbage, flags, &info), LibraryError);
        for (size_t i = 0; i < sizeof info; ++i) EXPECT_EQ(reinterpret_cast<unsigned char*>(&info)[i], 0xA5);
    }
}

std::vector<char> readFile(const char* path) {
    std::vector<char> bytes;
    FILE* f = fopen(path, "rb");
    if (f == nullptr) return bytes;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
    fclose(f);
    return bytes;
}

struct Usage {
    size_t committedBytes;  // private memory committed in the address space
    uintptr_t nextHandle;   // the value a new handle gets: it climbs while handles leak
};

// Counted from the address space and from a fresh handle, which every Windows, wine included,
// reports truthfully.
Usage usageNow() {
    size_t committed = 0;
    MEMORY_BASIC_INFORMATION region;
    for (const char* p = nullptr; VirtualQuery(p, &region, sizeof region) == sizeof region;
         p = static_cast<const char*>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) committed += region.RegionSize;
        if (region.RegionSize == 0) break;
    }
    HANDLE probe = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    const uintptr_t value = reinterpret_cast<uintptr_t>(probe);
    CloseHandle(probe);
    return {committed, value};
}

// A viewer may load and drop the plug-in many times: the library must start and stop with it each
// time, and nothing may pile up.
TEST(WindowsPlugin, LoadsAndUnloadsTwoHundredTimesWithoutGrowing) {
    const std::vector<char> png = readFile(VEK_FIXTURE_DIR "/rgba8.png");
    ASSERT_FALSE(png.empty());
    ASSERT_EQ(GetModuleHandleA("libvek340.dll"), nullptr);
    Usage baseline{};
    for (int i = 0; i < 200; ++i) {
        {
            Plugin plugin;
            ASSERT_NE(plugin.module, nullptr) << "load " << i;
            ASSERT_NE(GetModuleHandleA("libvek340.dll"), nullptr);
            auto getPicture = plugin.get<GetPictureFn>("GetPicture");
            HLOCAL header = nullptr, pixels = nullptr;
            ASSERT_EQ(getPicture(png.data(), static_cast<int32_t>(png.size()), 1, &header, &pixels, neverStop, 0), Success);
            EXPECT_EQ(LocalSize(pixels), 13u * 9u * 4u);
            LocalFree(header);
            LocalFree(pixels);
        }
        ASSERT_EQ(GetModuleHandleA("libvek340.dll"), nullptr) << "the library stayed loaded after unload " << i;
        if (i == 19) baseline = usageNow();
    }
    const Usage after = usageNow();
    std::printf("after load 20: next handle %#zx, %zu committed bytes; after load 200: next handle %#zx, %zu bytes\n",
                static_cast<size_t>(baseline.nextHandle), baseline.committedBytes, static_cast<size_t>(after.nextHandle),
                after.committedBytes);
    ASSERT_GT(baseline.committedBytes, 0u);
    EXPECT_LE(after.nextHandle, baseline.nextHandle + 4 * 4) << "handles leaked";
    EXPECT_LE(after.committedBytes, baseline.committedBytes + 2u * 1024 * 1024) << "memory grew";
}

// What a user reads in each shipped file's properties.
TEST(WindowsPlugin, ShippedFilesCarryVersionInformation) {
    for (const char* file : {VEK_PLUGIN_NAME, "libvek340.dll", "vekhost.exe"}) {
        const std::string path = besideThisProgram(file);
        DWORD ignored = 0;
        const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
        ASSERT_GT(size, 0u) << file << ": no version information";
        std::vector<char> block(size);
        ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, block.data())) << file;
        auto text = [&](const char* key) {
            char* value = nullptr;
            UINT length = 0;
            const std::string query = std::string("\\StringFileInfo\\040904B0\\") + key;
            if (!VerQueryValueA(block.data(), query.c_str(), reinterpret_cast<void**>(&value), &length) || value == nullptr)
                return std::string("(missing)");
            return std::string(value);
        };
        EXPECT_EQ(text("ProductName"), "vek bridge") << file;
        EXPECT_EQ(text("OriginalFilename"), file);
        EXPECT_EQ(text("FileVersion"), VEK_PROJECT_VERSION) << file;
        EXPECT_EQ(text("ProductVersion"), VEK_PROJECT_VERSION) << file;
        EXPECT_NE(text("FileDescription").find("vek bridge"), std::string::npos) << file;
        EXPECT_NE(text("LegalCopyright").find("MIT licence"), std::string::npos) << file;
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length)) << file;
        ASSERT_EQ(fixed->dwSignature, 0xFEEF04BDu);
        char version[32];
        std::snprintf(version, sizeof version, "%lu.%lu.%lu", static_cast<unsigned long>(HIWORD(fixed->dwFileVersionMS)),
                      static_cast<unsigned long>(LOWORD(fixed->dwFileVersionMS)),
                      static_cast<unsigned long>(HIWORD(fixed->dwFileVersionLS)));
        EXPECT_STREQ(version, VEK_PROJECT_VERSION) << file;
        EXPECT_EQ(fixed->dwFileType, std::string(file).ends_with(".exe") ? VFT_APP : VFT_DLL) << file;
    }
}

} // namespace
