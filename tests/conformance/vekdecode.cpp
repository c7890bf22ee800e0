// Decodes pictures through libvek340 as the plug-in does, from the file and from memory, for the
// conformance harness:
//   vekdecode OUTDIR < LIST        LIST: one path a line
// For the Nth path it writes OUTDIR/N.bgra (top row first, as mode 23 gives it) and prints
//   N <TAB> result <TAB> width <TAB> height
// where result is "ok", "error E: REASON" (the library's code and its words), or "mismatch" when the
// file and the memory decode disagree.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "imagelib/refusal.h"
#include "imagelib/vek.h"
#include "tests/read_bytes.h"
#include "tests/library_decode.h"

namespace {

struct Result {
    VekError error = VEK_OK;
    int32_t width = 0, height = 0;
    std::vector<uint8_t> bgra;
    char reason[256] = {};
};

Result decode(const std::string& path, const std::vector<uint8_t>* bytes) {
    Result r;
    LibraryBitmap* b = decodeToBgra(path.c_str(), bytes, r.error);
    if (r.error != VEK_OK) vekGetLastRefusal(r.reason, sizeof r.reason);
    if (b != nullptr) {
        r.width = b->width;
        r.height = b->height;
        r.bgra = pixelsOf(b);
    }
    vekFreeBitmap(b);
    return r;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: vekdecode OUTDIR < LIST\n");
        return 2;
    }
    vekLibraryInit();
    std::string path;
    for (int n = 0; std::getline(std::cin, path); ++n) {
        const std::vector<uint8_t> bytes = readBytes(path);
        const Result fromFile = decode(path, nullptr);
        const Result fromMemory = decode(path, &bytes);
        std::printf("%d\t", n);
        if (fromFile.error != fromMemory.error || fromFile.bgra != fromMemory.bgra ||
            fromFile.width != fromMemory.width) {
            std::printf("mismatch\t0\t0\n");
        } else if (fromFile.error != VEK_OK) {
            std::printf("error %d: %s\t0\t0\n", fromFile.error, fromFile.reason);
        } else {
            std::ofstream out(std::string(argv[1]) + "/" + std::to_string(n) + ".bgra", std::ios::binary);
            out.write(reinterpret_cast<const char*>(fromFile.bgra.data()),
                      static_cast<std::streamsize>(fromFile.bgra.size()));
            std::printf("ok\t%d\t%d\n", fromFile.width, fromFile.height);
        }
    }
    vekLibraryExit();
    return 0;
}
