// The printed values of artmac and bootval, on any byte order.
#include <gtest/gtest.h>

#include <cstdio>

#include "flash_values.h"

namespace {

TEST(Be32Value, MostSignificantByteComesFirst) {
    const unsigned char small[4] = {0x00, 0x00, 0x01, 0x00};
    const unsigned char high[4] = {0x80, 0x00, 0x00, 0x01};
    const unsigned char all[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(be32_value(small), 256u);
    EXPECT_EQ(be32_value(high), 0x80000001u);
    EXPECT_EQ(be32_value(all), 4294967295u);
}

TEST(PrintMac, UpperCaseHexInStoredOrder) {
    const unsigned char mac[6] = {0x00, 0x11, 0x22, 0xAA, 0xBB, 0xCC};
    char text[32] = {};
    FILE *out = fmemopen(text, sizeof text, "w");
    ASSERT_NE(out, nullptr);
    print_mac(out, mac);
    fclose(out);
    EXPECT_STREQ(text, "00:11:22:AA:BB:CC\n");
}

}  // namespace
