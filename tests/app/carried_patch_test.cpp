#include <gtest/gtest.h>

#include "app/carried_patch.h"
#include "patch/byte_stream.h"

namespace {

TEST(PatchStreamVariable, LoadReplacesAnEarlierStream) {
    // This test program carries no payload of its own; whatever its last
    // bytes say, a second load must release the first stream, not leak it.
    ByteStream* before = patchStream;
    EXPECT_EQ(before, nullptr);
    LoadPatchContainer();
    ByteStream* first = patchStream;
    ASSERT_NE(first, nullptr);
    static bool firstDestroyed;
    firstDestroyed = false;
    first->OnDestroy.code = [](void*, RefObject*) { firstDestroyed = true; };
    LoadPatchContainer();
    EXPECT_TRUE(firstDestroyed);
    EXPECT_NE(patchStream, nullptr);
    ReleaseAndClear(patchStream);
}

}  // namespace
