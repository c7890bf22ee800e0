// The plug-in as shipped, loaded with our libvek340 beside it. A separate program from the load
// tests, whose scripted library would otherwise stand in for the real one's symbols.
#include <gtest/gtest.h>

#include <cstring>

#include "host/plugin_loader.h"
#include "plugin/plugin_strings.h"

namespace {

using GetPluginInfoFn = decltype(&GetPluginInfo);
using IsSupportedFn = decltype(&IsSupported);

TEST(ShippedPlugin, RealLibraryAnswersThroughThePlugin) {
    PluginModule module(VEK_REAL_PLUGIN_PATH);
    ASSERT_TRUE(module.loaded()) << module.error();
    auto info = module.find<GetPluginInfoFn>("GetPluginInfo");
    auto supported = module.find<IsSupportedFn>("IsSupported");
    ASSERT_NE(info, nullptr);
    ASSERT_NE(supported, nullptr);
    for (int i = 0; i < 16; ++i) {
        char text[64];
        EXPECT_EQ(info(i, text, sizeof text), static_cast<int>(std::strlen(kPluginStrings[i])));
        EXPECT_STREQ(text, kPluginStrings[i]);
    }
    EXPECT_EQ(supported("photo.JPG", 0), 2);
    EXPECT_EQ(supported("notes.txt", 0), 0);
}

} // namespace
