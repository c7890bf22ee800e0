#include "tests/fake/fake_vek.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <set>

namespace fakevek {
namespace {

struct State {
    std::recursive_mutex mutex;
    Script script;
    std::vector<Call> calls;
    std::set<LibraryBitmap*> live;
    int misuses = 0;
};

State& state() {
    static State s;
    return s;
}

uintptr_t word(const void* p) { return reinterpret_cast<uintptr_t>(p); }
uintptr_t word(int64_t v) { return static_cast<uintptr_t>(v); }

Call& record(const char* name, std::vector<uintptr_t> args) {
    State& s = state();
    s.calls.push_back(Call{name, {}, {}, std::move(args), {}, {}});
    return s.calls.back();
}

int32_t storedBytesPerLine(const BitmapShape& shape, int bytesPerPixel) {
    if (shape.bytesPerLine != 0) return shape.bytesPerLine;
    return static_cast<int32_t>(std::min<int64_t>(int64_t{shape.width} * bytesPerPixel, INT32_MAX));
}

struct Pixels {
    std::vector<uint8_t> bytes;
};

LibraryBitmap* makeBitmap(const BitmapShape& shape, int bytesPerPixel) {
    auto* bitmap = new LibraryBitmap{};
    bitmap->width = shape.width;
    bitmap->height = shape.height;
    bitmap->bitsPerComponent = shape.bitsPerComponent;
    bitmap->componentsPerPixel = shape.componentsPerPixel;
    bitmap->transparentIndex = shape.transparentIndex;
    bitmap->rowOrigin = VEK_ORIGIN_BOTTOM_LEFT;
    bitmap->bytesPerLine = storedBytesPerLine(shape, bytesPerPixel);
    // Bitmaps too large for a test to hold get a token buffer: the plug-in must refuse them unread.
    const int64_t stored = int64_t{bitmap->bytesPerLine} * std::max<int32_t>(shape.height, 0);
    auto* pixels = new Pixels{!shape.pixels.empty()       ? shape.pixels
                              : stored > int64_t{1} << 26 ? std::vector<uint8_t>(16)
                                                          : convertedBytes(shape)};
    bitmap->pixels = pixels->bytes.data();
    bitmap->internal = pixels;
    state().live.insert(bitmap);
    return bitmap;
}

} // namespace

std::vector<uint8_t> convertedBytes(const BitmapShape& shape) {
    const int64_t line = storedBytesPerLine(shape, 4);
    const int64_t rows = std::max<int32_t>(shape.height, 0);
    std::vector<uint8_t> bytes(static_cast<size_t>(std::max<int64_t>(line * rows, 0)));
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
    return bytes;
}

void reset() {
    State& s = state();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    for (LibraryBitmap* b : s.live) {
        delete static_cast<Pixels*>(b->internal);
        delete b;
    }
    s.live.clear();
    s.calls.clear();
    s.script = Script{};
    s.misuses = 0;
}

Script& script() { return state().script; }
const std::vector<Call>& calls() { return state().calls; }

std::vector<std::string> callNames() {
    std::vector<std::string> names;
    for (const Call& c : state().calls) names.push_back(c.name);
    return names;
}

int count(const std::string& name) {
    const auto& c = state().calls;
    return static_cast<int>(std::count_if(c.begin(), c.end(), [&](const Call& call) { return call.name == name; }));
}

int liveBitmaps() { return static_cast<int>(state().live.size()); }
int misuses() { return state().misuses; }

} // namespace fakevek

using namespace fakevek;

extern "C" {

FAKE_EXPORT VekError VEKAPI vekLibraryInit(void) {
    std::lock_guard<std::recursive_mutex> lock(state().mutex);
    record("vekLibraryInit", {});
    return state().script.initResult;
}

FAKE_EXPORT VekError VEKAPI vekLibraryExit(void) {
    std::lock_guard<std::recursive_mutex> lock(state().mutex);
    record("vekLibraryExit", {});
    return VEK_OK;
}

FAKE_EXPORT int32_t VEKAPI vekFormatIsSupported(const char* fileName) {
    std::lock_guard<std::recursive_mutex> lock(state().mutex);
    Call& c = record("vekFormatIsSupported", {word(fileName)});
    if (fileName) c.text = fileName;
    return state().script.formatAnswer;
}

FAKE_EXPORT int32_t VEKAPI vekFormatIsSupportedW(const VekWideChar* fileName) {
    std::lock_guard<std::recursive_mutex> lock(state().mutex);
    Call& c = record("vekFormatIsSupportedW", {word(fileName)});
    if (fileName) c.wideText = fileName;
    return state().script.formatAnswer;
}

namespace {
VekError query(Call& c, FileInformation* info) {
    if (info) c.infoOnEntry = *info;
    if (state().script.infoResult != VEK_OK) return state().script.infoResult;
    if (info) *info = state().script.infoFill;
    return VEK_OK;
}
} // namespace

FAKE_EXPORT VekError VEKAPI vekGetFileInformation(const char* fileName, int32_t formatIndex, FileInformation* info) {
    std::lock_guard<std::recursive_mutex> lock(state().mutex);
    Call& c = record("vekGetFileInformation", {word(fileName), word(int64_t{formatIndex}), word(info)});
    if (fileName) c.text = fileName;
    return query(c, info);
}

FAKE_EXPORT VekError VEKAPI vekGetFileInformationW(const VekWideChar* fileName, int32_t formatIndex,
                                                   FileInformation* info) {
    std::lock_guard<std::recursive_mutex> lock(state().mutex);
    Call& c = record("vekGetFileInformationW", {word(fileName), word(int64_t{formatIndex}), word(info)});
    if (fileName) c.wideText = fileName;
    return query(c, info);
}

FAKE_EXPORT VekError VEKAPI vekGetFileInformationFromMemory(const void* data, uint32_t length, int32_t formatIndex,
                                                            FileInformation* info) {
    std::lock_guard<std::recursive_mutex> lock(state().mutex);
    Call& c = record("vekGetFileInformationFromMemory",
                     {word(data), word(int64_t{length}), word(int64_t{formatIndex}), word(info)});
    return query(c, info);
}

FAKE_EXPORT VekError VEKAPI vekFreeFileInformation(FileInformation* info) {
    std::lock_guard<std::recursive_mutex> lock(state().mutex);
    record("vekFreeFileInformation", {word(info)});
    return VEK_OK;
}

FAKE_EXPORT VekError VEKAPI vekGetDefaultLoadParams(LoadParams* params) {
    std::lock_guard<std::recursive_mutex> lock(state().mutex);
    record("vekGetDefaultLoadParams", {word(params)});
    if (params) {
        // Defaults that differ from zero everywhere, so that a test sees any field the caller changes.
        params->size = sizeof *params;
        params->rowOrigin = 0x5A5A;
        params->flags = 0x1234;
        params->frameIndex = 7;
        params->maxPixels = 0xCAFE;
    }
    return VEK_OK;
}

namespace {
VekError load(Call& c, LibraryBitmap** bitmap, LoadParams* params) {
    if (params) c.paramsOnEntry = *params;
    const Script& s = state().script;
    if (bitmap == nullptr) return VEK_ERROR_BAD_ARGUMENT;
    if (s.loadResult != VEK_OK && !s.loadLeavesBitmapOnFailure) return s.loadResult;
    *bitmap = makeBitmap(s.loaded, std::max(1, s.loaded.componentsPerPixel * s.loaded.bitsPerComponent / 8));
    return s.loadResult;
}
} // namespace

FAKE_EXPORT VekError VEKAPI vekLoadBitmap(const char* fileName, LibraryBitmap** bitmap, LoadParams* params,
                                          FileInformation* info) {
    std::lock_guard<std::recursive_mutex> lock(state().mutex);
    Call& c = record("vekLoadBitmap", {word(fileName), word(bitmap), word(params), word(info)});
    if (fileName) c.text = fileName;
    if (bitmap) c.args.push_back(word(*bitmap));
    return load(c, bitmap, params);
}

FAKE_EXPORT VekError VEKAPI vekLoadBitmapW(const VekWideChar* fileName, LibraryBitmap** bitmap, LoadParams* params,
                                           FileInformation* info) {
    std::lock_guard<std::recursive_mutex> lock(state().mutex);
    Call& c = record("vekLoadBitmapW", {word(fileName), word(bitmap), word(params), word(info)});
    if (fileName) c.wideText = fileName;
    if (bitmap) c.args.push_back(word(*bitmap));
    return load(c, bitmap, params);
}

FAKE_EXPORT VekError VEKAPI vekLoadBitmapFromMemory(const void* data, uint32_t length, LibraryBitmap** bitmap,
                                                    LoadParams* params, FileInformation* info) {
    std::lock_guard<std::recursive_mutex> lock(state().mutex);
    Call& c =
        record("vekLoadBitmapFromMemory", {word(data), word(int64_t{length}), word(bitmap), word(params), word(info)});
    if (bitmap) c.args.push_back(word(*bitmap));
    return load(c, bitmap, params);
}

FAKE_EXPORT VekError VEKAPI vekChangeColorDepth(LibraryBitmap* source, LibraryBitmap** converted, int32_t mode,
                                                int32_t modeParameter) {
    std::lock_guard<std::recursive_mutex> lock(state().mutex);
    Call& c = record("vekChangeColorDepth",
                     {word(source), word(converted), word(int64_t{mode}), word(int64_t{modeParameter})});
    if (converted) c.args.push_back(word(*converted));
    const Script& s = state().script;
    if (converted == nullptr) return VEK_ERROR_BAD_ARGUMENT;
    if (s.convertResult != VEK_OK && !s.convertLeavesBitmapOnFailure) return s.convertResult;
    *converted = makeBitmap(s.converted, 4);
    return s.convertResult;
}

FAKE_EXPORT VekError VEKAPI vekFreeBitmap(LibraryBitmap* bitmap) {
    State& st = state();
    std::lock_guard<std::recursive_mutex> lock(st.mutex);
    record("vekFreeBitmap", {word(bitmap)});
    if (bitmap == nullptr) return VEK_OK;
    auto it = st.live.find(bitmap);
    if (it == st.live.end()) {
        ++st.misuses;
        return VEK_ERROR_BAD_ARGUMENT;
    }
    st.live.erase(it);
    delete static_cast<Pixels*>(bitmap->internal);
    delete bitmap;
    return VEK_OK;
}

} // extern "C"
