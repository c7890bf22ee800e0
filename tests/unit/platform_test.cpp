// The Linux seam must behave as Windows local memory does where the plug-in relies on it, and must
// catch the misuses that Windows would let pass silently.
#include <cstring>

#include "tests/unit/plugin_fixture.h"

namespace {

using Seam = PluginTest;

TEST_F(Seam, MovableBlockHandleIsNotItsDataAndLocksCount) {
    HLOCAL h = LocalAlloc(LMEM_MOVEABLE, 64);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(platformLiveBlocks(), 1);
    EXPECT_EQ(LocalSize(h), 64u);
    void* p = LocalLock(h);
    ASSERT_NE(p, nullptr);
    EXPECT_NE(p, h);
    EXPECT_EQ(LocalLock(h), p);
    EXPECT_EQ(platformHeldLocks(), 2);
    EXPECT_EQ(LocalUnlock(h), TRUE) << "one lock still held";
    EXPECT_EQ(LocalUnlock(h), FALSE) << "now unlocked";
    EXPECT_EQ(platformHeldLocks(), 0);
    EXPECT_EQ(LocalFree(h), nullptr);
    EXPECT_EQ(platformLiveBlocks(), 0);
}

TEST_F(Seam, FreeingALockedBlockWorks) {
    HLOCAL h = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, 8);
    auto* p = static_cast<unsigned char*>(LocalLock(h));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(p[i], 0);
    EXPECT_EQ(LocalFree(h), nullptr);
    EXPECT_EQ(platformHeldLocks(), 0);
}

TEST_F(Seam, LateUseOfAFreedHandleIsCaught) {
    HLOCAL h = LocalAlloc(LMEM_MOVEABLE, 8);
    ASSERT_EQ(LocalFree(h), nullptr);
    // Even after new blocks are made, the old handle never comes back to life.
    HLOCAL other = LocalAlloc(LMEM_MOVEABLE, 8);
    EXPECT_NE(other, h);
    EXPECT_EQ(LocalFree(h), h);
    EXPECT_EQ(LocalLock(h), nullptr);
    EXPECT_EQ(LocalUnlock(other), FALSE);
    EXPECT_EQ(platformMisuses(), 3);
    LocalFree(other);
    platformResetCounters();
}

TEST_F(Seam, FaultHooksFailTheNthCallOnly) {
    platformFailLocalAllocAt(2);
    HLOCAL first = LocalAlloc(LMEM_MOVEABLE, 4);
    HLOCAL second = LocalAlloc(LMEM_MOVEABLE, 4);
    HLOCAL third = LocalAlloc(LMEM_MOVEABLE, 4);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    platformFailLocalLockAt(1);
    EXPECT_EQ(LocalLock(first), nullptr);
    EXPECT_NE(LocalLock(first), nullptr);
    LocalFree(first);
    LocalFree(third);
}

TEST_F(Seam, OnlyMovableBlocksAreMade) {
    EXPECT_EQ(LocalAlloc(LMEM_FIXED, 16), nullptr);
    EXPECT_EQ(LocalAlloc(LMEM_MOVEABLE | 0x1000u, 16), nullptr);
    EXPECT_EQ(LocalFree(nullptr), nullptr);
}

TEST_F(Seam, BoundedCopyAndLength) {
    char buffer[8];
    std::memset(buffer, 'x', sizeof buffer);
    lstrcpynA(buffer, "abcdef", 4);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(buffer[4], 'x');
    lstrcpynA(buffer, "ab", 8);
    EXPECT_STREQ(buffer, "ab");
    std::memset(buffer, 'x', sizeof buffer);
    lstrcpynA(buffer, "abc", 0);
    EXPECT_EQ(buffer[0], 'x');
    EXPECT_EQ(lstrlenA("hello"), 5);
    EXPECT_EQ(lstrlenA(""), 0);
    EXPECT_EQ(lstrlenA(nullptr), 0);
}

} // namespace
