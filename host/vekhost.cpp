// vekhost: drives a plug-in as a picture viewer does. It loads the plug-in by path, asks it for its
// strings, whether it takes a file and what a picture holds, and writes decoded pictures as .bmp
// files. It owns the blocks a decode hands over only when the plug-in says they are the host's.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host/plugin_loader.h"
#include "imagelib/refusal.h"

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace {

using GetPluginInfoFn = decltype(&GetPluginInfo);
using IsSupportedFn = decltype(&IsSupported);
using GetPictureFn = decltype(&GetPicture);
using GetPictureInfoFn = decltype(&GetPictureInfo);
using GetPluginInfoWFn = decltype(&GetPluginInfoW);
using IsSupportedWFn = decltype(&IsSupportedW);
using GetPictureWFn = decltype(&GetPictureW);
using GetPictureInfoWFn = decltype(&GetPictureInfoW);
using Wide = std::basic_string<WCHAR>;

// File names are kept as UTF-8 here (on Windows converted from the wide command line) and handed to
// the plug-in as UTF-16 when it has the wide entry points, which reach any name.
Wide utf16(const std::string& utf8) {
    Wide out;
    for (size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        const int extra = lead < 0x80 ? 0 : lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : -1;
        uint32_t c = extra < 0 ? 0xFFFD : lead & (0x7F >> (extra + (extra > 0)));
        size_t n = 1;
        for (int k = 0; k < extra; ++k, ++n) {
            const auto next = i + n < utf8.size() ? static_cast<unsigned char>(utf8[i + n]) : 0;
            if ((next & 0xC0) != 0x80) {
                c = 0xFFFD;
                break;
            }
            c = (c << 6) | (next & 0x3F);
        }
        i += n;
        if (c >= 0x10000) {
            out += static_cast<WCHAR>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<WCHAR>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += static_cast<WCHAR>(c);
        }
    }
    return out;
}

std::string utf8(const WCHAR* text) {
    std::string out;
    for (; *text != 0; ++text) {
        uint32_t c = static_cast<uint16_t>(*text);
        if (c >= 0xD800 && c <= 0xDBFF && text[1] >= 0xDC00 && text[1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint16_t>(text[1]) - 0xDC00);
            ++text;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
            continue;
        }
        const int extra = c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
        const unsigned char lead[] = {0, 0xC0, 0xE0, 0xF0};
        out += static_cast<char>(lead[extra] | (c >> (6 * extra)));
        for (int k = extra - 1; k >= 0; --k) out += static_cast<char>(0x80 | ((c >> (6 * k)) & 0x3F));
    }
    return out;
}

// The 8-bit form of a name, for a plug-in without the wide entry points: the ANSI code page on
// Windows (characters it cannot spell become '?', and such a name then cannot be opened).
std::string systemNarrow(const std::string& name) {
#ifdef _WIN32
    const Wide wide = utf16(name);
    const int n = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? static_cast<size_t>(n) : 1, '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, out.data(), n, nullptr, nullptr);
    out.resize(std::strlen(out.c_str()));
    return out;
#else
    return name;
#endif
}

FILE* openFile(const std::string& name, const char* mode) {
#ifdef _WIN32
    return _wfopen(utf16(name).c_str(), utf16(mode).c_str());
#else
    return std::fopen(name.c_str(), mode);
#endif
}

struct Options {
    std::string pluginPath;
    bool memory = false;
    bool preview = false;
    bool quiet = false;
    bool help = false;
    std::string output;
    std::vector<std::string> arguments; // the command and its operands
};

const char* const kUsage =
    "usage: vekhost [--plugin PATH] COMMAND [OPTIONS] [FILE...]\n"
    "\n"
    "commands:\n"
    "  info                    print the plug-in's 16 information strings\n"
    "  check FILE              ask whether the plug-in takes FILE, by its name\n"
    "  query FILE              print what the picture in FILE is: size, placement, resolution, depth\n"
    "  decode FILE -o OUT.bmp  decode FILE and write the picture as a 32-bit .bmp file\n"
    "  decode FILE... -o DIR   decode several files into DIR, each as NAME.bmp\n"
    "\n"
    "options:\n"
    "  --plugin PATH  the plug-in to load (default: %s beside vekhost)\n"
    "  --memory       hand the plug-in the file's bytes instead of its name\n"
    "  --preview      decode through GetPreview instead of GetPicture\n"
    "  --quiet        no progress bar\n"
    "  --help         this text, or a command's own with COMMAND --help\n"
    "\n"
    "The exit status is 0 when everything asked for succeeded.\n";

const char* commandHelp(const std::string& command) {
    if (command == "info") return "usage: vekhost info\nPrints the plug-in's 16 information strings, one a line.\n";
    if (command == "check")
        return "usage: vekhost check FILE\nAsks IsSupported whether the plug-in takes FILE. Only the name is looked "
               "at.\n"
               "Exit status 0 when it is taken, 1 when declined.\n";
    if (command == "query")
        return "usage: vekhost [--memory] query FILE\nAsks GetPictureInfo for the picture's placement, size, "
               "resolution\n"
               "and bits per pixel, without decoding it.\n";
    if (command == "decode")
        return "usage: vekhost [--memory] [--preview] [--quiet] decode FILE -o OUT.bmp\n"
               "       vekhost [--memory] [--preview] [--quiet] decode FILE... -o DIR\n"
               "Decodes through GetPicture (or GetPreview) and writes the DIB it hands over as a .bmp file.\n"
               "Transparent pictures come out on the plug-in's checkerboard.\n";
    return nullptr;
}

std::string directoryOf(const char* path) {
    std::string p(path);
    const size_t slash = p.find_last_of("/\\");
    return slash == std::string::npos ? std::string(".") : p.substr(0, slash);
}

std::string baseName(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

const char* resultInWords(int result) {
    switch (result) {
    case Success: return "done";
    case Cancelled: return "cancelled";
    case OutOfMemory: return "out of memory";
    case LockFailed: return "the picture's memory could not be locked";
    case LibraryError: return "the image library could not read the picture";
    default: return "an unknown result";
    }
}

const char* codeInWords(VekError code) {
    switch (code) {
    case VEK_ERROR_CANNOT_READ: return "cannot read";
    case VEK_ERROR_UNKNOWN_FORMAT: return "unknown format";
    case VEK_ERROR_DAMAGED: return "damaged";
    case VEK_ERROR_OUT_OF_MEMORY: return "out of memory";
    case VEK_ERROR_TOO_LARGE: return "too large";
    case VEK_ERROR_UNSUPPORTED: return "unsupported";
    case VEK_ERROR_BAD_ARGUMENT: return "bad argument";
    case VEK_ERROR_INTERNAL: return "internal";
    default: return "unknown code";
    }
}

bool readFile(const std::string& path, std::vector<char>& bytes) {
    FILE* f = openFile(path, "rb");
    if (f == nullptr) return false;
    bytes.clear();
    char chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
    const bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

// The progress callback: remembers the last ask, since only a stop at 100 leaves the blocks ours.
struct Progress {
    bool bar = false;
    int lastAsk = -1;
    std::string label;
};
Progress* currentProgress = nullptr;

int PLUGIN_API onProgress(int numerator, int denominator, intptr_t /*callbackData*/) {
    Progress* p = currentProgress;
    if (p == nullptr) return 0;
    p->lastAsk = numerator;
    if (p->bar && denominator > 0) {
        const int width = 30;
        const int filled = numerator * width / denominator;
        std::fprintf(stderr, "\r%-24.24s [%.*s%*s] %3d%%", p->label.c_str(), filled, "##############################",
                     width - filled, "", numerator * 100 / denominator);
        if (numerator >= denominator) std::fputc('\n', stderr);
        std::fflush(stderr);
    }
    return 0;
}

void put16(std::vector<unsigned char>& out, uint32_t v) {
    out.push_back(static_cast<unsigned char>(v));
    out.push_back(static_cast<unsigned char>(v >> 8));
}
void put32(std::vector<unsigned char>& out, uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

// A .bmp file is the DIB behind a 14-byte file header.
bool writeBmp(const std::string& path, const unsigned char* header, const unsigned char* pixels, size_t pixelBytes) {
    std::vector<unsigned char> file;
    file.push_back('B');
    file.push_back('M');
    put32(file, static_cast<uint32_t>(14 + 40 + pixelBytes));
    put32(file, 0);
    put32(file, 14 + 40);
    file.insert(file.end(), header, header + 40);
    FILE* f = openFile(path, "wb");
    if (f == nullptr) return false;
    bool ok = std::fwrite(file.data(), 1, file.size(), f) == file.size() &&
              std::fwrite(pixels, 1, pixelBytes, f) == pixelBytes;
    ok = std::fclose(f) == 0 && ok;
    return ok;
}

class Host {
public:
    Host(const PluginModule& plugin, const Options& options) : plugin_(plugin), options_(options) {}

    int info() {
        auto getInfoW = plugin_.find<GetPluginInfoWFn>("GetPluginInfoW");
        auto getInfo = getInfoW ? nullptr : find<GetPluginInfoFn>("GetPluginInfo");
        if (getInfoW == nullptr && getInfo == nullptr) return 2;
        for (int i = 0; i < kPluginInfoCount; ++i) {
            std::string text;
            if (getInfoW) {
                WCHAR wide[256];
                if (getInfoW(i, wide, 256) > 0) text = utf8(wide);
            } else {
                char narrow[256];
                if (getInfo(i, narrow, sizeof narrow) > 0) text = narrow;
            }
            std::printf("%2d  %s\n", i, text.c_str());
        }
        std::string wide;
        for (const char* name : {"GetPluginInfoW", "IsSupportedW", "GetPictureInfoW", "GetPictureW", "GetPreviewW"})
            if (plugin_.find<void (*)()>(name) != nullptr) wide += std::string(wide.empty() ? "" : ", ") + name;
        std::printf("entry points: 8-bit%s%s%s\n", wide.empty() ? " only" : " and UTF-16 (", wide.c_str(),
                    wide.empty() ? "" : ")");
        return 0;
    }

    // The plug-in's result, then the library's code and the reason it gives, where it says why.
    void refused(const std::string& file, int result) const {
        std::string why;
        if (auto lastRefusal = plugin_.findInLibrary<VekGetLastRefusalFn>("vekGetLastRefusal")) {
            char reason[256];
            const VekError code = lastRefusal(reason, sizeof reason);
            if (code != VEK_OK)
                why = std::string(": ") + codeInWords(code) + " (" + std::to_string(code) + ")" +
                      (reason[0] ? ": " : "") + reason;
        }
        std::fprintf(stderr, "vekhost: %s: %s (result %d)%s\n", file.c_str(), resultInWords(result), result,
                     why.c_str());
    }

    int check(const std::string& file) {
        auto isSupportedW = plugin_.find<IsSupportedWFn>("IsSupportedW");
        auto isSupported = isSupportedW ? nullptr : find<IsSupportedFn>("IsSupported");
        if (isSupportedW == nullptr && isSupported == nullptr) return 2;
        const int answer =
            isSupportedW ? isSupportedW(utf16(file).c_str(), 0) : isSupported(systemNarrow(file).c_str(), 0);
        std::printf("%s: %s\n", file.c_str(), answer != 0 ? "taken" : "declined");
        return answer != 0 ? 0 : 1;
    }

    int query(const std::string& file) {
        auto getInfoW = plugin_.find<GetPictureInfoWFn>("GetPictureInfoW");
        auto getInfo = getInfoW ? nullptr : find<GetPictureInfoFn>("GetPictureInfo");
        if (getInfoW == nullptr && getInfo == nullptr) return 2;
        std::vector<char> bytes;
        if (!source(file, bytes)) return 1;
        const Name name(file, getInfoW != nullptr);
        const void* src = options_.memory ? bytes.data() : name.pointer();
        const auto length = static_cast<int32_t>(options_.memory ? bytes.size() : 0);
        const uint32_t flags = options_.memory ? 1 : 0;
        PictureInfo info{};
        const int result = getInfoW ? getInfoW(static_cast<const WCHAR*>(src), length, flags, &info)
                                    : getInfo(static_cast<const char*>(src), length, flags, &info);
        if (result != Success) {
            refused(file, result);
            return 1;
        }
        std::printf("%s: %d x %d pixels at (%d, %d), %d bits a pixel, %u x %u dpi\n", file.c_str(), info.width,
                    info.height, info.left, info.top, info.bitsPerPixel, info.xResolution, info.yResolution);
        return 0;
    }

    int decode(const std::string& file, const std::string& out) {
        auto getPictureW = plugin_.find<GetPictureWFn>(options_.preview ? "GetPreviewW" : "GetPictureW");
        auto getPicture = getPictureW ? nullptr : find<GetPictureFn>(options_.preview ? "GetPreview" : "GetPicture");
        if (getPictureW == nullptr && getPicture == nullptr) return 2;
        std::vector<char> bytes;
        if (!source(file, bytes)) return 1;
        const Name name(file, getPictureW != nullptr);
        const void* src = options_.memory ? bytes.data() : name.pointer();
        const auto length = static_cast<int32_t>(options_.memory ? bytes.size() : 0);
        const uint32_t flags = options_.memory ? 1 : 0;
        Progress progress;
        progress.bar = !options_.quiet && isatty(fileno(stderr));
        progress.label = baseName(file);
        currentProgress = &progress;
        HLOCAL header = nullptr, pixels = nullptr;
        const int result =
            getPictureW ? getPictureW(static_cast<const WCHAR*>(src), length, flags, &header, &pixels, onProgress, 0)
                        : getPicture(static_cast<const char*>(src), length, flags, &header, &pixels, onProgress, 0);
        currentProgress = nullptr;
        // The blocks are ours on success, and on a stop at the very last ask; otherwise nothing is.
        const bool owned = result == Success || (result == Cancelled && progress.lastAsk == 100);
        if (!owned) {
            if (progress.bar) std::fputc('\n', stderr);
            refused(file, result);
            return 1;
        }
        int status = 0;
        const auto* dib = static_cast<const unsigned char*>(LocalLock(header));
        const auto* bits = static_cast<const unsigned char*>(LocalLock(pixels));
        if (dib == nullptr || bits == nullptr) {
            std::fprintf(stderr, "vekhost: %s: the picture's memory could not be locked\n", file.c_str());
            status = 1;
        } else if (!writeBmp(out, dib, bits, LocalSize(pixels))) {
            std::fprintf(stderr, "vekhost: cannot write %s\n", out.c_str());
            status = 1;
        } else if (result != Success) {
            std::fprintf(stderr, "vekhost: %s: %s\n", file.c_str(), resultInWords(result));
            status = 1;
        }
        if (dib) LocalUnlock(header);
        if (bits) LocalUnlock(pixels);
        LocalFree(header);
        LocalFree(pixels);
        return status;
    }

private:
    // A file name in the form the chosen entry point takes.
    struct Name {
        Name(const std::string& file, bool wide) {
            if (wide)
                wideName = utf16(file);
            else
                narrowName = systemNarrow(file);
        }
        const void* pointer() const {
            return wideName.empty() ? static_cast<const void*>(narrowName.c_str()) : wideName.c_str();
        }
        Wide wideName;
        std::string narrowName;
    };

    template <typename F> F find(const char* name) {
        F f = plugin_.find<F>(name);
        if (f == nullptr) std::fprintf(stderr, "vekhost: the plug-in has no %s\n", name);
        return f;
    }

    bool source(const std::string& file, std::vector<char>& bytes) {
        if (!options_.memory) return true;
        if (!readFile(file, bytes)) {
            std::fprintf(stderr, "vekhost: cannot read %s\n", file.c_str());
            return false;
        }
        if (bytes.size() > 0x7FFFFFFFu) {
            std::fprintf(stderr, "vekhost: %s is too large to pass as memory\n", file.c_str());
            return false;
        }
        return true;
    }

    const PluginModule& plugin_;
    const Options& options_;
};

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--plugin" || a == "-o") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "vekhost: %s needs a value\n", a.c_str());
                return false;
            }
            (a == "-o" ? o.output : o.pluginPath) = argv[++i];
        } else if (a == "--memory") {
            o.memory = true;
        } else if (a == "--preview") {
            o.preview = true;
        } else if (a == "--quiet") {
            o.quiet = true;
        } else if (a == "--help" || a == "-h") {
            o.help = true;
        } else if (a.size() > 1 && a[0] == '-' && a != "-") {
            std::fprintf(stderr, "vekhost: unknown option %s\n", a.c_str());
            return false;
        } else {
            o.arguments.push_back(a);
        }
    }
    return true;
}

} // namespace

// Writes out what is buffered before the plug-in is unloaded: under wine, output still buffered when
// a busy machine unloaded the DLLs and ended the process has been seen lost.
struct FlushOnReturn {
    ~FlushOnReturn() {
        std::fflush(stdout);
        std::fflush(stderr);
    }
};

int run(int argc, char** argv) {
    Options options;
    options.pluginPath = directoryOf(argv[0]) + "/" + defaultPluginName();
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr, kUsage, defaultPluginName());
        return 2;
    }
    const std::string command = options.arguments.empty() ? "" : options.arguments[0];
    if (options.help) {
        const char* text = commandHelp(command);
        if (text)
            std::fputs(text, stdout);
        else
            std::printf(kUsage, defaultPluginName());
        return 0;
    }
    const std::vector<std::string> files(options.arguments.begin() + (command.empty() ? 0 : 1),
                                         options.arguments.end());
    const bool known = (command == "info" && files.empty()) ||
                       ((command == "check" || command == "query") && files.size() == 1) ||
                       (command == "decode" && !files.empty() && !options.output.empty());
    if (!known) {
        const char* text = commandHelp(command);
        std::fprintf(stderr, text ? text : kUsage, defaultPluginName());
        return 2;
    }

    PluginModule plugin(options.pluginPath);
    const FlushOnReturn flushFirst; // destroyed, so run, before the module unloads
    if (!plugin.loaded()) {
        std::fprintf(stderr, "vekhost: cannot load %s: %s\n", options.pluginPath.c_str(), plugin.error().c_str());
        return 2;
    }
    Host host(plugin, options);
    if (command == "info") return host.info();
    if (command == "check") return host.check(files[0]);
    if (command == "query") return host.query(files[0]);
    if (files.size() == 1) return host.decode(files[0], options.output);
    // Several pictures: -o names a folder, and each goes in as its own name with .bmp added.
    int status = 0;
    for (const std::string& file : files) {
        if (host.decode(file, options.output + "/" + baseName(file) + ".bmp") != 0) status = 1;
    }
    return status;
}

#ifdef _WIN32
// Windows hands over the command line in UTF-16, the only form that spells every file name; it is
// kept as UTF-8 from here on.
int wmain(int argc, wchar_t** wargv) {
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i) arguments.push_back(utf8(wargv[i]));
    std::vector<char*> argv;
    for (std::string& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);
    return run(argc, argv.data());
}
#else
int main(int argc, char** argv) { return run(argc, argv); }
#endif
