// DES engine: its tables against the published standard (through the
// expansion-table seam), padding, both directions over whole buffers, and the
// failure paths.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "des.h"
#include "test_util.h"

using ciphrex_test::FailingAllocator;
using ciphrex_test::from_hex;
using ciphrex_test::to_hex;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

const unsigned char kStandardExpansion[48] = {
    32, 1,  2,  3,  4,  5,  4,  5,  6,  7,  8,  9,  8,  9,  10, 11, 12, 13, 12, 13, 14, 15, 16, 17,
    16, 17, 18, 19, 20, 21, 20, 21, 22, 23, 24, 25, 24, 25, 26, 27, 28, 29, 28, 29, 30, 31, 32, 1};

void load_key(const std::vector<unsigned char> &key) {
    des_clear_key();
    std::memcpy(des_key, key.data(), kDesBlockBytes);
}

std::string block_hex(const std::string &key, const std::string &block, int mode) {
    load_key(from_hex(key));
    unsigned char out[kDesBlockBytes] = {};
    EXPECT_EQ(DES_Block(from_hex(block).data(), mode, out), 0);
    return to_hex(out, sizeof out);
}

std::vector<unsigned char> random_bytes(std::mt19937 &rng, std::size_t n) {
    std::vector<unsigned char> out(n);
    for (auto &b : out) b = static_cast<unsigned char>(rng() & 0xFF);
    return out;
}

class StandardTables : public testing::Test {
  protected:
    void SetUp() override { des_set_expansion_table(kStandardExpansion); }
    void TearDown() override { des_set_expansion_table(nullptr); }
};

struct KnownAnswer {
    const char *key, *plain, *cipher;
};

// Published DES examples and validation vectors.
const KnownAnswer kStandardVectors[] = {
    {"133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405"},
    {"0000000000000000", "0000000000000000", "8CA64DE9C1B123A7"},
    {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "7359B2163E4EDC58"},
    {"3000000000000000", "1000000000000001", "958E6E627A05557B"},
    {"1111111111111111", "1111111111111111", "F40379AB9E0EC533"},
    {"0123456789ABCDEF", "1111111111111111", "17668DFC7292532D"},
    {"1111111111111111", "0123456789ABCDEF", "8A5AE1F81AB8F2DD"},
    {"FEDCBA9876543210", "0123456789ABCDEF", "ED39D950FA74BCC4"},
    {"0E329232EA6D0D73", "8787878787878787", "0000000000000000"},
};

TEST_F(StandardTables, ReproducePublishedVectorsBothWays) {
    for (const auto &v : kStandardVectors) {
        EXPECT_EQ(block_hex(v.key, v.plain, 1), v.cipher) << v.key;
        EXPECT_EQ(block_hex(v.key, v.cipher, 0), v.plain) << v.key;
    }
}

// Sixteen alternating encryptions and decryptions, each keyed with its own
// input, reach every S-box entry that a faulty table would show in.
TEST_F(StandardTables, PassTheIterativeValidationChain) {
    std::string x = "9474B8E8C73BCA7D";
    for (int i = 0; i < 16; ++i) x = block_hex(x, x, i % 2 == 0 ? 1 : 0);
    EXPECT_EQ(x, "1B1A2DDB4C642438");
}

TEST(DesBlock, OwnExpansionTableGivesAnotherCipherThatStillInverts) {
    const KnownAnswer &fips = kStandardVectors[0];
    const std::string cipher = block_hex(fips.key, fips.plain, 1);
    EXPECT_NE(cipher, fips.cipher);
    EXPECT_EQ(block_hex(fips.key, cipher, 0), fips.plain);
}

TEST(DesBlock, ParityBitsOfTheKeyDoNotMatter) {
    const std::string plain = "0123456789ABCDEF";
    EXPECT_EQ(block_hex("133457799BBCDFF1", plain, 1), block_hex("123456789ABCDEF0", plain, 1));
    EXPECT_EQ(block_hex("0000000000000000", plain, 1), block_hex("0101010101010101", plain, 1));
    EXPECT_NE(block_hex("0000000000000000", plain, 1), block_hex("0200000000000000", plain, 1));
}

TEST(DesBlock, SubKeysFollowTheKeyBufferOnEveryBlock) {
    const auto plain = from_hex("0123456789ABCDEF");
    unsigned char first[8] = {}, again[8] = {};
    load_key(from_hex("0000000000000000"));
    DES_Block(plain.data(), 1, first);
    std::memcpy(des_key, from_hex("FEFEFEFEFEFEFEFE").data(), 8);  // sub-keys not cleared
    DES_Block(plain.data(), 1, again);
    EXPECT_NE(to_hex(first, 8), to_hex(again, 8));
}

TEST(DesBlock, OtherModesReportAndLeaveTheOutput) {
    unsigned char in[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    for (int mode : {2, -1}) {
        unsigned char out[8];
        std::memset(out, 0xAA, sizeof out);
        CaptureStdout();
        EXPECT_EQ(DES_Block(in, mode, out), -1);
        EXPECT_EQ(GetCapturedStdout(), "flag " + std::to_string(mode) + " errot.\n");
        EXPECT_EQ(to_hex(out, 8), "AAAAAAAAAAAAAAAA");
    }
}

TEST(FormatData, PadsWithOneToEightBytesOfThePadLength) {
    struct Case {
        std::size_t length, padded;
        unsigned char pad;
    } cases[] = {{0, 8, 8}, {1, 8, 7}, {7, 8, 1}, {8, 16, 8}, {9, 16, 7}, {23, 24, 1}};
    const std::vector<unsigned char> data(24, 0xE1);
    for (const auto &c : cases) {
        std::size_t n = 0;
        Bytes out = FormatData(data.data(), c.length, n);
        ASSERT_TRUE(out) << c.length;
        ASSERT_EQ(n, c.padded) << c.length;
        EXPECT_EQ(std::memcmp(out.get(), data.data(), c.length), 0);
        for (std::size_t i = c.length; i < n; ++i) EXPECT_EQ(out[i], c.pad) << c.length;
        EXPECT_EQ(out[n], 0);
    }
}

TEST(FormatData, UnrepresentableSizeFailsLikeAnAllocation) {
    const unsigned char byte = 0;
    std::size_t n = 77;
    CaptureStdout();
    EXPECT_FALSE(FormatData(&byte, SIZE_MAX - 3, n));
    EXPECT_EQ(GetCapturedStdout(), "malloc newdata error.\n");
    EXPECT_EQ(n, 77u);
}

TEST(DesEncrypt, RoundTripsEveryLengthUpToFiveBlocks) {
    std::mt19937 rng(20240611);
    for (std::size_t len = 0; len <= 40; ++len) {
        load_key(random_bytes(rng, 8));
        const auto plain = random_bytes(rng, len);
        std::size_t n = 0, back_len = 0;
        Bytes cipher = DesEncrypt(plain.data(), len, 1, n);
        ASSERT_TRUE(cipher);
        ASSERT_EQ(n, len - len % 8 + 8) << len;
        Bytes back = DesEncrypt(cipher.get(), n, 0, back_len);
        ASSERT_TRUE(back);
        ASSERT_EQ(back_len, len);
        EXPECT_EQ(std::vector<unsigned char>(back.get(), back.get() + len), plain);
        for (std::size_t i = len; i <= n + 8; ++i) EXPECT_EQ(back[i], 0) << len << " @" << i;
    }
}

TEST(DesEncrypt, EncryptsBlocksIndependently) {
    load_key(from_hex("133457799BBCDFF1"));
    const auto plain = from_hex("0123456789ABCDEF0123456789ABCDEF");
    std::size_t n = 0;
    Bytes cipher = DesEncrypt(plain.data(), plain.size(), 1, n);
    ASSERT_EQ(n, 24u);
    EXPECT_EQ(to_hex(cipher.get(), 8), to_hex(cipher.get() + 8, 8));
    unsigned char pad_block[8];
    std::memset(pad_block, 8, 8);
    unsigned char expected[8];
    DES_Block(pad_block, 1, expected);
    EXPECT_EQ(to_hex(cipher.get() + 16, 8), to_hex(expected, 8));
}

// Decrypts one block that was encrypted on its own, so its plaintext ends in
// whatever the test chose rather than in valid padding.
TEST(DesEncrypt, DecryptKeepsOrStripsByTheLastRealByte) {
    struct Case {
        const char *plain;
        std::size_t kept;
    } cases[] = {
        {"4142434445464703", 16},  // claims 3 bytes but only one is 3
        {"4142434445030303", 5},   // valid 3-byte padding
        {"0808080808080808", 0},   // a whole block of padding
        {"4142434445464700", 8},   // 0 is no pad length: only the extra block goes
        {"4142434445464709", 8},   // nor is 9
    };
    load_key(from_hex("0E329232EA6D0D73"));
    for (const auto &c : cases) {
        const auto plain = from_hex(c.plain);
        unsigned char cipher[8];
        DES_Block(plain.data(), 1, cipher);
        std::size_t n = 0;
        Bytes back = DesEncrypt(cipher, 8, 0, n);
        ASSERT_TRUE(back);
        EXPECT_EQ(n, c.kept) << c.plain;
        EXPECT_EQ(std::memcmp(back.get(), plain.data(), n < 8 ? n : 8), 0) << c.plain;
        for (std::size_t i = n; i <= 16; ++i) EXPECT_EQ(back[i], 0) << c.plain << " @" << i;
    }
}

TEST(DesEncrypt, DecryptingNothingGivesNothing) {
    load_key(from_hex("0123456789ABCDEF"));
    std::size_t n = 99;
    Bytes back = DesEncrypt(nullptr, 0, 0, n);
    ASSERT_TRUE(back);
    EXPECT_EQ(n, 0u);
}

TEST(DesEncrypt, OtherModesReportOncePerBlockAndYieldZeros) {
    const unsigned char data[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    std::size_t n = 0;
    CaptureStdout();
    Bytes out = DesEncrypt(data, sizeof data, 2, n);
    EXPECT_EQ(GetCapturedStdout(), "flag 2 errot.\nflag 2 errot.\n");
    ASSERT_TRUE(out);
    EXPECT_EQ(n, 16u);
    EXPECT_EQ(to_hex(out.get(), 16), std::string(32, '0'));
}

TEST(DesEncrypt, AllocationFailuresReportAndReturnNothing) {
    struct Case {
        int failing_call;
        const char *output;
    } cases[] = {
        {1, "malloc newdata error.\nDesEncrypt-395: format data error.\n"},
        {2, "malloc result_data error. \n"},
    };
    const unsigned char data[3] = {'a', 'b', 'c'};
    for (const auto &c : cases) {
        FailingAllocator failing(c.failing_call);
        std::size_t n = 0;
        CaptureStdout();
        EXPECT_FALSE(DesEncrypt(data, sizeof data, 1, n));
        EXPECT_EQ(GetCapturedStdout(), c.output);
    }
}

}  // namespace
