#include "libvek/core/image.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "libvek/core/limits.h"

namespace vek {

PixelStore* PixelStore::create(size_t bytes) {
    auto* data = static_cast<uint8_t*>(std::malloc(bytes ? bytes : 1));
    if (data == nullptr) return nullptr;
    auto* store = new (std::nothrow) PixelStore(data, bytes);
    if (store == nullptr) std::free(data);
    return store;
}

void PixelStore::release() {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        std::free(data_);
        delete this;
    }
}

VekError Image::allocate(int64_t width, int64_t height, Layout layout, const LoadOptions& options) {
    if (!dimensionsAllowed(width, height, options.maxPixels)) return VEK_ERROR_TOO_LARGE;
    size_t stride, bytes;
    if (!checkedMultiply(static_cast<size_t>(width), bytesPerPixel(layout), stride) ||
        !checkedMultiply(stride, static_cast<size_t>(height), bytes))
        return VEK_ERROR_TOO_LARGE;
    PixelStore* store = PixelStore::create(bytes);
    if (store == nullptr) return VEK_ERROR_OUT_OF_MEMORY;
    if (store_) store_->release();
    store_ = store;
    width_ = static_cast<int32_t>(width);
    height_ = static_cast<int32_t>(height);
    stride_ = stride;
    layout_ = layout;
    bottomUp_ = options.bottomUp;
    return VEK_OK;
}

void Image::fill(uint8_t value) {
    if (store_) std::memset(store_->data(), value, store_->size());
}

} // namespace vek
