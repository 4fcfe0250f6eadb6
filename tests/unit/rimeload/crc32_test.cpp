#include "crc32.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

std::uint32_t crc_of(const std::string &s) {
    return rimeload::crc32(0, reinterpret_cast<const unsigned char *>(s.data()), s.size());
}

// Bit at a time, straight from the definition.
std::uint32_t reference_crc32(const unsigned char *p, std::size_t n) {
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    }
    return ~c;
}

std::vector<unsigned char> pseudo_random_bytes(std::size_t n) {
    std::vector<unsigned char> v(n);
    std::uint32_t x = 0x12345678u;
    for (auto &b : v) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<unsigned char>(x >> 24);
    }
    return v;
}

TEST(Crc32, KnownVectors) {
    EXPECT_EQ(crc_of(""), 0x00000000u);
    EXPECT_EQ(crc_of("123456789"), 0xCBF43926u);
    EXPECT_EQ(crc_of("a"), 0xE8B7BE43u);
    EXPECT_EQ(crc_of("The quick brown fox jumps over the lazy dog"), 0x414FA339u);
    EXPECT_EQ(crc_of(std::string(32, '\0')), 0x190A55ADu);
    EXPECT_EQ(crc_of(std::string(32, '\xFF')), 0xFF6CAB0Bu);
}

TEST(Crc32, MatchesBitwiseDefinitionForEveryLengthAndAlignment) {
    auto buf = pseudo_random_bytes(300);
    for (std::size_t offset = 0; offset < 16; ++offset) {
        for (std::size_t len = 0; offset + len <= 280; ++len) {
            ASSERT_EQ(rimeload::crc32(0, buf.data() + offset, len),
                      reference_crc32(buf.data() + offset, len))
                << "offset " << offset << " length " << len;
        }
    }
}

TEST(Crc32, MatchesBitwiseDefinitionOnLongInputs) {
    auto buf = pseudo_random_bytes(70000);
    for (std::size_t len : {4095u, 4096u, 4097u, 4127u, 10007u, 65536u, 69993u}) {
        std::size_t offset = len % 7;
        EXPECT_EQ(rimeload::crc32(0, buf.data() + offset, len),
                  reference_crc32(buf.data() + offset, len))
            << "length " << len;
    }
}

TEST(Crc32, ChainedPiecesGiveTheCrcOfTheWhole) {
    auto buf = pseudo_random_bytes(20000);
    std::uint32_t whole = rimeload::crc32(0, buf.data(), buf.size());
    for (std::size_t cut : {0u, 1u, 7u, 16u, 17u, 500u, 5000u, 15000u, 19999u, 20000u}) {
        std::uint32_t c = rimeload::crc32(0, buf.data(), cut);
        EXPECT_EQ(rimeload::crc32(c, buf.data() + cut, buf.size() - cut), whole) << "cut " << cut;
    }
}

}  // namespace
