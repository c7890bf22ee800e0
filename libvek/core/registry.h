// The objects the library has handed out and not yet had back, so that a stray or repeated free is
// refused instead of corrupting memory. Constant-initialised, on the library's lock.
#pragma once

#include <cstdint>
#include <mutex>

#include "libvek/system/lock.h"

namespace vek {

struct RegistryNode {
    const void* owner = nullptr;
    RegistryNode* next = nullptr;
};

// Lists in shards chosen by the object's address, each on its own lock: threads working on different
// objects seldom meet, and a lookup walks only the few objects of one shard.
class Registry {
public:
    void add(RegistryNode& node, const void* owner) {
        Shard& s = shardOf(owner);
        std::lock_guard<Lock> guard(s.lock);
        node.owner = owner;
        node.next = s.head;
        s.head = &node;
    }
    bool remove(const void* owner) {
        Shard& s = shardOf(owner);
        std::lock_guard<Lock> guard(s.lock);
        for (RegistryNode** p = &s.head; *p != nullptr; p = &(*p)->next) {
            if ((*p)->owner == owner) {
                *p = (*p)->next;
                return true;
            }
        }
        return false;
    }
    bool contains(const void* owner) {
        Shard& s = shardOf(owner);
        std::lock_guard<Lock> guard(s.lock);
        for (const RegistryNode* n = s.head; n != nullptr; n = n->next)
            if (n->owner == owner) return true;
        return false;
    }

private:
    static constexpr unsigned kShardBits = 5;
    struct Shard {
        Lock lock;
        RegistryNode* head = nullptr;
    };
    Shard& shardOf(const void* owner) {
        // Fibonacci hashing of the address without its alignment bits.
        const auto key = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(owner) >> 4);
        return shards_[(key * 2654435769u) >> (32 - kShardBits)];
    }
    Shard shards_[1u << kShardBits];
};

} // namespace vek
