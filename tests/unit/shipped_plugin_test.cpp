// The plug-in as shipped, loaded with our libvek340 beside it. A separate program from the load
// tests, whose scripted library would otherwise stand in for the real one's symbols.
#include <gtest/gtest.h>

#include "host/plugin_loader.h"

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
    char text[64];
    EXPECT_EQ(info(0, text, sizeof text), 4);
    EXPECT_STREQ(text, "00IN");
    EXPECT_EQ(info(13, text, sizeof text), 28);
    EXPECT_STREQ(text, "VEK Truevision Targa (*.tga)");
    EXPECT_EQ(supported("photo.JPG", 0), 2);
    EXPECT_EQ(supported("notes.txt", 0), 0);
}

} // namespace
