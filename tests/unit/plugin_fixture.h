// Every plug-in test starts from a clean scripted library and seam, and ends with nothing left
// alive: no local-memory block, no held lock, no library bitmap, no misuse of either.
#pragma once

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tests/fake/fake_vek.h"

class PluginTest : public ::testing::Test {
protected:
    void SetUp() override {
        fakevek::reset();
        platformResetCounters();
        blocksBefore_ = platformLiveBlocks();
    }
    void TearDown() override {
        EXPECT_EQ(platformLiveBlocks(), blocksBefore_) << "local-memory blocks leaked";
        EXPECT_EQ(platformHeldLocks(), 0) << "locks left held";
        EXPECT_EQ(platformMisuses(), 0) << "a handle was used after free or never allocated";
        EXPECT_EQ(fakevek::liveBitmaps(), 0) << "library bitmaps leaked";
        EXPECT_EQ(fakevek::misuses(), 0) << "a library bitmap was freed twice or never allocated";
        platformResetCounters();
        fakevek::reset();
    }

private:
    int blocksBefore_ = 0;
};
