// A picture's bytes: a named file read once into memory, or the caller's memory block as it is.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "imagelib/vek.h"
#include "libvek/core/bytes.h"

namespace vek {

class FileBytes {
public:
    FileBytes() = default;
    FileBytes(const FileBytes&) = delete;
    FileBytes& operator=(const FileBytes&) = delete;
    ~FileBytes() { std::free(data_); }

    VekError read(const char* fileName);
    ByteView view() const { return {data_, size_}; }

private:
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

} // namespace vek
