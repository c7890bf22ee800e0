// The plug-in loaded as a host loads it: dlopen starts the library and dlclose stops it.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "host/plugin_loader.h"
#include "tests/fake/fake_vek.h"

namespace {

using GetPluginInfoFn = decltype(&GetPluginInfo);
using IsSupportedFn = decltype(&IsSupported);

TEST(ModuleLoad, LoadAndUnloadStartAndStopTheLibraryOnce) {
    fakevek::reset();
    void* handle = dlopen(VEK_FAKE_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    EXPECT_EQ(fakevek::callNames(), std::vector<std::string>{"vekLibraryInit"});

    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) threads.emplace_back([] {});
    for (auto& t : threads) t.join();
    EXPECT_EQ(fakevek::calls().size(), 1u) << "thread start and end call nothing";

    ASSERT_EQ(dlclose(handle), 0);
    EXPECT_EQ(fakevek::callNames(), (std::vector<std::string>{"vekLibraryInit", "vekLibraryExit"}));
    fakevek::reset();
}

TEST(ModuleLoad, ExportsAreFoundByPlainName) {
    PluginModule module(VEK_FAKE_PLUGIN_PATH);
    ASSERT_TRUE(module.loaded()) << module.error();
    for (const char* name : {"GetPluginInfo", "IsSupported"}) EXPECT_NE(module.find<void (*)()>(name), nullptr) << name;
}

} // namespace
