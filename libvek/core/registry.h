// The objects the library has handed out and not yet had back, so that a stray or repeated free is
// refused instead of corrupting memory. Constant-initialised, on the library's lock.
#pragma once

#include <mutex>

#include "libvek/core/lock.h"

namespace vek {

struct RegistryNode {
    const void* owner = nullptr;
    RegistryNode* next = nullptr;
};

// A list: lookups walk it, which is cheap for the few objects a caller keeps at once.
class Registry {
public:
    void add(RegistryNode& node, const void* owner) {
        std::lock_guard<Lock> guard(lock_);
        node.owner = owner;
        node.next = head_;
        head_ = &node;
    }
    bool remove(const void* owner) {
        std::lock_guard<Lock> guard(lock_);
        for (RegistryNode** p = &head_; *p != nullptr; p = &(*p)->next) {
            if ((*p)->owner == owner) {
                *p = (*p)->next;
                return true;
            }
        }
        return false;
    }
    bool contains(const void* owner) {
        std::lock_guard<Lock> guard(lock_);
        for (const RegistryNode* n = head_; n != nullptr; n = n->next)
            if (n->owner == owner) return true;
        return false;
    }

private:
    Lock lock_;
    RegistryNode* head_ = nullptr;
};

} // namespace vek
