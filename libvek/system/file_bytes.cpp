#include "libvek/system/file_bytes.h"

#include <cstring>
#include <string>

#include "libvek/base/limits.h"

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

VekError tooLong(uint64_t bytes) {
    return refuse(VEK_ERROR_TOO_LARGE, "a file of %llu bytes, more than the %llu the library reads",
                  static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(kMaxFileBytes));
}

bool isHighSurrogate(uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate(uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

#ifndef _WIN32
// The name as this system's file calls take it; false when it is not valid UTF-16.
bool toUtf8(const VekWideChar* text, std::string& out) {
    for (; *text != 0; ++text) {
        uint32_t c = static_cast<uint16_t>(*text);
        if (isHighSurrogate(c)) {
            const uint32_t low = static_cast<uint16_t>(text[1]);
            if (!isLowSurrogate(low)) return false;
            c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
            ++text;
        } else if (isLowSurrogate(c)) {
            return false;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return true;
}
#endif

} // namespace

bool wellFormedUtf16(const VekWideChar* text) {
    for (; *text != 0; ++text) {
        const uint32_t c = static_cast<uint16_t>(*text);
        if (isLowSurrogate(c)) return false;
        if (isHighSurrogate(c)) {
            if (!isLowSurrogate(static_cast<uint16_t>(text[1]))) return false;
            ++text;
        }
    }
    return true;
}

#ifdef _WIN32
struct FileBytes::Opened {
    HANDLE h;
    ~Opened() {
        if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};

// Others may keep reading and writing the file; Windows keeps it from being cut while mapped.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

VekError FileBytes::read(const char* fileName) {
    unmap();
    return map(
        Opened{CreateFileA(fileName, GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)});
}

VekError FileBytes::read(const VekWideChar* fileName) {
    unmap();
    if (!wellFormedUtf16(fileName)) return refuse(VEK_ERROR_BAD_ARGUMENT, "the file name is not valid UTF-16");
    return map(
        Opened{CreateFileW(fileName, GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)});
}

VekError FileBytes::map(const Opened& file) {
    if (file.h == INVALID_HANDLE_VALUE)
        return refuse(VEK_ERROR_CANNOT_READ, "the file cannot be opened (Windows error %lu)", GetLastError());
    if (GetFileType(file.h) != FILE_TYPE_DISK) return refuse(VEK_ERROR_CANNOT_READ, "not a file on a disk");
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file.h, &size) || size.QuadPart < 0)
        return refuse(VEK_ERROR_CANNOT_READ, "the file's size cannot be read");
    if (static_cast<uint64_t>(size.QuadPart) > kMaxFileBytes) return tooLong(static_cast<uint64_t>(size.QuadPart));
    if (size.QuadPart == 0) {
        data_ = kEmpty;
        return VEK_OK;
    }
    Opened mapping{CreateFileMappingA(file.h, nullptr, PAGE_READONLY, 0, 0, nullptr)};
    if (mapping.h == nullptr)
        return refuse(VEK_ERROR_CANNOT_READ, "the file cannot be mapped (Windows error %lu)", GetLastError());
    void* view = MapViewOfFile(mapping.h, FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(size.QuadPart));
    if (view == nullptr)
        return GetLastError() == ERROR_NOT_ENOUGH_MEMORY
                   ? outOfMemory(static_cast<size_t>(size.QuadPart))
                   : refuse(VEK_ERROR_CANNOT_READ, "the file cannot be mapped (Windows error %lu)", GetLastError());
    keepView(view, static_cast<uint64_t>(size.QuadPart));
    return VEK_OK;
}
#else
struct FileBytes::Opened {
    int fd;
    ~Opened() {
        if (fd >= 0) close(fd);
    }
};

// Non-blocking, so that opening a FIFO does not wait for a writer; only a regular file is read.
VekError FileBytes::read(const char* fileName) {
    unmap();
    return map(Opened{open(fileName, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY)});
}

VekError FileBytes::read(const VekWideChar* fileName) {
    unmap();
    std::string utf8;
    if (!toUtf8(fileName, utf8)) return refuse(VEK_ERROR_BAD_ARGUMENT, "the file name is not valid UTF-16");
    return read(utf8.c_str());
}

VekError FileBytes::map(const Opened& file) {
    struct stat st;
    if (file.fd < 0 || fstat(file.fd, &st) != 0)
        return refuse(VEK_ERROR_CANNOT_READ, "the file cannot be opened: %s", std::strerror(errno));
    if (!S_ISREG(st.st_mode) || st.st_size < 0) return refuse(VEK_ERROR_CANNOT_READ, "not a regular file");
    const auto bytes = static_cast<uint64_t>(st.st_size);
    if (bytes > kMaxFileBytes) return tooLong(bytes);
    if (bytes == 0) {
        data_ = kEmpty;
        return VEK_OK;
    }
    void* view = mmap(nullptr, static_cast<size_t>(bytes), PROT_READ, MAP_PRIVATE, file.fd, 0);
    if (view == MAP_FAILED)
        return errno == ENOMEM ? outOfMemory(static_cast<size_t>(bytes))
                               : refuse(VEK_ERROR_CANNOT_READ, "the file cannot be mapped: %s", std::strerror(errno));
    keepView(view, bytes);
    return VEK_OK;
}
#endif

void FileBytes::keepView(const void* view, uint64_t bytes) {
    data_ = static_cast<const uint8_t*>(view);
    size_ = static_cast<size_t>(bytes);
    mapped_ = true;
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
