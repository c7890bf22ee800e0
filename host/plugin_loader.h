// Loads a plug-in module by path and finds its exports, with dlopen on Linux and LoadLibrary on
// Windows.
#pragma once

#include <string>

#include "plugin/plugin.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

class PluginModule {
public:
    explicit PluginModule(const std::string& path) {
#ifdef _WIN32
        // The path is UTF-8, so that a plug-in folder of any name is found. The flag lets the loader
        // find libvek340.dll beside the plug-in rather than beside the host.
        std::wstring wide(static_cast<size_t>(MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, nullptr, 0)), L'\0');
        MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
        handle_ = LoadLibraryExW(wide.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        if (handle_ == nullptr) error_ = "Windows error " + std::to_string(GetLastError());
#else
        handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle_ == nullptr) error_ = dlerror();
#endif
    }
    ~PluginModule() {
        if (handle_ == nullptr) return;
#ifdef _WIN32
        FreeLibrary(static_cast<HMODULE>(handle_));
#else
        dlclose(handle_);
#endif
    }
    PluginModule(const PluginModule&) = delete;
    PluginModule& operator=(const PluginModule&) = delete;

    bool loaded() const { return handle_ != nullptr; }
    const std::string& error() const { return error_; }

    template <typename F> F find(const char* name) const {
        if (handle_ == nullptr) return nullptr;
#ifdef _WIN32
        return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name)));
#else
        return reinterpret_cast<F>(dlsym(handle_, name));
#endif
    }

    // An export of the image library the plug-in loaded (Linux builds search the plug-in's own
    // dependencies; Windows asks the loaded libvek340.dll), or null.
    template <typename F> F findInLibrary(const char* name) const {
        if (handle_ == nullptr) return nullptr;
#ifdef _WIN32
        HMODULE library = GetModuleHandleW(L"libvek340.dll");
        return library ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(library, name))) : nullptr;
#else
        return reinterpret_cast<F>(dlsym(handle_, name));
#endif
    }

private:
    void* handle_ = nullptr;
    std::string error_;
};

// The file name of the shipped plug-in for this build.
inline const char* defaultPluginName() {
#ifdef _WIN32
    return sizeof(void*) == 8 ? "vek.sph" : "vek.spi";
#else
    return "vek.so";
#endif
}
