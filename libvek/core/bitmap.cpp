#include "libvek/core/bitmap.h"

#include <cstring>
#include <new>

#include "libvek/core/convert.h"
#include "libvek/base/limits.h"
#include "libvek/core/registry.h"
#include "libvek/system/workers.h"

namespace vek {
namespace {

constinit Registry liveBitmaps;

struct BitmapObject {
    LibraryBitmap pub; // first, so that the public pointer is the object's
    RegistryNode node;
    PixelStore* store = nullptr;
    uint8_t palette[256 * 4] = {};

    ~BitmapObject() {
        if (store) store->release();
    }
};

BitmapObject* objectOf(LibraryBitmap* bitmap) {
    return bitmap != nullptr && liveBitmaps.contains(bitmap) ? reinterpret_cast<BitmapObject*>(bitmap) : nullptr;
}

// The record every bitmap carries, filled in one place.
void describe(LibraryBitmap& b, int32_t width, int32_t height, uint16_t bits, uint16_t components, int16_t transparent,
              uint16_t rowOrigin, size_t stride, Layout layout) {
    std::memset(&b, 0, sizeof b);
    b.width = width;
    b.height = height;
    b.bitsPerComponent = bits;
    b.componentsPerPixel = components;
    b.transparentIndex = transparent;
    b.rowOrigin = rowOrigin;
    b.bytesPerLine = static_cast<int32_t>(stride);
    b.pixelLayout = static_cast<uint16_t>(layout);
}

void publish(BitmapObject* object, PixelStore* store, LibraryBitmap** out) {
    object->store = store;
    object->pub.pixels = store->data();
    object->pub.internal = object;
    liveBitmaps.add(object->node, object);
    *out = &object->pub;
}

} // namespace

VekError publishImage(const Image& image, uint16_t rowOrigin, LibraryBitmap** out) {
    auto* object = new (std::nothrow) BitmapObject;
    if (object == nullptr) return outOfMemory(sizeof(BitmapObject));
    LibraryBitmap& b = object->pub;
    describe(b, image.width(), image.height(), image.bitsPerComponent, image.componentsPerPixel, image.transparentIndex,
             rowOrigin, image.stride(), image.layout());
    if (image.layout() == Layout::Indexed8) {
        std::memcpy(object->palette, image.palette, sizeof object->palette);
        b.paletteEntries = image.paletteEntries;
        b.palette = object->palette;
    }
    image.store()->retain();
    publish(object, image.store(), out);
    return VEK_OK;
}

VekError convertToBgra(LibraryBitmap* source, LibraryBitmap** out) {
    BitmapObject* src = objectOf(source);
    if (src == nullptr) return refuse(VEK_ERROR_BAD_ARGUMENT, "the bitmap is not one of this library's");
    const LibraryBitmap& in = src->pub;
    const auto layout = static_cast<Layout>(in.pixelLayout);
    size_t rowBytes, bytes;
    if (!checkedMultiply(static_cast<size_t>(in.width), 4, rowBytes) ||
        !checkedMultiply(rowBytes, static_cast<size_t>(in.height), bytes))
        return refuse(VEK_ERROR_TOO_LARGE, "%d x %d pixels do not fit this process's address space", in.width,
                      in.height);
    auto* object = new (std::nothrow) BitmapObject;
    if (object == nullptr) return outOfMemory(sizeof(BitmapObject));
    describe(object->pub, in.width, in.height, 8, 4, VEK_NO_TRANSPARENT_INDEX, in.rowOrigin, rowBytes, Layout::Bgra32);
    if (layout == Layout::Bgra32 && static_cast<size_t>(in.bytesPerLine) == rowBytes) {
        src->store->retain();
        publish(object, src->store, out);
        return VEK_OK;
    }
    const workers::Caller caller;
    PixelStore* store = PixelStore::create(bytes);
    if (store == nullptr) {
        delete object;
        return outOfMemory(bytes);
    }
    uint32_t words[256];
    if (layout == Layout::Indexed8) paletteWords(src->palette, in.paletteEntries, in.transparentIndex, words);
    const simd::Level kernels = simd::detect();
    workers::forRanges(uint64_t(in.width) * uint64_t(in.height), static_cast<size_t>(in.height),
                       [&](size_t first, size_t end) {
                           for (size_t y = first; y < end; ++y)
                               rowToBgra(layout, in.pixels + static_cast<size_t>(in.bytesPerLine) * y,
                                         store->data() + rowBytes * y, in.width, words, kernels);
                       });
    // The caller frees the source next and allocates its own copy of the BGRA picture: an indexed
    // or grey buffer kept meanwhile would push its peak past the file and two BGRA pictures.
    src->store->releaseToSystem();
    publish(object, store, out);
    return VEK_OK;
}

bool ownsBitmap(LibraryBitmap* bitmap) { return objectOf(bitmap) != nullptr; }

bool freeBitmap(LibraryBitmap* bitmap) {
    if (!liveBitmaps.remove(bitmap)) return false;
    delete reinterpret_cast<BitmapObject*>(bitmap);
    return true;
}

} // namespace vek
