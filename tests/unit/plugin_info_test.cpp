#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "imagelib/vek.h"
#include "libvek/formats/table.h"
#include "plugin/plugin.h"
#include "plugin/plugin_strings.h"
#include "tests/unit/plugin_fixture.h"

namespace {

constexpr char kMarker = '\x5C';

template <typename Char> struct MarkedBuffer {
    Char bytes[128];
    MarkedBuffer() { std::fill(std::begin(bytes), std::end(bytes), static_cast<Char>(kMarker)); }
    bool untouched() const {
        for (Char c : bytes)
            if (c != static_cast<Char>(kMarker)) return false;
        return true;
    }
};
using Buffer = MarkedBuffer<char>;

// The UTF-16 twin's answer, for comparison with the 8-bit one: the same count and the same
// characters, nothing written past the stated length.
void expectWideTwin(int index, int length, const char* text, int result) {
    MarkedBuffer<WCHAR> wide;
    EXPECT_EQ(GetPluginInfoW(index, wide.bytes, length), result) << "index " << index << ", length " << length;
    if (result == 0 && (length <= 0 || index < 0 || index > 15)) {
        EXPECT_TRUE(wide.untouched());
        return;
    }
    const std::u16string expected(text, text + std::strlen(text));
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(wide.bytes)), expected) << "index " << index;
    if (length < 128) {
        EXPECT_EQ(wide.bytes[length], static_cast<WCHAR>(kMarker)) << "written past the stated length";
    }
}

using PluginInfo = PluginTest;

TEST_F(PluginInfo, EveryIndexGivesItsStringAndLength) {
    for (int index = 0; index < 16; ++index) {
        Buffer buffer;
        const int length = GetPluginInfo(index, buffer.bytes, sizeof buffer.bytes);
        EXPECT_STREQ(buffer.bytes, kPluginStrings[index]) << "index " << index;
        EXPECT_EQ(length, static_cast<int>(std::strlen(kPluginStrings[index]))) << "index " << index;
        // Nothing beyond the NUL is written.
        EXPECT_EQ(buffer.bytes[length + 1], kMarker);
        expectWideTwin(index, 128, kPluginStrings[index], length);
    }
    EXPECT_TRUE(fakevek::calls().empty()) << "plug-in information needs no library call";
}

TEST_F(PluginInfo, IndexOutsideTheTableLeavesTheBufferAlone) {
    for (int index : {-1, 16, 17, INT_MIN, INT_MAX}) {
        Buffer buffer;
        EXPECT_EQ(GetPluginInfo(index, buffer.bytes, sizeof buffer.bytes), 0) << "index " << index;
        EXPECT_TRUE(buffer.untouched()) << "index " << index;
        expectWideTwin(index, 128, "", 0);
    }
}

TEST_F(PluginInfo, KnownAnswers) {
    struct Case {
        int index;
        int bufferLength;
        const char* text;
        int result;
    };
    const Case cases[] = {
        {15, 27, "VEK Windows Bitmap (*.bmp)", 26},
        {15, 26, "VEK Windows Bitmap (*.bmp", 25},
        {1, 5, "VEK ", 4},
        {0, 128, "00IN", 4},
        {1, 128, "VEK Bridge Ver 0.00 (VEK SDK Ver 3.40)", 38},
        {0, 1, "", 0},
        {2, 2, "*", 1},
    };
    for (const Case& c : cases) {
        Buffer buffer;
        EXPECT_EQ(GetPluginInfo(c.index, buffer.bytes, c.bufferLength), c.result) << c.text;
        EXPECT_STREQ(buffer.bytes, c.text);
        if (c.bufferLength < static_cast<int>(sizeof buffer.bytes)) {
            EXPECT_EQ(buffer.bytes[c.bufferLength], kMarker) << "written past the stated length";
        }
        expectWideTwin(c.index, c.bufferLength, c.text, c.result);
    }
}

TEST_F(PluginInfo, NoRoomOrNoBufferReturnsZeroAndTouchesNothing) {
    for (int length : {0, -1, -100, INT_MIN}) {
        Buffer buffer;
        EXPECT_EQ(GetPluginInfo(3, buffer.bytes, length), 0) << "length " << length;
        EXPECT_TRUE(buffer.untouched()) << "length " << length;
        expectWideTwin(3, length, "", 0);
    }
    EXPECT_EQ(GetPluginInfo(3, nullptr, 64), 0);
    EXPECT_EQ(GetPluginInfo(3, nullptr, 0), 0);
    EXPECT_EQ(GetPluginInfoW(3, nullptr, 64), 0);
}

// The seven filters are the library's seven formats: each filter's extension is one of exactly one
// format's, and every format has its filter.
TEST_F(PluginInfo, FiltersAreTheLibrarysFormats) {
    struct Row {
        const char* name;
        std::string extensions;
        int filters = 0;
    };
#define VEK_TEST_ROW(name, index, label, extensions) Row{#name, " " extensions " "},
    std::vector<Row> rows = {VEK_FORMATS(VEK_TEST_ROW)};
#undef VEK_TEST_ROW
    for (int i = 2; i < 16; i += 2) {
        const std::string pattern = kPluginStrings[i];
        ASSERT_EQ(pattern.rfind("*.", 0), 0u) << pattern;
        int owners = 0;
        for (Row& r : rows) {
            if (r.extensions.find(" " + pattern.substr(2) + " ") == std::string::npos) continue;
            ++owners;
            ++r.filters;
        }
        EXPECT_EQ(owners, 1) << pattern;
    }
    for (const Row& r : rows) EXPECT_EQ(r.filters, 1) << r.name;
}

using Acceptance = PluginTest;

TEST_F(Acceptance, OnlyALowByteOfOneDeclines) {
    const struct {
        int32_t answer;
        int expected;
    } cases[] = {
        {0, 2}, {1, 0}, {2, 2}, {255, 2}, {0x101, 0}, {0x100, 2}, {-1, 2}, {0x7FFFFF01, 0}, {-255, 0},
    };
    for (const auto& c : cases) {
        fakevek::reset();
        fakevek::script().formatAnswer = c.answer;
        EXPECT_EQ(IsSupported("picture.png", 0), c.expected) << "library answer " << c.answer;
        EXPECT_EQ(IsSupportedW(reinterpret_cast<const WCHAR*>(u"写真.png"), 0), c.expected)
            << "library answer " << c.answer;
    }
}

TEST_F(Acceptance, TheNameGoesToTheLibraryUnchangedAndAlone) {
    const char* name = "C:\\Pictures\\holiday photo.JPG";
    // The hint is never read, so even a value that is no valid pointer is harmless.
    IsSupported(name, static_cast<intptr_t>(0x7FFF0001));
    ASSERT_EQ(fakevek::calls().size(), 1u);
    const fakevek::Call& call = fakevek::calls()[0];
    EXPECT_EQ(call.name, "vekFormatIsSupported");
    ASSERT_EQ(call.args.size(), 1u);
    EXPECT_EQ(call.args[0], reinterpret_cast<uintptr_t>(name));
    EXPECT_EQ(call.text, name);
}

TEST_F(Acceptance, TheWideNameGoesToTheWideLibraryCall) {
    const char16_t name[] = u"C:\\Bilder\\ñandú.PNG";
    IsSupportedW(reinterpret_cast<const WCHAR*>(name), 0);
    ASSERT_EQ(fakevek::callNames(), std::vector<std::string>{"vekFormatIsSupportedW"});
    EXPECT_EQ(fakevek::calls()[0].args[0], reinterpret_cast<uintptr_t>(name));
    EXPECT_EQ(fakevek::calls()[0].wideText, name);
}

TEST_F(Acceptance, NullNameDeclinesWithoutAskingTheLibrary) {
    EXPECT_EQ(IsSupportedW(nullptr, 0), 0);
    EXPECT_EQ(IsSupported(nullptr, 0), 0);
    EXPECT_TRUE(fakevek::calls().empty());
}

using ModuleNotification = PluginTest;

TEST_F(ModuleNotification, AttachStartsAndDetachStopsTheLibrary) {
    fakevek::script().initResult = VEK_ERROR_CANNOT_READ; // ignored: the module stays loaded
    EXPECT_EQ(DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr), TRUE);
    EXPECT_EQ(DllMain(nullptr, DLL_THREAD_ATTACH, nullptr), TRUE);
    EXPECT_EQ(DllMain(nullptr, DLL_THREAD_DETACH, nullptr), TRUE);
    EXPECT_EQ(DllMain(nullptr, DLL_PROCESS_DETACH, nullptr), TRUE);
    EXPECT_EQ(DllMain(nullptr, 77, nullptr), TRUE);
    EXPECT_EQ(fakevek::callNames(), (std::vector<std::string>{"vekLibraryInit", "vekLibraryExit"}));
}

} // namespace
