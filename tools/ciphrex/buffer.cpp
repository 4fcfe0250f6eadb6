#include "buffer.h"

namespace {

void *zeroed_alloc(std::size_t size) {
    return std::calloc(size, 1);
}

AllocFn current_alloc = zeroed_alloc;

}  // namespace

void *ciphrex_alloc(std::size_t size) {
    if (size == 0) return nullptr;
    return current_alloc(size);
}

void ciphrex_set_allocator(AllocFn fn) {
    current_alloc = fn ? fn : zeroed_alloc;
}
