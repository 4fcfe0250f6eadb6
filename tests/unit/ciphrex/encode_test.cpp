// Base64 with the tool's own alphabet, and the string-keyed encryption that
// feeds it.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "des.h"
#include "encode.h"
#include "test_util.h"

using ciphrex_test::from_hex;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

const std::string kAlphabet = "ANBOCPDQERFSGTHUIVJWKXLYMZagmsbhntcioudjpvekqwflrxyz0963852741+/";

std::string encode(const std::vector<unsigned char> &bytes, std::size_t *out_len = nullptr) {
    std::size_t n = 12345;
    Text text = Base64Encode(bytes.data(), bytes.size(), n);
    EXPECT_TRUE(text);
    if (out_len) *out_len = n;
    return text ? text.get() : "";
}

// Length of the text for n input bytes: no padding characters.
std::size_t text_length(std::size_t n) {
    return 4 * (n / 3) + (n % 3 ? n % 3 + 1 : 0);
}

TEST(Base64Encode, MapsSextetsThroughTheOwnAlphabet) {
    EXPECT_EQ(std::string(kBase64Alphabet), kAlphabet);
    // 48 bytes whose 64 sextets count 0, 1, ..., 63.
    std::vector<unsigned char> bytes;
    for (unsigned i = 0; i < 64; i += 4) {
        std::uint32_t bits = (i << 18) | ((i + 1) << 12) | ((i + 2) << 6) | (i + 3);
        for (int s : {16, 8, 0}) bytes.push_back(static_cast<unsigned char>(bits >> s));
    }
    EXPECT_EQ(encode(bytes), kAlphabet);
}

TEST(Base64Encode, ShortLastGroupEndsTheTextWithoutPadding) {
    struct Case {
        const char *hex, *text;
        std::size_t out_len;
    } cases[] = {
        {"", "", 0},
        {"00", "AA", 4},
        {"FC", "/A", 4},
        {"FFFF", "//4", 4},
        {"001083", "ANBO", 4},
        {"00108300", "ANBOAA", 8},
        {"001083FFFF", "ANBO//4", 8},
    };
    for (const auto &c : cases) {
        std::size_t n = 0;
        EXPECT_EQ(encode(from_hex(c.hex), &n), c.text) << c.hex;
        EXPECT_EQ(n, c.out_len) << c.hex;
    }
}

TEST(Base64Encode, CipherSizesGiveElevenTwentyTwoAndThirtyTwo) {
    const std::size_t sizes[][3] = {{8, 11, 12}, {16, 22, 24}, {24, 32, 32}};
    for (const auto &s : sizes) {
        std::size_t n = 0;
        const std::string text = encode(std::vector<unsigned char>(s[0], 0xFF), &n);
        EXPECT_EQ(text.size(), s[1]);
        EXPECT_EQ(n, s[2]);
        EXPECT_EQ(text.find('='), std::string::npos);
    }
}

TEST(Base64Encode, UnrepresentableSizeFailsLikeAnAllocation) {
    const unsigned char byte = 0;
    std::size_t n = 5;
    CaptureStdout();
    EXPECT_FALSE(Base64Encode(&byte, SIZE_MAX, n));
    EXPECT_EQ(GetCapturedStdout(), "No enough memory.\n");
    EXPECT_EQ(n, 5u);
}

TEST(DesEncryptbase64, EmptyKeyIsRefusedAfterClearingTheKey) {
    std::memset(des_key, 0x5A, sizeof des_key);
    std::memset(des_subkeys, 1, sizeof des_subkeys);
    std::size_t n = 0;
    CaptureStdout();
    EXPECT_FALSE(DES_Encryptbase64("data", "", n));
    EXPECT_EQ(GetCapturedStdout(), "Key string error.\n");
    const unsigned char zeros[sizeof des_subkeys] = {};
    EXPECT_EQ(std::memcmp(des_key, zeros, sizeof des_key), 0);
    EXPECT_EQ(std::memcmp(des_subkeys, zeros, sizeof des_subkeys), 0);
}

TEST(DesEncryptbase64, KeyIsTheFirstEightBytesOfThePaddedKey) {
    struct Case {
        const char *key, *loaded;
    } cases[] = {
        {"a", "a\x07\x07\x07\x07\x07\x07\x07"},
        {"abc", "abc\x05\x05\x05\x05\x05"},
        {"abcdefg", "abcdefg\x01"},
        {"abcdefgh", "abcdefgh"},
        {"abcdefghijklmnop", "abcdefgh"},
    };
    for (const auto &c : cases) {
        std::size_t n = 0;
        ASSERT_TRUE(getEncString("x", c.key, n)) << c.key;
        EXPECT_EQ(std::string(reinterpret_cast<char *>(des_key)), c.loaded) << c.key;
    }
}

TEST(DesEncryptbase64, LongerKeysAgreeWhenTheirFirstEightBytesDo) {
    std::size_t n1 = 0, n2 = 0;
    Text a = DES_Encryptbase64("same data", "12345678tail-one", n1);
    Text b = DES_Encryptbase64("same data", "12345678other", n2);
    Text c = DES_Encryptbase64("same data", "12345688", n2);
    ASSERT_TRUE(a && b && c);
    EXPECT_STREQ(a.get(), b.get());
    EXPECT_STRNE(a.get(), c.get());
}

TEST(DesEncryptbase64, TextLengthFollowsThePaddedDataLength) {
    for (std::size_t len : {1u, 7u, 8u, 15u, 16u, 100u}) {
        const std::string data(len, 'q');
        std::size_t n = 0;
        Text text = DES_Encryptbase64(data.c_str(), "key", n);
        ASSERT_TRUE(text);
        EXPECT_EQ(n, text_length(len - len % 8 + 8)) << len;
        EXPECT_EQ(std::strlen(text.get()), n);
        EXPECT_EQ(std::string(text.get()).find_first_not_of(kAlphabet), std::string::npos);
    }
}

TEST(DesEncryptbase64, HandlesAMebibyteAndBytesAboveSeventyF) {
    std::string data(1 << 20, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(0x80 + i % 127);
    std::size_t n = 0;
    Text text = DES_Encryptbase64(data.c_str(), data.c_str(), n);
    ASSERT_TRUE(text);
    EXPECT_EQ(n, text_length(data.size() + 8));
    EXPECT_EQ(std::string(reinterpret_cast<char *>(des_key)), data.substr(0, 8));
}

}  // namespace
