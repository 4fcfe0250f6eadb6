// Our CRC-32 against zlib's on the build machine.
#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <vector>

#include "crc32.h"

namespace {

TEST(Crc32, EqualsZlibOnRandomBuffersOfManyLengthsAndAlignments) {
    std::mt19937 rng(20240601);
    std::vector<unsigned char> buf(70000);
    for (auto &b : buf) b = static_cast<unsigned char>(rng());
    std::uniform_int_distribution<std::size_t> offset_of(0, 63);
    std::uniform_int_distribution<std::size_t> length_of(0, 65536);
    for (int i = 0; i < 400; ++i) {
        std::size_t offset = offset_of(rng);
        std::size_t len = i < 100 ? static_cast<std::size_t>(i) : length_of(rng);
        const unsigned char *p = buf.data() + offset;
        ASSERT_EQ(rimeload::crc32(0, p, len),
                  static_cast<std::uint32_t>(::crc32(0, p, static_cast<uInt>(len))))
            << "offset " << offset << " length " << len;
    }
}

}  // namespace
