#include "des.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>

unsigned char des_key[kDesBlockBytes + 1];
unsigned char des_subkeys[16][48];

namespace {

using BitTable = unsigned char;

const BitTable kIP[64] = {58, 50, 42, 34, 26, 18, 10, 2, 60, 52, 44, 36, 28, 20, 12, 4,
                          62, 54, 46, 38, 30, 22, 14, 6, 64, 56, 48, 40, 32, 24, 16, 8,
                          57, 49, 41, 33, 25, 17, 9,  1, 59, 51, 43, 35, 27, 19, 11, 3,
                          61, 53, 45, 37, 29, 21, 13, 5, 63, 55, 47, 39, 31, 23, 15, 7};

const BitTable kIPInverse[64] = {40, 8, 48, 16, 56, 24, 64, 32, 39, 7, 47, 15, 55, 23, 63, 31,
                                 38, 6, 46, 14, 54, 22, 62, 30, 37, 5, 45, 13, 53, 21, 61, 29,
                                 36, 4, 44, 12, 52, 20, 60, 28, 35, 3, 43, 11, 51, 19, 59, 27,
                                 34, 2, 42, 10, 50, 18, 58, 26, 33, 1, 41, 9,  49, 17, 57, 25};

const BitTable kPC1[56] = {57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18,
                           10, 2,  59, 51, 43, 35, 27, 19, 11, 3,  60, 52, 44, 36,
                           63, 55, 47, 39, 31, 23, 15, 7,  62, 54, 46, 38, 30, 22,
                           14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};

const BitTable kPC2[48] = {14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,
                           26, 8,  16, 7,  27, 20, 13, 2,  41, 52, 31, 37, 47, 55, 30, 40,
                           51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};

const int kShifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

// Differs from FIPS 46-3 from entry 32 on.
const BitTable kExpansion[48] = {32, 1,  2,  3,  4,  5,  4,  5,  6,  7,  8,  9,  8,  9,  10, 11,
                                 12, 13, 12, 13, 14, 15, 16, 17, 16, 17, 18, 19, 20, 21, 20, 14,
                                 21, 22, 23, 24, 25, 24, 25, 26, 27, 28, 29, 28, 29, 30, 31, 32};

const unsigned char kSBox[8][4][16] = {{{14, 4, 13, 1, 2, 15, 11, 8, 3, 10, 6, 12, 5, 9, 0, 7},
                                        {0, 15, 7, 4, 14, 2, 13, 1, 10, 6, 12, 11, 9, 5, 3, 8},
                                        {4, 1, 14, 8, 13, 6, 2, 11, 15, 12, 9, 7, 3, 10, 5, 0},
                                        {15, 12, 8, 2, 4, 9, 1, 7, 5, 11, 3, 14, 10, 0, 6, 13}},
                                       {{15, 1, 8, 14, 6, 11, 3, 4, 9, 7, 2, 13, 12, 0, 5, 10},
                                        {3, 13, 4, 7, 15, 2, 8, 14, 12, 0, 1, 10, 6, 9, 11, 5},
                                        {0, 14, 7, 11, 10, 4, 13, 1, 5, 8, 12, 6, 9, 3, 2, 15},
                                        {13, 8, 10, 1, 3, 15, 4, 2, 11, 6, 7, 12, 0, 5, 14, 9}},
                                       {{10, 0, 9, 14, 6, 3, 15, 5, 1, 13, 12, 7, 11, 4, 2, 8},
                                        {13, 7, 0, 9, 3, 4, 6, 10, 2, 8, 5, 14, 12, 11, 15, 1},
                                        {13, 6, 4, 9, 8, 15, 3, 0, 11, 1, 2, 12, 5, 10, 14, 7},
                                        {1, 10, 13, 0, 6, 9, 8, 7, 4, 15, 14, 3, 11, 5, 2, 12}},
                                       {{7, 13, 14, 3, 0, 6, 9, 10, 1, 2, 8, 5, 11, 12, 4, 15},
                                        {13, 8, 11, 5, 6, 15, 0, 3, 4, 7, 2, 12, 1, 10, 14, 9},
                                        {10, 6, 9, 0, 12, 11, 7, 13, 15, 1, 3, 14, 5, 2, 8, 4},
                                        {3, 15, 0, 6, 10, 1, 13, 8, 9, 4, 5, 11, 12, 7, 2, 14}},
                                       {{2, 12, 4, 1, 7, 10, 11, 6, 8, 5, 3, 15, 13, 0, 14, 9},
                                        {14, 11, 2, 12, 4, 7, 13, 1, 5, 0, 15, 10, 3, 9, 8, 6},
                                        {4, 2, 1, 11, 10, 13, 7, 8, 15, 9, 12, 5, 6, 3, 0, 14},
                                        {11, 8, 12, 7, 1, 14, 2, 13, 6, 15, 0, 9, 10, 4, 5, 3}},
                                       {{12, 1, 10, 15, 9, 2, 6, 8, 0, 13, 3, 4, 14, 7, 5, 11},
                                        {10, 15, 4, 2, 7, 12, 9, 5, 6, 1, 13, 14, 0, 11, 3, 8},
                                        {9, 14, 15, 5, 2, 8, 12, 3, 7, 0, 4, 10, 1, 13, 11, 6},
                                        {4, 3, 2, 12, 9, 5, 15, 10, 11, 14, 1, 7, 6, 0, 8, 13}},
                                       {{4, 11, 2, 14, 15, 0, 8, 13, 3, 12, 9, 7, 5, 10, 6, 1},
                                        {13, 0, 11, 7, 4, 9, 1, 10, 14, 3, 5, 12, 2, 15, 8, 6},
                                        {1, 4, 11, 13, 12, 3, 7, 14, 10, 15, 6, 8, 0, 5, 9, 2},
                                        {6, 11, 13, 8, 1, 4, 10, 7, 9, 5, 0, 15, 14, 2, 3, 12}},
                                       {{13, 2, 8, 4, 6, 15, 11, 1, 10, 9, 3, 14, 5, 0, 12, 7},
                                        {1, 15, 13, 8, 10, 3, 7, 4, 12, 5, 6, 11, 0, 14, 9, 2},
                                        {7, 11, 4, 1, 9, 12, 14, 2, 0, 6, 10, 13, 15, 3, 5, 8},
                                        {2, 1, 14, 7, 4, 10, 8, 13, 15, 12, 9, 0, 3, 5, 6, 11}}};

const BitTable kP[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
                         2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};

std::array<BitTable, 48> expansion = [] {
    std::array<BitTable, 48> table{};
    std::memcpy(table.data(), kExpansion, sizeof kExpansion);
    return table;
}();

// dst[i] = src[table[i] - 1] for i < count; tables number bits from 1.
void permute(unsigned char *dst, const unsigned char *src, const BitTable *table, int count) {
    for (int i = 0; i < count; ++i) dst[i] = src[table[i] - 1];
}

void bytes_to_bits(const unsigned char *bytes, unsigned char bits[64]) {
    for (int i = 0; i < 64; ++i) bits[i] = (bytes[i / 8] >> (7 - i % 8)) & 1;
}

void bits_to_bytes(const unsigned char bits[64], unsigned char *bytes) {
    for (int i = 0; i < 8; ++i) {
        unsigned value = 0;
        for (int j = 0; j < 8; ++j) value = (value << 1) | bits[i * 8 + j];
        bytes[i] = static_cast<unsigned char>(value);
    }
}

void rotate_left(unsigned char half[28], int count) {
    unsigned char rotated[28];
    for (int i = 0; i < 28; ++i) rotated[i] = half[(i + count) % 28];
    std::memcpy(half, rotated, sizeof rotated);
}

void build_subkeys() {
    unsigned char key_bits[64];
    unsigned char cd[56];
    bytes_to_bits(des_key, key_bits);
    permute(cd, key_bits, kPC1, 56);
    for (int r = 0; r < 16; ++r) {
        rotate_left(cd, kShifts[r]);
        rotate_left(cd + 28, kShifts[r]);
        permute(des_subkeys[r], cd, kPC2, 48);
    }
}

// The cipher function f(R, K_round): expansion, sub-key, S-boxes, P.
void feistel(const unsigned char right[32], int round, unsigned char f[32]) {
    unsigned char mixed[48];
    for (int i = 0; i < 48; ++i) mixed[i] = right[expansion[i] - 1] ^ des_subkeys[round][i];
    unsigned char sbox_out[32];
    for (int k = 0; k < 8; ++k) {
        const unsigned char *b = mixed + 6 * k;
        int row = b[0] * 2 + b[5];
        int col = b[1] * 8 + b[2] * 4 + b[3] * 2 + b[4];
        unsigned value = kSBox[k][row][col];
        for (int j = 0; j < 4; ++j) sbox_out[4 * k + j] = (value >> (3 - j)) & 1;
    }
    permute(f, sbox_out, kP, 32);
}

bool is_last_round(int round, int mode) {
    return (mode == 1 && round == 15) || (mode == 0 && round == 0);
}

// The pad length of a decrypted buffer whose last block came from the extra
// block of 8s: the byte before that block, if it and the bytes it counts
// form valid padding; -1 otherwise.
int valid_padding(const unsigned char *result, std::size_t n) {
    if (n < 2 * kDesBlockBytes) return 0;  // nothing before the extra block
    std::size_t last = n - kDesBlockBytes - 1;
    int p = result[last];
    if (p < 1 || p > kDesBlockBytes) return 0;
    for (int i = 0; i < p; ++i) {
        if (result[last - i] != p) return -1;
    }
    return p;
}

}  // namespace

void des_clear_key() {
    std::memset(des_key, 0, sizeof des_key);
    std::memset(des_subkeys, 0, sizeof des_subkeys);
}

void des_set_expansion_table(const unsigned char *table) {
    std::memcpy(expansion.data(), table ? table : kExpansion, expansion.size());
}

Bytes FormatData(const unsigned char *data, std::size_t length, std::size_t &out_len) {
    const std::size_t tail = length % kDesBlockBytes;
    const bool fits = length <= SIZE_MAX - 2 * kDesBlockBytes;
    const std::size_t n = length - tail + kDesBlockBytes;
    Bytes padded(static_cast<unsigned char *>(ciphrex_alloc(fits ? n + 1 : 0)));
    if (!padded) {
        std::printf("malloc newdata error.\n");
        return nullptr;
    }
    if (length) std::memcpy(padded.get(), data, length);
    std::memset(padded.get() + length, static_cast<int>(kDesBlockBytes - tail), n - length);
    out_len = n;
    return padded;
}

int DES_Block(const unsigned char input[kDesBlockBytes], int mode,
              unsigned char output[kDesBlockBytes]) {
    if (mode != 0 && mode != 1) {
        std::printf("flag %d errot.\n", mode);
        return -1;
    }
    build_subkeys();
    unsigned char bits[64];
    unsigned char block[64];
    bytes_to_bits(input, bits);
    permute(block, bits, kIP, 64);
    for (int i = 0; i < 16; ++i) DES_Round(block, mode == 1 ? i : 15 - i, mode);
    permute(bits, block, kIPInverse, 64);
    bits_to_bytes(bits, output);
    return 0;
}

void DES_Round(unsigned char block[64], int round, int mode) {
    unsigned char f[32];
    feistel(block + 32, round, f);
    unsigned char new_right[32];
    for (int i = 0; i < 32; ++i) new_right[i] = block[i] ^ f[i];
    if (is_last_round(round, mode)) {
        std::memcpy(block, new_right, 32);
    } else {
        std::memcpy(block, block + 32, 32);
        std::memcpy(block + 32, new_right, 32);
    }
}

Bytes DesEncrypt(const unsigned char *data, std::size_t length, int mode, std::size_t &out_len) {
    std::size_t n = 0;
    Bytes padded = FormatData(data, length, n);
    if (!padded) {
        std::printf("%s-%d: format data error.\n", "DesEncrypt", 395);
        return nullptr;
    }
    Bytes result(static_cast<unsigned char *>(ciphrex_alloc(n + 1)));
    if (!result) {
        std::printf("malloc result_data error. \n");
        return nullptr;
    }
    for (std::size_t off = 0; off < n; off += kDesBlockBytes) {
        unsigned char output[kDesBlockBytes] = {};
        DES_Block(padded.get() + off, mode, output);
        std::memcpy(result.get() + off, output, kDesBlockBytes);
    }
    out_len = n;
    if (mode == 0) {
        int p = valid_padding(result.get(), n);
        if (p >= 0) {
            out_len = n - p - kDesBlockBytes;
            std::memset(result.get() + out_len, 0, p + kDesBlockBytes);
        }
    }
    return result;
}
