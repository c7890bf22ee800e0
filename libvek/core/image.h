// What a reader produces: the picture's description and its pixels in one of a few storage
// layouts, rows addressed in display order whatever order they are stored in.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "imagelib/vek.h"
#include "libvek/base/bytes.h"
#include "support/simd.h"

namespace vek {

enum class Layout : uint16_t {
    Indexed8 = VEK_LAYOUT_INDEXED8,
    Gray8 = VEK_LAYOUT_GRAY8,
    Bgra32 = VEK_LAYOUT_BGRA32,
};

inline size_t bytesPerPixel(Layout layout) { return layout == Layout::Bgra32 ? 4 : 1; }

// What the information query reports: the file's own description.
struct ImageInfo {
    int32_t width = 0;
    int32_t height = 0;
    uint16_t bitsPerComponent = 8;
    uint16_t componentsPerPixel = 0;
    uint16_t xDpi = 0;
    uint16_t yDpi = 0;
    int32_t xOffset = 0;
    int32_t yOffset = 0;
    uint32_t compression = 0;
    int16_t transparentIndex = VEK_NO_TRANSPARENT_INDEX;
    uint16_t paletteEntries = 0;
};

// Reference-counted pixel memory: a converted bitmap in the layout it already has shares it.
class PixelStore {
public:
    // `slack` bytes beyond the picture's are a reader's to use while decoding. Null when memory runs out.
    static PixelStore* create(size_t bytes, size_t slack = 0);
    void retain() { refs_.fetch_add(1, std::memory_order_relaxed); }
    void release();
    // Memory that no next picture is likely to want (a layout converted away from) goes back to the
    // system on release instead of among the kept buffers, where it would add to the caller's peak.
    void releaseToSystem() { keep_.store(false, std::memory_order_relaxed); }
    uint8_t* data() { return data_; }
    size_t size() const { return size_; }

    // Returns kept buffers to the system (at library exit).
    static void releaseKeptBuffers();

private:
    PixelStore(uint8_t* data, size_t size, size_t capacity) : data_(data), size_(size), capacity_(capacity) {}
    std::atomic<int> refs_{1};
    std::atomic<bool> keep_{true};
    uint8_t* data_;
    size_t size_;
    size_t capacity_;
};

// Work the load asks of each finished BGRA row (the conversion to sRGB), handed down by the layer
// that knows it, so that a reader may run it in its bands while the rows are in cache.
struct RowWork {
    void (*apply)(const void* context, uint8_t* row, size_t pixels, simd::Level kernels) = nullptr;
    const void* context = nullptr;
    float cost = 0; // what it costs a row, against decoding a JPEG row, for readers that balance bands
};

struct LoadOptions {
    bool bottomUp = false;                // rows stored bottom row first
    uint64_t maxPixels = 0;               // 0: the library's cap
    simd::Level kernels = simd::detect(); // the vector paths this load's kernels may take
    RowWork finish;
};

class Image {
public:
    Image() = default;
    Image(const Image&) = delete;
    Image& operator=(const Image&) = delete;
    ~Image() {
        if (store_) store_->release();
    }

    // Allocates gapless rows, and `slack` bytes after them for the reader's own use while it decodes;
    // VEK_ERROR_TOO_LARGE beyond the caps, VEK_ERROR_OUT_OF_MEMORY on failure.
    VekError allocate(int64_t width, int64_t height, Layout layout, const LoadOptions& options, size_t slack = 0);
    // Rows in display order: 0 is the top row whichever way they are stored.
    uint8_t* row(int32_t y) {
        const size_t stored = bottomUp_ ? static_cast<size_t>(height_ - 1 - y) : static_cast<size_t>(y);
        return store_->data() + stored * stride_;
    }
    void fill(uint8_t value);
    // For a reader that wrote the rows top row first into the store whatever the order asked for:
    // puts them in that order.
    void storeTopDownRowsInOrder();

    int32_t width() const { return width_; }
    int32_t height() const { return height_; }
    size_t stride() const { return stride_; }
    Layout layout() const { return layout_; }
    bool bottomUp() const { return bottomUp_; }
    PixelStore* store() const { return store_; }
    // The load's choice of vector paths, for every kernel that runs over these rows.
    simd::Level kernels() const { return kernels_; }

    // A reader that writes BGRA rows runs the load's row work on rows first..first + count as it
    // finishes them; having done so for every row, it says so, and the load does not run it again.
    void finishRows(int32_t first, int32_t count) {
        for (int32_t y = first; y < first + count; ++y) finishRow(row(y));
    }
    // The same for one row given by its address, for a reader that writes the rows out of order.
    void finishRow(uint8_t* bgra) {
        if (finish_.apply != nullptr && layout_ == Layout::Bgra32)
            finish_.apply(finish_.context, bgra, static_cast<size_t>(width_), kernels_);
    }
    void markRowsFinished() { rowsFinished_ = finish_.apply != nullptr && layout_ == Layout::Bgra32; }
    bool rowsFinished() const { return rowsFinished_; }
    float rowWorkCost() const { return finish_.apply != nullptr ? finish_.cost : 0.0f; }

    // The picture's own form, which decides how a caller treats its transparency.
    uint16_t bitsPerComponent = 8;
    uint16_t componentsPerPixel = 0;
    int16_t transparentIndex = VEK_NO_TRANSPARENT_INDEX;
    uint16_t paletteEntries = 0;
    uint8_t palette[256 * 4] = {}; // blue, green, red, alpha

    void setPaletteEntry(int index, uint8_t r, uint8_t g, uint8_t b, uint8_t a = 255) {
        uint8_t* e = palette + index * 4;
        e[0] = b;
        e[1] = g;
        e[2] = r;
        e[3] = a;
    }

private:
    PixelStore* store_ = nullptr;
    int32_t width_ = 0;
    int32_t height_ = 0;
    size_t stride_ = 0;
    Layout layout_ = Layout::Bgra32;
    bool bottomUp_ = false;
    simd::Level kernels_ = simd::Level::Scalar;
    RowWork finish_;
    bool rowsFinished_ = false;
};

} // namespace vek
