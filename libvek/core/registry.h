// The objects the library has handed out and not yet had back, so that a stray or repeated free is
// refused instead of corrupting memory. Constant-initialised, with a spin lock rather than a mutex:
// the Windows DLL then needs no thread-library state, which it could not give back when a viewer
// unloads it.
#pragma once

#include <atomic>

namespace vek {

class SpinLock {
public:
    void lock() {
        while (locked_.exchange(true, std::memory_order_acquire)) {
        }
    }
    void unlock() { locked_.store(false, std::memory_order_release); }

private:
    std::atomic<bool> locked_{false};
};

struct RegistryNode {
    const void* owner = nullptr;
    RegistryNode* next = nullptr;
};

// A list: lookups walk it, which is cheap for the few objects a caller keeps at once.
class Registry {
public:
    void add(RegistryNode& node, const void* owner) {
        Guard guard(lock_);
        node.owner = owner;
        node.next = head_;
        head_ = &node;
    }
    bool remove(const void* owner) {
        Guard guard(lock_);
        for (RegistryNode** p = &head_; *p != nullptr; p = &(*p)->next) {
            if ((*p)->owner == owner) {
                *p = (*p)->next;
                return true;
            }
        }
        return false;
    }
    bool contains(const void* owner) {
        Guard guard(lock_);
        for (const RegistryNode* n = head_; n != nullptr; n = n->next)
            if (n->owner == owner) return true;
        return false;
    }

private:
    struct Guard {
        SpinLock& lock;
        explicit Guard(SpinLock& l) : lock(l) { lock.lock(); }
        ~Guard() { lock.unlock(); }
    };
    SpinLock lock_;
    RegistryNode* head_ = nullptr;
};

} // namespace vek
