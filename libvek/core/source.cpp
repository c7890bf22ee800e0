#include "libvek/core/source.h"

#include <cstdio>

#include "libvek/core/limits.h"

namespace vek {
namespace {

struct FileCloser {
    FILE* f;
    ~FileCloser() {
        if (f) std::fclose(f);
    }
};

bool fileSize(FILE* f, uint64_t& size) {
#ifdef _WIN32
    if (_fseeki64(f, 0, SEEK_END) != 0) return false;
    const int64_t end = _ftelli64(f);
    if (end < 0 || _fseeki64(f, 0, SEEK_SET) != 0) return false;
#else
    if (fseeko(f, 0, SEEK_END) != 0) return false;
    const int64_t end = ftello(f);
    if (end < 0 || fseeko(f, 0, SEEK_SET) != 0) return false;
#endif
    size = static_cast<uint64_t>(end);
    return true;
}

} // namespace

VekError FileBytes::read(const char* fileName) {
    FileCloser file{std::fopen(fileName, "rb")};
    if (file.f == nullptr) return VEK_ERROR_CANNOT_READ;
    uint64_t size = 0;
    if (!fileSize(file.f, size)) return VEK_ERROR_CANNOT_READ;
    if (size > kMaxFileBytes) return VEK_ERROR_TOO_LARGE;
    auto* data = static_cast<uint8_t*>(std::malloc(size ? static_cast<size_t>(size) : 1));
    if (data == nullptr) return VEK_ERROR_OUT_OF_MEMORY;
    if (std::fread(data, 1, static_cast<size_t>(size), file.f) != size) {
        std::free(data);
        return VEK_ERROR_CANNOT_READ;
    }
    std::free(data_);
    data_ = data;
    size_ = static_cast<size_t>(size);
    return VEK_OK;
}

} // namespace vek
