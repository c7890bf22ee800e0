#include "libvek/core/image.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "libvek/base/limits.h"
#include "libvek/system/lock.h"
#include "libvek/system/memory.h"

namespace vek {

namespace {

// A viewer opens one picture after another, often of one size. A large block fresh from the system
// costs a page fault on every first touch, more than a decode takes, so a few freed pixel buffers
// are kept for the next picture.
class KeptBuffers {
public:
    uint8_t* take(size_t bytes, size_t& capacity) {
        if (bytes < kSmallest) return nullptr;
        std::lock_guard<Lock> lock(lock_);
        for (size_t i = 0; i < count_; ++i) {
            // Large enough, and not so large that a small picture holds a huge block.
            if (kept_[i].capacity >= bytes && kept_[i].capacity / 2 <= bytes) {
                uint8_t* data = kept_[i].data;
                capacity = kept_[i].capacity;
                total_ -= capacity;
                kept_[i] = kept_[--count_];
                return data;
            }
        }
        return nullptr;
    }
    bool keep(uint8_t* data, size_t capacity) {
        if (capacity < kSmallest || capacity > kTotal) return false;
        Entry evicted[kSlots];
        size_t evictions = 0;
        {
            std::lock_guard<Lock> lock(lock_);
            // The oldest buffers make room for the newest.
            while (count_ > 0 && (count_ == kSlots || total_ + capacity > kTotal)) {
                total_ -= kept_[0].capacity;
                evicted[evictions++] = kept_[0];
                kept_[0] = kept_[--count_];
            }
            kept_[count_++] = {data, capacity};
            total_ += capacity;
        }
        // Large blocks go back to the system outside the lock.
        for (size_t i = 0; i < evictions; ++i) std::free(evicted[i].data);
        return true;
    }
    void clear() {
        Entry all[kSlots];
        size_t n;
        {
            std::lock_guard<Lock> lock(lock_);
            n = count_;
            for (size_t i = 0; i < n; ++i) all[i] = kept_[i];
            count_ = 0;
            total_ = 0;
        }
        for (size_t i = 0; i < n; ++i) std::free(all[i].data);
    }

private:
    static constexpr size_t kSmallest = size_t{1} << 20;
    // At most this much is kept: enough for the next picture of a 24-megapixel camera, little
    // enough that a viewer's memory returns near where it was when its pictures are closed.
    static constexpr size_t kTotal = sizeof(void*) == 8 ? size_t{128} << 20 : size_t{64} << 20;
    static constexpr size_t kSlots = 2;
    struct Entry {
        uint8_t* data;
        size_t capacity;
    };
    Lock lock_;
    Entry kept_[kSlots] = {};
    size_t count_ = 0;
    size_t total_ = 0;
};

// Constant-initialised and trivially destroyed: usable from any static destructor, and nothing
// to leak when the library is unloaded.
constinit KeptBuffers kept;

KeptBuffers& keptBuffers() { return kept; }

} // namespace

PixelStore* PixelStore::create(size_t bytes, size_t slack) {
    size_t wanted;
    if (__builtin_add_overflow(bytes, slack, &wanted)) return nullptr;
    size_t capacity = wanted ? wanted : 1;
    uint8_t* data = keptBuffers().take(wanted, capacity);
    if (data == nullptr) {
        data = static_cast<uint8_t*>(std::malloc(capacity));
        adviseHugePages(data, capacity);
    }
    if (data == nullptr) return nullptr;
    auto* store = new (std::nothrow) PixelStore(data, bytes, capacity);
    if (store == nullptr && !keptBuffers().keep(data, capacity)) std::free(data);
    return store;
}

void PixelStore::release() {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        if (!keep_.load(std::memory_order_relaxed) || !keptBuffers().keep(data_, capacity_)) std::free(data_);
        delete this;
    }
}

void PixelStore::releaseKeptBuffers() { keptBuffers().clear(); }

VekError Image::allocate(int64_t width, int64_t height, Layout layout, const LoadOptions& options, size_t slack) {
    if (VekError e = checkDimensions("the picture", width, height, options.maxPixels)) return e;
    size_t stride, bytes;
    if (!checkedMultiply(static_cast<size_t>(width), bytesPerPixel(layout), stride) ||
        !checkedMultiply(stride, static_cast<size_t>(height), bytes))
        return refuse(VEK_ERROR_TOO_LARGE, "%lld x %lld pixels do not fit this process's address space",
                      static_cast<long long>(width), static_cast<long long>(height));
    PixelStore* store = PixelStore::create(bytes, slack);
    if (store == nullptr) return outOfMemory(bytes);
    if (store_) store_->release();
    store_ = store;
    width_ = static_cast<int32_t>(width);
    height_ = static_cast<int32_t>(height);
    stride_ = stride;
    layout_ = layout;
    bottomUp_ = options.bottomUp;
    kernels_ = options.kernels;
    finish_ = options.finish;
    rowsFinished_ = false;
    return VEK_OK;
}

void Image::fill(uint8_t value) {
    if (store_) std::memset(store_->data(), value, store_->size());
}

void Image::storeTopDownRowsInOrder() {
    if (!bottomUp_ || !store_) return;
    uint8_t buffer[4096];
    for (size_t top = 0, bottom = static_cast<size_t>(height_) - 1; top < bottom; ++top, --bottom) {
        uint8_t* a = store_->data() + top * stride_;
        uint8_t* b = store_->data() + bottom * stride_;
        for (size_t done = 0; done < stride_; done += sizeof buffer) {
            const size_t n = std::min(sizeof buffer, stride_ - done);
            std::memcpy(buffer, a + done, n);
            std::memcpy(a + done, b + done, n);
            std::memcpy(b + done, buffer, n);
        }
    }
}

} // namespace vek
