// A picture's bytes: a named file mapped into memory, or the caller's memory block as it is.
#pragma once

#include <cstddef>
#include <cstdint>

#include "imagelib/vek.h"
#include "libvek/base/bytes.h"

namespace vek {

// Only regular files are opened: a FIFO, a device or a directory is refused at once (a FIFO would
// wait for a writer forever). The file is mapped, not read: a reader looks at the header first and
// touches the rest only as it decodes, so a huge file with a bad header costs nothing, and the
// pages come from the system's file cache rather than fresh memory.
class FileBytes {
public:
    FileBytes() = default;
    FileBytes(const FileBytes&) = delete;
    FileBytes& operator=(const FileBytes&) = delete;
    ~FileBytes() { unmap(); }

    [[nodiscard]] VekError read(const char* fileName);
    // A UTF-16 name: opened as such on Windows, by its UTF-8 form elsewhere. Not valid UTF-16:
    // VEK_ERROR_BAD_ARGUMENT.
    [[nodiscard]] VekError read(const VekWideChar* fileName);
    ByteView view() const { return {data_, size_}; }

private:
    struct Opened;
    VekError map(const Opened& file);
    void keepView(const void* view, uint64_t bytes);
    void unmap();
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    bool mapped_ = false;
};

// Whether a UTF-16 string is well formed: every high surrogate followed by a low one, no low one alone.
bool wellFormedUtf16(const VekWideChar* text);

} // namespace vek
