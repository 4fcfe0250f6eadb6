#include "heap_policy.h"

#include <gtest/gtest.h>

#include <cstdlib>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <cstdlib>
#include <cstring>

namespace {

#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// What the allocator holds from the system: its heap and its mapped blocks.
size_t held_bytes() {
    struct mallinfo2 m = mallinfo2();
    return m.arena + m.hblkhd;
}

// A burst of large blocks, each followed by a small one that outlives it
// (a queue entry, a string the script keeps). By itself glibc raises its mmap
// threshold once a large block is freed, puts the next large ones in the
// heap, and the small ones then pin the heap: the burst stays held. Under
// the policy the large blocks are mapped and go back when freed.
TEST(HeapPolicy, ABurstOfLargeBlocksIsHandedBackPastSmallOnesThatStay) {
    bound_heap_retention();
    // What would raise the threshold (volatile: the compiler may not drop
    // the pair).
    void *volatile raise = std::malloc(512 * 1024);
    std::free(raise);
    const size_t before = held_bytes();
    constexpr int kBlocks = 16;
    constexpr size_t kLarge = 256 * 1024;
    void *large[kBlocks], *small[kBlocks];
    for (int i = 0; i < kBlocks; ++i) {
        large[i] = std::malloc(kLarge);
        ASSERT_NE(large[i], nullptr);
        std::memset(large[i], 1, kLarge);
        small[i] = std::malloc(64);
    }
    for (void *p : large) std::free(p);
    const size_t after = held_bytes();
    for (void *p : small) std::free(p);
    EXPECT_LT(after, before + kLarge) << "held " << before << " bytes before, " << after
                                      << " after";
}
#endif

}  // namespace
