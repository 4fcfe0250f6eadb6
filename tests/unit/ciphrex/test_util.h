// Helpers shared by the ciphrex unit tests.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <string>
#include <vector>

#include "buffer.h"

namespace ciphrex_test {

inline std::vector<unsigned char> from_hex(const std::string &hex) {
    std::vector<unsigned char> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

inline std::string to_hex(const unsigned char *bytes, std::size_t n) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0xF];
    }
    return out;
}

// Makes the k-th allocation from now (1-based) fail; 0 fails none.
class FailingAllocator {
  public:
    explicit FailingAllocator(int k) {
        fail_at = k;
        calls = 0;
        ciphrex_set_allocator(alloc);
    }
    ~FailingAllocator() { ciphrex_set_allocator(nullptr); }
    FailingAllocator(const FailingAllocator &) = delete;
    FailingAllocator &operator=(const FailingAllocator &) = delete;

  private:
    static void *alloc(std::size_t size) {
        return ++calls == fail_at ? nullptr : std::calloc(size, 1);
    }
    static inline int fail_at = 0;
    static inline int calls = 0;
};

}  // namespace ciphrex_test
