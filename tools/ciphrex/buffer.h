// Heap buffers handed from the engine and the encoders to their callers.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};

// Owned byte buffer, released with free(); empty on failure.
using Bytes = std::unique_ptr<unsigned char[], FreeDeleter>;
// Owned zero-terminated text, released with free(); empty on failure.
using Text = std::unique_ptr<char[], FreeDeleter>;

// Allocator behind every returned buffer: `size` zeroed bytes, or null.
using AllocFn = void *(*)(std::size_t size);

// Returns `size` zeroed bytes from the current allocator, or null. Sizes that
// overflowed while being computed are passed as 0 by callers and fail here.
void *ciphrex_alloc(std::size_t size);

// Test seam: replaces the allocator (nullptr restores calloc). What it returns
// is released with free().
void ciphrex_set_allocator(AllocFn fn);
