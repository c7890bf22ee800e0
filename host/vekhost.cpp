// vekhost: drives a plug-in as a picture viewer does.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host/plugin_loader.h"

namespace {

using GetPluginInfoFn = decltype(&GetPluginInfo);
using IsSupportedFn = decltype(&IsSupported);

std::string directoryOf(const char* path) {
    std::string p(path);
    const size_t slash = p.find_last_of("/\\");
    return slash == std::string::npos ? std::string(".") : p.substr(0, slash);
}

void usage(FILE* out) {
    std::fprintf(out,
                 "usage: vekhost [--plugin PATH] COMMAND [ARGS]\n"
                 "commands:\n"
                 "  info         print the plug-in's 16 information strings\n"
                 "  check FILE   ask whether the plug-in takes FILE (by its name)\n"
                 "options:\n"
                 "  --plugin PATH  the plug-in to load (default: %s beside vekhost)\n",
                 defaultPluginName());
}

int commandInfo(const PluginModule& plugin) {
    auto getInfo = plugin.find<GetPluginInfoFn>("GetPluginInfo");
    if (getInfo == nullptr) {
        std::fprintf(stderr, "vekhost: the plug-in has no GetPluginInfo\n");
        return 2;
    }
    for (int i = 0; i < kPluginInfoCount; ++i) {
        char text[256];
        const int length = getInfo(i, text, sizeof text);
        std::printf("%2d  %s\n", i, length > 0 ? text : "");
    }
    return 0;
}

int commandCheck(const PluginModule& plugin, const char* file) {
    auto isSupported = plugin.find<IsSupportedFn>("IsSupported");
    if (isSupported == nullptr) {
        std::fprintf(stderr, "vekhost: the plug-in has no IsSupported\n");
        return 2;
    }
    const int answer = isSupported(file, 0);
    std::printf("%s: %s (IsSupported answered %d)\n", file, answer != 0 ? "accepted" : "declined", answer);
    return answer != 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    std::string pluginPath = directoryOf(argv[0]) + "/" + defaultPluginName();
    std::vector<const char*> rest;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--plugin") == 0 && i + 1 < argc) {
            pluginPath = argv[++i];
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            usage(stdout);
            return 0;
        } else {
            rest.push_back(argv[i]);
        }
    }
    if (rest.empty()) {
        usage(stderr);
        return 2;
    }
    PluginModule plugin(pluginPath);
    if (!plugin.loaded()) {
        std::fprintf(stderr, "vekhost: cannot load %s: %s\n", pluginPath.c_str(), plugin.error().c_str());
        return 2;
    }
    const std::string command = rest[0];
    if (command == "info" && rest.size() == 1) return commandInfo(plugin);
    if (command == "check" && rest.size() == 2) return commandCheck(plugin, rest[1]);
    usage(stderr);
    return 2;
}
