// The plug-in loaded as a host loads it: dlopen starts the library and dlclose stops it.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "plugin/plugin.h"
#include "tests/fake/fake_vek.h"

namespace {

struct Module {
    void* handle;
    explicit Module(const char* path) : handle(dlopen(path, RTLD_NOW | RTLD_LOCAL)) {}
    ~Module() {
        if (handle) dlclose(handle);
    }
    template <typename F> F get(const char* name) const { return reinterpret_cast<F>(dlsym(handle, name)); }
};

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
    Module module(VEK_FAKE_PLUGIN_PATH);
    ASSERT_NE(module.handle, nullptr) << dlerror();
    for (const char* name : {"GetPluginInfo", "IsSupported"})
        EXPECT_NE(dlsym(module.handle, name), nullptr) << name;
}

} // namespace
