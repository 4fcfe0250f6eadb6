#include "heap_policy.h"

#include <cstdlib>  // defines __GLIBC__ on glibc

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {
// Blocks of at least this size are mapped on their own and unmapped when
// freed (fixing the value stops glibc from raising it).
constexpr int kMmapThreshold = 64 * 1024;
// Free memory at the top of the heap beyond this is handed back.
constexpr int kTrimThreshold = 128 * 1024;
}  // namespace

void bound_heap_retention() {
#ifdef __GLIBC__
    mallopt(M_ARENA_MAX, 1);
    mallopt(M_MMAP_THRESHOLD, kMmapThreshold);
    mallopt(M_TRIM_THRESHOLD, kTrimThreshold);
#endif
}

void release_free_heap() {
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}
