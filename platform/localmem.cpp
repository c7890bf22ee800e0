// Local-memory blocks for Linux builds. Handles are serial numbers that are never reused, so a
// freed handle stays invalid for the life of the process and any late use of it is caught.
#include "platform/platform.h"
#include "support/huge_pages.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>

namespace {

struct Block {
    void* data;
    size_t size;
    int locks;
};

struct Registry {
    std::mutex mutex;
    std::unordered_map<uintptr_t, Block> blocks;
    uintptr_t nextSerial = 1;
    int failAllocAt = 0;
    int failLockAt = 0;
    int misuses = 0;
};

Registry& registry() {
    static Registry* instance = new Registry; // never destroyed: hosts may free blocks at exit
    return *instance;
}

// Odd multiples of 16 above the first page: never a valid data pointer, never null.
uintptr_t handleValue(uintptr_t serial) { return 0x10000u + serial * 16u + 8u; }

// The live block behind a handle, or null after counting and reporting the misuse.
Block* liveBlock(Registry& r, HLOCAL handle, const char* what) {
    auto it = r.blocks.find(reinterpret_cast<uintptr_t>(handle));
    if (it != r.blocks.end()) return &it->second;
    ++r.misuses;
    std::fprintf(stderr, "platform: %s on handle %p that is not a live block\n", what, handle);
    return nullptr;
}

bool countdown(int& counter) {
    if (counter <= 0) return false;
    return --counter == 0;
}

template <typename Char> Char* boundedCopy(Char* destination, const Char* source, int length) {
    if (destination == nullptr || source == nullptr || length <= 0) return destination;
    int i = 0;
    for (; i < length - 1 && source[i] != 0; ++i) destination[i] = source[i];
    destination[i] = 0;
    return destination;
}

template <typename Char> int lengthOf(const Char* text) {
    if (text == nullptr) return 0;
    int n = 0;
    while (text[n] != 0) ++n;
    return n;
}

} // namespace

extern "C" {

HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes) {
    if ((flags & LMEM_MOVEABLE) == 0 || (flags & ~(LMEM_MOVEABLE | LMEM_ZEROINIT)) != 0) return nullptr;
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (countdown(r.failAllocAt)) return nullptr;
    void* data = (flags & LMEM_ZEROINIT) ? std::calloc(bytes ? bytes : 1, 1) : std::malloc(bytes ? bytes : 1);
    if (data == nullptr) return nullptr;
    adviseHugePages(data, bytes);
    uintptr_t value = handleValue(r.nextSerial++);
    try {
        r.blocks.emplace(value, Block{data, bytes, 0});
    } catch (const std::bad_alloc&) {
        std::free(data);
        return nullptr;
    }
    return reinterpret_cast<HLOCAL>(value);
}

void* WINAPI LocalLock(HLOCAL handle) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    Block* block = liveBlock(r, handle, "LocalLock");
    if (block == nullptr || countdown(r.failLockAt)) return nullptr;
    ++block->locks;
    return block->data;
}

BOOL WINAPI LocalUnlock(HLOCAL handle) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    Block* block = liveBlock(r, handle, "LocalUnlock");
    if (block == nullptr) return FALSE;
    if (block->locks == 0) {
        ++r.misuses;
        std::fprintf(stderr, "platform: LocalUnlock on handle %p that holds no lock\n", handle);
        return FALSE;
    }
    return --block->locks > 0 ? TRUE : FALSE;
}

HLOCAL WINAPI LocalFree(HLOCAL handle) {
    if (handle == nullptr) return nullptr;
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    Block* block = liveBlock(r, handle, "LocalFree");
    if (block == nullptr) return handle;
    // Poison the first bytes so that a pointer kept from an earlier lock reads nonsense; all of a
    // large block would cost as much as the copy that filled it.
    std::memset(block->data, 0xDD, block->size < 4096 ? block->size : 4096);
    std::free(block->data);
    r.blocks.erase(reinterpret_cast<uintptr_t>(handle));
    return nullptr;
}

SIZE_T WINAPI LocalSize(HLOCAL handle) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    const Block* block = liveBlock(r, handle, "LocalSize");
    return block != nullptr ? block->size : 0;
}

char* WINAPI lstrcpynA(char* destination, const char* source, int length) {
    return boundedCopy(destination, source, length);
}
int WINAPI lstrlenA(const char* text) { return lengthOf(text); }
WCHAR* WINAPI lstrcpynW(WCHAR* destination, const WCHAR* source, int length) {
    return boundedCopy(destination, source, length);
}
int WINAPI lstrlenW(const WCHAR* text) { return lengthOf(text); }

void platformFailLocalAllocAt(int n) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.failAllocAt = n;
}

void platformFailLocalLockAt(int n) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.failLockAt = n;
}

int platformLiveBlocks(void) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return static_cast<int>(r.blocks.size());
}

int platformHeldLocks(void) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    int held = 0;
    for (const auto& entry : r.blocks) held += entry.second.locks;
    return held;
}

int platformMisuses(void) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.misuses;
}

void platformResetCounters(void) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.failAllocAt = 0;
    r.failLockAt = 0;
    r.misuses = 0;
}

} // extern "C"
