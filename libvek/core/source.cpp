#include "libvek/core/source.h"

#include "libvek/core/limits.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace vek {
namespace {

const uint8_t kEmpty[1] = {0};

#ifdef _WIN32
struct Handle {
    HANDLE h;
    ~Handle() {
        if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};
#else
struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) close(fd);
    }
};
#endif

} // namespace

VekError FileBytes::read(const char* fileName) {
    unmap();
#ifdef _WIN32
    // Others may keep reading and writing the file; Windows keeps it from being cut while mapped.
    Handle file{CreateFileA(fileName, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (file.h == INVALID_HANDLE_VALUE || GetFileType(file.h) != FILE_TYPE_DISK) return VEK_ERROR_CANNOT_READ;
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file.h, &size) || size.QuadPart < 0) return VEK_ERROR_CANNOT_READ;
    if (static_cast<uint64_t>(size.QuadPart) > kMaxFileBytes) return VEK_ERROR_TOO_LARGE;
    if (size.QuadPart == 0) {
        data_ = kEmpty;
        return VEK_OK;
    }
    Handle mapping{CreateFileMappingA(file.h, nullptr, PAGE_READONLY, 0, 0, nullptr)};
    if (mapping.h == nullptr) return VEK_ERROR_CANNOT_READ;
    void* view = MapViewOfFile(mapping.h, FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(size.QuadPart));
    if (view == nullptr) return GetLastError() == ERROR_NOT_ENOUGH_MEMORY ? VEK_ERROR_OUT_OF_MEMORY : VEK_ERROR_CANNOT_READ;
    const uint64_t bytes = static_cast<uint64_t>(size.QuadPart);
#else
    // Non-blocking, so that opening a FIFO does not wait for a writer; only a regular file is read.
    Descriptor file{open(fileName, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY)};
    struct stat st;
    if (file.fd < 0 || fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) return VEK_ERROR_CANNOT_READ;
    const auto bytes = static_cast<uint64_t>(st.st_size);
    if (bytes > kMaxFileBytes) return VEK_ERROR_TOO_LARGE;
    if (bytes == 0) {
        data_ = kEmpty;
        return VEK_OK;
    }
    void* view = mmap(nullptr, static_cast<size_t>(bytes), PROT_READ, MAP_PRIVATE, file.fd, 0);
    if (view == MAP_FAILED) return errno == ENOMEM ? VEK_ERROR_OUT_OF_MEMORY : VEK_ERROR_CANNOT_READ;
#endif
    data_ = static_cast<const uint8_t*>(view);
    size_ = static_cast<size_t>(bytes);
    mapped_ = true;
    return VEK_OK;
}

void FileBytes::unmap() {
    if (mapped_) {
#ifdef _WIN32
        UnmapViewOfFile(data_);
#else
        munmap(const_cast<uint8_t*>(data_), size_);
#endif
    }
    data_ = nullptr;
    size_ = 0;
    mapped_ = false;
}

} // namespace vek
