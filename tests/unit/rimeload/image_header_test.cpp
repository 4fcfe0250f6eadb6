#include "image_header.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "checks.h"
#include "crc32.h"

namespace {

using rimeload::ImageHeader;

std::vector<unsigned char> bytes(const std::string &s) {
    return {s.begin(), s.end()};
}

void put_be32(std::vector<unsigned char> &v, std::size_t at, std::uint32_t x) {
    for (int i = 0; i < 4; ++i) v[at + i] = static_cast<unsigned char>(x >> (24 - 8 * i));
}

// A header with payload and a correct CRC.
std::vector<unsigned char> image(std::uint32_t hw_word, const std::string &model,
                                 const std::string &payload) {
    std::vector<unsigned char> v(72 + payload.size(), 0);
    put_be32(v, 20, hw_word);
    std::memcpy(v.data() + 36, model.data(), model.size());
    std::memcpy(v.data() + 72, payload.data(), payload.size());
    put_be32(v, 4, rimeload::crc32(0, v.data() + 8, v.size() - 8));
    return v;
}

TEST(DecodeHeader, ReadsBigEndianFieldsAndTheModel) {
    auto v = image(0xA1B2C320, "QM4471Rset", "payload");
    put_be32(v, 4, 0x01020304);
    ImageHeader h = rimeload::decode_header(v.data(), v.size());
    EXPECT_EQ(h.crc, 0x01020304u);
    EXPECT_EQ(h.hw_version, 0xA1B2C320u);
    EXPECT_STREQ(h.model, "QM4471Rset");
}

TEST(DecodeHeader, ShortInputCountsAsZeroBytes) {
    auto v = bytes(std::string("\x00\x00\x00\x00\xDE\xAD\xBE\xEF\x01\x02", 10));
    ImageHeader h = rimeload::decode_header(v.data(), v.size());
    EXPECT_EQ(h.crc, 0xDEADBEEFu);
    EXPECT_EQ(h.hw_version, 0u);
    EXPECT_STREQ(h.model, "");
    h = rimeload::decode_header(v.data(), 6);
    EXPECT_EQ(h.crc, 0xDEAD0000u);
    h = rimeload::decode_header(nullptr, 0);
    EXPECT_EQ(h.crc, 0u);
}

TEST(DecodeHeader, ModelWithoutTerminatorStopsAtTheFieldEnd) {
    auto v = image(0, std::string(36, 'M'), std::string(40, 'X'));
    ImageHeader h = rimeload::decode_header(v.data(), v.size());
    EXPECT_EQ(std::string(h.model), std::string(36, 'M'));
}

TEST(HwVersionMatches, ComparesOnlyTheLowByteAsAFullNumber) {
    ImageHeader h;
    h.hw_version = 0xFFFFFF20u;
    EXPECT_TRUE(rimeload::hw_version_matches(h, 0x20));
    EXPECT_FALSE(rimeload::hw_version_matches(h, 0x21));
    EXPECT_FALSE(rimeload::hw_version_matches(h, -224));  // 0x20 - 256
    h.hw_version = 0xFF;
    EXPECT_FALSE(rimeload::hw_version_matches(h, -1));
    EXPECT_TRUE(rimeload::hw_version_matches(h, 0xFF));
}

TEST(CrcMatches, CoversEveryByteFromOffsetEight) {
    auto v = image(0x20, "M", "some payload bytes");
    EXPECT_TRUE(rimeload::crc_matches(v.data(), v.size()));
    for (std::size_t i : {0u, 1u, 2u, 3u}) {
        auto w = v;
        w[i] ^= 0xFF;
        EXPECT_TRUE(rimeload::crc_matches(w.data(), w.size())) << "byte " << i;
    }
    for (std::size_t i : {std::size_t{8}, std::size_t{20}, std::size_t{36}, std::size_t{71},
                          std::size_t{72}, v.size() - 1}) {
        auto w = v;
        w[i] ^= 0x01;
        EXPECT_FALSE(rimeload::crc_matches(w.data(), w.size())) << "byte " << i;
    }
    EXPECT_FALSE(rimeload::crc_matches(v.data(), v.size() - 1));
}

TEST(CrcMatches, EightBytesNeverPassAndNineCoverTheLastByte) {
    std::vector<unsigned char> eight(8, 0);
    // Bytes 4..7 hold 0, the CRC of the empty rest, yet the image is too short.
    EXPECT_FALSE(rimeload::crc_matches(eight.data(), eight.size()));
    std::vector<unsigned char> nine(9, 0);
    nine[8] = 'a';
    put_be32(nine, 4, 0xE8B7BE43u);
    EXPECT_TRUE(rimeload::crc_matches(nine.data(), nine.size()));
    nine[8] = 'b';
    EXPECT_FALSE(rimeload::crc_matches(nine.data(), nine.size()));
}

}  // namespace
