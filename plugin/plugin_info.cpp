#include "imagelib/vek.h"
#include "plugin/plugin.h"

extern "C" {

int PLUGIN_API GetPluginInfo(int32_t index, char* outBuffer, int32_t bufferLength) {
    if (index < 0 || index >= kPluginInfoCount) return 0;
    // No room even for the NUL: the buffer is neither read nor written.
    if (outBuffer == nullptr || bufferLength <= 0) return 0;
    lstrcpynA(outBuffer, kPluginStrings[index], bufferLength);
    return lstrlenA(outBuffer);
}

int PLUGIN_API GetPluginInfoW(int32_t index, WCHAR* outBuffer, int32_t bufferLength) {
    if (index < 0 || index >= kPluginInfoCount) return 0;
    if (outBuffer == nullptr || bufferLength <= 0) return 0;
    // The strings are ASCII, one UTF-16 unit a character: copied as lstrcpynW would, and the
    // count is what lstrlenW would then give.
    const char* text = kPluginStrings[index];
    int32_t n = 0;
    for (; n < bufferLength - 1 && text[n] != '\0'; ++n) outBuffer[n] = static_cast<WCHAR>(text[n]);
    outBuffer[n] = 0;
    return n;
}

namespace {
// Only the low byte of the answer is defined; 1 is the library's "no".
int acceptance(int32_t libraryAnswer) { return static_cast<uint8_t>(libraryAnswer & 0xFF) == 1 ? 0 : 2; }
} // namespace

int PLUGIN_API IsSupported(const char* fileName, intptr_t /*fileHint*/) {
    if (fileName == nullptr) return 0;
    return acceptance(vekFormatIsSupported(fileName));
}

int PLUGIN_API IsSupportedW(const WCHAR* fileName, intptr_t /*fileHint*/) {
    if (fileName == nullptr) return 0;
    return acceptance(vekFormatIsSupportedW(fileName));
}

} // extern "C"
