// The plug-in (vek.sph, or vek.spi in the 32-bit build) loaded as a viewer loads it, with
// libvek340.dll beside it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "plugin/plugin.h"
#include "plugin/plugin_strings.h"

#include <psapi.h> // after <windows.h>
#include <winioctl.h>
#include <winver.h> // after <windows.h>, which the lean build keeps it out of

namespace {

std::string besideThisProgram(const char* name) {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir(path, n);
    return dir.substr(0, dir.find_last_of("\\/") + 1) + name;
}

struct Plugin {
    HMODULE module;
    Plugin()
        : module(LoadLibraryExA(besideThisProgram(VEK_PLUGIN_NAME).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH)) {}
    ~Plugin() {
        if (module) FreeLibrary(module);
    }
    template <typename F> F get(const char* name) const {
        return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    }
    template <typename F> F get(int ordinal) const {
        return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, MAKEINTRESOURCEA(ordinal))));
    }
};

using GetPluginInfoFn = decltype(&GetPluginInfo);
using IsSupportedFn = decltype(&IsSupported);
using GetPictureFn = decltype(&GetPicture);
using GetPictureInfoFn = decltype(&GetPictureInfo);
using GetPluginInfoWFn = decltype(&GetPluginInfoW);
using IsSupportedWFn = decltype(&IsSupportedW);
using GetPictureWFn = decltype(&GetPictureW);
using GetPictureInfoWFn = decltype(&GetPictureInfoW);

// First in this program, while its peak working set is still low: a large file with a sound
// signature and junk behind it is refused from its header, not read through.
TEST(WindowsPlugin, LargeFilesWithABadHeaderCostNothingToRefuse) {
    Plugin plugin;
    ASSERT_NE(plugin.module, nullptr);
    auto getInfo = plugin.get<GetPictureInfoFn>("GetPictureInfo");
    auto getPicture = plugin.get<GetPictureFn>("GetPicture");
    const struct {
        const char* name;
        std::vector<unsigned char> head;
    } cases[] = {
        {"large.png", {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}},
        {"large.jpg", {0xFF, 0xD8, 0xFF}},
        {"large.bmp", {'B', 'M'}},
    };
    for (const auto& c : cases) {
        const std::string path = besideThisProgram(c.name);
        HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(f, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        WriteFile(f, c.head.data(), static_cast<DWORD>(c.head.size()), &written, nullptr);
        DWORD ignored = 0;
        DeviceIoControl(f, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
        LARGE_INTEGER size;
        size.QuadPart = LONGLONG{1} << 30;
        ASSERT_TRUE(SetFilePointerEx(f, size, nullptr, FILE_BEGIN) && SetEndOfFile(f));
        CloseHandle(f);
        PROCESS_MEMORY_COUNTERS before{}, after{};
        GetProcessMemoryInfo(GetCurrentProcess(), &before, sizeof before);
        PictureInfo info;
        EXPECT_EQ(getInfo(path.c_str(), 0, 0, &info), LibraryError) << c.name;
        HLOCAL header = nullptr, pixels = nullptr;
        EXPECT_EQ(getPicture(path.c_str(), 0, 0, &header, &pixels, nullptr, 0), LibraryError) << c.name;
        GetProcessMemoryInfo(GetCurrentProcess(), &after, sizeof after);
        std::printf("%s: peak working set %llu KiB before, %llu KiB after\n", c.name,
                    static_cast<unsigned long long>(before.PeakWorkingSetSize / 1024),
                    static_cast<unsigned long long>(after.PeakWorkingSetSize / 1024));
        EXPECT_LT(after.PeakWorkingSetSize - before.PeakWorkingSetSize, size_t{64} << 20) << c.name;
        DeleteFileA(path.c_str());
    }
}

TEST(WindowsPlugin, LoadsAndReportsItsStrings) {
    Plugin plugin;
    ASSERT_NE(plugin.module, nullptr) << "LoadLibrary failed, error " << GetLastError();
    auto info = plugin.get<GetPluginInfoFn>("GetPluginInfo");
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(reinterpret_cast<void*>(info), reinterpret_cast<void*>(plugin.get<GetPluginInfoFn>(3)));
    for (int i = 0; i < 16; ++i) {
        char text[80] = {};
        EXPECT_EQ(info(i, text, sizeof text), static_cast<int>(strlen(kPluginStrings[i])));
        EXPECT_STREQ(text, kPluginStrings[i]);
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

int PLUGIN_API neverStop(int, int, intptr_t) { return 0; }

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

// The pixel block of a delivered picture, with both blocks released; empty when none came.
std::vector<unsigned char> takePixels(int result, HLOCAL header, HLOCAL pixels) {
    if (result != Success) return {};
    const auto* bits = static_cast<const unsigned char*>(LocalLock(pixels));
    std::vector<unsigned char> out(bits, bits + LocalSize(pixels));
    LocalUnlock(pixels);
    LocalFree(header);
    LocalFree(pixels);
    return out;
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
    size_t committedBytes; // private memory committed in the address space
    uintptr_t nextHandle;  // the value a new handle gets: it climbs while handles leak
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
            ASSERT_EQ(getPicture(png.data(), static_cast<int32_t>(png.size()), 1, &header, &pixels, neverStop, 0),
                      Success);
            EXPECT_EQ(LocalSize(pixels), 13u * 9u * 4u);
            LocalFree(header);
            LocalFree(pixels);
        }
        ASSERT_EQ(GetModuleHandleA("libvek340.dll"), nullptr) << "the library stayed loaded after unload " << i;
        if (i == 19) baseline = usageNow();
    }
    const Usage after = usageNow();
    std::printf("after load 20: next handle %#zx, %zu committed bytes; after load 200: next handle %#zx, %zu bytes\n",
                static_cast<size_t>(baseline.nextHandle), baseline.committedBytes,
                static_cast<size_t>(after.nextHandle), after.committedBytes);
    ASSERT_GT(baseline.committedBytes, 0u);
    EXPECT_LE(after.nextHandle, baseline.nextHandle + 4 * 4) << "handles leaked";
    EXPECT_LE(after.committedBytes, baseline.committedBytes + 2u * 1024 * 1024) << "memory grew";
}

// A 64-bit host passes a pointer to its own object as the callback data and uses it in the
// callback; one that declares the data 32 bits wide leaves garbage in the upper half of the slot
// and reads only the lower. The 32-bit build passes its 32-bit value as it always did.
struct HostObject {
    int asks[8];
    int count;
    intptr_t seen;
};

int PLUGIN_API countIntoHostObject(int numerator, int, intptr_t data) {
    auto* host = reinterpret_cast<HostObject*>(data);
    host->asks[host->count++ & 7] = numerator;
    host->seen = data;
    return 0;
}

int32_t g_narrowData = 0;
int PLUGIN_API narrowHostCallback(int, int, int32_t data) {
    g_narrowData = data;
    return 0;
}

TEST(WindowsPlugin, CallbackDataArrivesAtPointerWidth) {
    const std::vector<char> png = readFile(VEK_FIXTURE_DIR "/rgba8.png");
    Plugin plugin;
    ASSERT_NE(plugin.module, nullptr);
    auto getPicture = plugin.get<GetPictureFn>("GetPicture");
    auto getPictureW = plugin.get<GetPictureWFn>("GetPictureW");
    ASSERT_NE(getPictureW, nullptr);
    // The host's object high in the address space, above 4 GiB where the build allows.
    auto* host = static_cast<HostObject*>(
        VirtualAlloc(nullptr, sizeof(HostObject), MEM_COMMIT | MEM_RESERVE | MEM_TOP_DOWN, PAGE_READWRITE));
    ASSERT_NE(host, nullptr);
    if (sizeof(void*) == 8) {
        ASSERT_GT(reinterpret_cast<uintptr_t>(host), 0xFFFFFFFFu);
    }
    std::printf("host object at %p\n", static_cast<void*>(host));
    for (bool wide : {false, true}) {
        host->count = 0;
        HLOCAL header = nullptr, pixels = nullptr;
        const auto data = reinterpret_cast<intptr_t>(host);
        const int result =
            wide ? getPictureW(reinterpret_cast<const WCHAR*>(png.data()), static_cast<int32_t>(png.size()), 1, &header,
                               &pixels, countIntoHostObject, data)
                 : getPicture(png.data(), static_cast<int32_t>(png.size()), 1, &header, &pixels, countIntoHostObject,
                              data);
        EXPECT_FALSE(takePixels(result, header, pixels).empty());
        ASSERT_EQ(host->count, 4);
        EXPECT_EQ(std::vector<int>(host->asks, host->asks + 4), (std::vector<int>{0, 33, 66, 100}));
        EXPECT_EQ(host->seen, data);
        std::printf("%s: callback data %#llx, seen %#llx at %d, %d, %d and %d\n", wide ? "GetPictureW" : "GetPicture",
                    static_cast<unsigned long long>(data), static_cast<unsigned long long>(host->seen), host->asks[0],
                    host->asks[1], host->asks[2], host->asks[3]);
    }
    VirtualFree(host, 0, MEM_RELEASE);

    // As the slot of a host that declares 32 bits looks: its value below, garbage above.
    const auto garbageAbove = static_cast<intptr_t>(sizeof(void*) == 8 ? 0xBAD0BAD00000002Aull : 0x2Aull);
    HLOCAL header = nullptr, pixels = nullptr;
    const int result =
        getPicture(png.data(), static_cast<int32_t>(png.size()), 1, &header, &pixels,
                   reinterpret_cast<ProgressCallback>(reinterpret_cast<void*>(&narrowHostCallback)), garbageAbove);
    EXPECT_EQ(takePixels(result, header, pixels).size(), 13u * 9u * 4u);
    EXPECT_EQ(g_narrowData, 0x2A);
    std::printf("a host that declares 32 bits: slot %#llx, read %#x\n", static_cast<unsigned long long>(garbageAbove),
                static_cast<unsigned>(g_narrowData));
}

// Hosts of 64-bit viewers read the record's handle at 22 (the packed record) or at 24 (their padded
// one); both must read null, and nothing past byte 31 (25 in the 32-bit record) is written.
TEST(WindowsPlugin, PictureInfoHandleIsNullInEitherLayout) {
    Plugin plugin;
    ASSERT_NE(plugin.module, nullptr);
    auto getInfo = plugin.get<GetPictureInfoFn>("GetPictureInfo");
    const size_t end = sizeof(void*) == 8 ? 32 : 26;
    unsigned char record[48];
    std::memset(record, 0x7F, sizeof record);
    ASSERT_EQ(getInfo(VEK_FIXTURE_DIR "/rgba8.png", 0, 0, reinterpret_cast<PictureInfo*>(record)), Success);
    int32_t width;
    std::memcpy(&width, record + 8, 4);
    EXPECT_EQ(width, 13);
    for (size_t at : {size_t{22}, size_t{24}}) {
        if (at + sizeof(HLOCAL) > end) continue;
        uint64_t handle = 0;
        std::memcpy(&handle, record + at, sizeof(HLOCAL));
        EXPECT_EQ(handle, 0u) << "handle read at " << at;
        std::printf("handle read at %zu: %#llx\n", at, static_cast<unsigned long long>(handle));
    }
    for (size_t i = end; i < sizeof record; ++i) EXPECT_EQ(record[i], 0x7F) << "byte " << i << " written";
}

// A viewer with a file whose name the ANSI code page cannot spell reaches it only through the
// UTF-16 entry points; the same bytes decode to the same pixels as from memory. The 8-bit entry
// point, given the best the code page can do with the name, fails cleanly.
TEST(WindowsPlugin, WideEntryPointsOpenNamesOutsideTheCodePage) {
    Plugin plugin;
    ASSERT_NE(plugin.module, nullptr);
    auto getPicture = plugin.get<GetPictureFn>("GetPicture");
    auto getPictureW = plugin.get<GetPictureWFn>("GetPictureW");
    auto getPreviewW = plugin.get<GetPictureWFn>("GetPreviewW");
    auto getInfo = plugin.get<GetPictureInfoFn>("GetPictureInfo");
    auto getInfoW = plugin.get<GetPictureInfoWFn>("GetPictureInfoW");
    auto supportedW = plugin.get<IsSupportedWFn>("IsSupportedW");
    auto pluginInfoW = plugin.get<GetPluginInfoWFn>("GetPluginInfoW");
    ASSERT_TRUE(getPictureW && getPreviewW && getInfoW && supportedW && pluginInfoW);
    EXPECT_EQ(reinterpret_cast<void*>(getPictureW), reinterpret_cast<void*>(getPreviewW));
    for (int i = 0; i < 16; ++i) {
        wchar_t text[80];
        ASSERT_EQ(pluginInfoW(i, text, 80), static_cast<int>(strlen(kPluginStrings[i])));
        EXPECT_EQ(std::wstring(text), std::wstring(kPluginStrings[i], kPluginStrings[i] + strlen(kPluginStrings[i])));
    }
    wchar_t small[5];
    EXPECT_EQ(pluginInfoW(1, small, 5), 4);
    EXPECT_EQ(std::wstring(small), L"VEK ");

    // Beside the program: the 32-bit wine's bare prefix has no temporary folder.
    const std::string here = besideThisProgram("");
    const std::wstring dir =
        std::wstring(here.begin(), here.end()) + L"vek-wide-" + std::to_wstring(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr));
    const struct {
        const char* fixture;
        const wchar_t* name;
    } cases[] = {{"info-24.bmp", L"\\写真.bmp"}, {"rgba8.png", L"\\ñandú.png"}, {"transparent.gif", L"\\😀.gif"}};
    int spelledBadly = 0;
    for (const auto& c : cases) {
        const std::string fixture = std::string(VEK_FIXTURE_DIR "/") + c.fixture;
        const std::wstring path = dir + c.name;
        const std::vector<char> bytes = readFile(fixture.c_str());
        ASSERT_FALSE(bytes.empty()) << c.fixture;
        const std::wstring from(fixture.begin(), fixture.end()); // the fixture folder's name is ASCII
        ASSERT_TRUE(CopyFileW(from.c_str(), path.c_str(), FALSE)) << c.fixture;

        HLOCAL header = nullptr, pixels = nullptr;
        int result = getPicture(bytes.data(), static_cast<int32_t>(bytes.size()), 1, &header, &pixels, neverStop, 0);
        const auto fromMemory = takePixels(result, header, pixels);
        ASSERT_FALSE(fromMemory.empty()) << c.fixture;
        for (auto entry : {getPictureW, getPreviewW}) {
            header = pixels = nullptr;
            result = entry(path.c_str(), 0, 0, &header, &pixels, neverStop, 0);
            EXPECT_EQ(takePixels(result, header, pixels), fromMemory) << c.fixture;
        }
        PictureInfo info{};
        EXPECT_EQ(getInfoW(path.c_str(), 0, 0, &info), Success) << c.fixture;
        EXPECT_GT(info.width, 0);
        EXPECT_EQ(supportedW(path.c_str(), 0), 2);

        // The 8-bit twin with the code page's spelling: refused as an unreadable file, nothing written.
        BOOL lossy = FALSE;
        char narrow[MAX_PATH * 2];
        WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, narrow, sizeof narrow, nullptr, &lossy);
        if (lossy) {
            ++spelledBadly;
            HLOCAL marker = reinterpret_cast<HLOCAL>(static_cast<uintptr_t>(0x1234));
            header = pixels = marker;
            EXPECT_EQ(getPicture(narrow, 0, 0, &header, &pixels, neverStop, 0), LibraryError) << narrow;
            EXPECT_EQ(header, marker);
            EXPECT_EQ(getInfo(narrow, 0, 0, &info), LibraryError) << narrow;
        }
        DeleteFileW(path.c_str());
    }
    RemoveDirectoryW(dir.c_str());
    std::printf("ANSI code page %u: %d of 3 names beyond it\n", GetACP(), spelledBadly);
    // No ANSI code page spells an emoji; only UTF-8 as the system code page would.
    if (GetACP() != CP_UTF8) {
        EXPECT_GE(spelledBadly, 1);
    }
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
            if (!VerQueryValueA(block.data(), query.c_str(), reinterpret_cast<void**>(&value), &length) ||
                value == nullptr)
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
        std::snprintf(version, sizeof version, "%lu.%lu.%lu",
                      static_cast<unsigned long>(HIWORD(fixed->dwFileVersionMS)),
                      static_cast<unsigned long>(LOWORD(fixed->dwFileVersionMS)),
                      static_cast<unsigned long>(HIWORD(fixed->dwFileVersionLS)));
        EXPECT_STREQ(version, VEK_PROJECT_VERSION) << file;
        EXPECT_EQ(fixed->dwFileType, std::string(file).ends_with(".exe") ? VFT_APP : VFT_DLL) << file;
    }
}

} // namespace
