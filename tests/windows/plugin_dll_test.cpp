// vek.sph loaded as a 64-bit viewer loads it, with libvek340.dll beside it.
#include <gtest/gtest.h>

#include <string>

#include "plugin/plugin.h"

namespace {

std::string besideThisProgram(const char* name) {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir(path, n);
    return dir.substr(0, dir.find_last_of("\\/") + 1) + name;
}

struct Plugin {
    HMODULE module;
    Plugin() : module(LoadLibraryExA(besideThisProgram("vek.sph").c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH)) {}
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

} // namespace
