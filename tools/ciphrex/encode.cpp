#include "encode.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "des.h"

const char kBase64Alphabet[65] = "ANBOCPDQERFSGTHUIVJWKXLYMZagmsbhntcioudjpvekqwflrxyz0963852741+/";

namespace {

constexpr unsigned kPadIndex = 64;

// Four symbols of a group of `k` bytes (1..3) already joined into 24 bits.
void encode_group(std::uint32_t bits, std::size_t k, char *out) {
    for (std::size_t i = 0; i < 4; ++i) {
        unsigned index = (bits >> (18 - 6 * i)) & 0x3F;
        out[i] = kBase64Alphabet[i <= k ? index : kPadIndex];
    }
}

bool load_key(const char *key) {
    des_clear_key();
    if (key[0] == '\0') {
        std::printf("Key string error.\n");
        return false;
    }
    std::size_t n = 0;
    Bytes padded = FormatData(reinterpret_cast<const unsigned char *>(key), std::strlen(key), n);
    if (!padded) {
        std::printf("%s-%d: format key error.\n", "DES_Encryptbase64", 753);
        return false;
    }
    std::memcpy(des_key, padded.get(), kDesBlockBytes);
    return true;
}

}  // namespace

Text Base64Encode(const unsigned char *bytes, std::size_t count, std::size_t &out_len) {
    const std::size_t groups = count / 3 + (count % 3 != 0);
    const bool fits = groups <= (SIZE_MAX - 1) / 4;
    Text text(static_cast<char *>(ciphrex_alloc(fits ? 4 * groups + 1 : 0)));
    if (!text) {
        std::printf("No enough memory.\n");
        return nullptr;
    }
    for (std::size_t g = 0; g < groups; ++g) {
        const unsigned char *in = bytes + 3 * g;
        const std::size_t k = count - 3 * g < 3 ? count - 3 * g : 3;
        std::uint32_t bits = 0;
        for (std::size_t i = 0; i < 3; ++i) bits = (bits << 8) | (i < k ? in[i] : 0u);
        encode_group(bits, k, text.get() + 4 * g);
    }
    out_len = 4 * groups;
    return text;
}

Bytes getEncString(const char *data, const char *key, std::size_t &out_len) {
    if (!load_key(key)) return nullptr;
    Bytes cipher =
        DesEncrypt(reinterpret_cast<const unsigned char *>(data), std::strlen(data), 1, out_len);
    if (!cipher) std::printf("%s-%d: des encrypt error.\n", "getEncString", 473);
    return cipher;
}

Text DES_Encryptbase64(const char *data, const char *key, std::size_t &out_len) {
    std::size_t n = 0;
    Bytes cipher = getEncString(data, key, n);
    if (!cipher) return nullptr;
    std::size_t encoded_len = 0;
    Text text = Base64Encode(cipher.get(), n, encoded_len);
    if (text) out_len = std::strlen(text.get());
    return text;
}
