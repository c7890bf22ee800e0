#include "libvek/formats/formats.h"

#include "imagelib/vek.h"
#include "libvek/formats/table.h"

namespace vek {
namespace {

#define VEK_FORMAT_ROW(name, index, label, extensions) \
    Format{index, label, extensions, name##_format::sniff, name##_format::sniffLate, name##_format::open},
const Format kFormats[] = {VEK_FORMATS(VEK_FORMAT_ROW)};
#undef VEK_FORMAT_ROW

} // namespace

const Format* findFormat(ByteView data, int32_t formatIndex) {
    // Signatures first; then the formats without one, each on its strict header check: a headerless
    // DIB, whose info header is the more telling, before TGA.
    for (const bool late : {false, true}) {
        for (const Format& f : kFormats) {
            if (formatIndex != VEK_FORMAT_DETECT && f.index != formatIndex) continue;
            if ((late ? f.sniffLate : f.sniff)(data)) return &f;
        }
    }
    return nullptr;
}

template <typename Char> bool extensionIsRead(const Char* extension) {
    for (const Format& f : kFormats) {
        for (const char* e = f.extensions; *e != '\0';) {
            const Char* x = extension;
            // ASCII case folding only: no extension read here has another letter.
            while (*e != '\0' && *e != ' ' && *x != 0) {
                const auto c = static_cast<uint32_t>(*x);
                if ((c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c) != static_cast<unsigned char>(*e)) break;
                ++e;
                ++x;
            }
            if ((*e == '\0' || *e == ' ') && *x == 0) return true;
            while (*e != '\0' && *e != ' ') ++e;
            if (*e == ' ') ++e;
        }
    }
    return false;
}

template bool extensionIsRead(const char*);
template bool extensionIsRead(const VekWideChar*);

} // namespace vek
