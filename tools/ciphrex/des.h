// DES engine: FIPS 46-3 tables and steps, except for its own expansion table;
// electronic-codebook mode over padded buffers. Not reentrant: the key buffer
// and the sub-key table are process-wide.
#pragma once

#include <cstddef>

#include "buffer.h"

constexpr int kDesBlockBytes = 8;

// The key: 8 bytes and a zero byte. Load a key by clearing the key and the
// sub-keys (des_clear_key) and copying 8 bytes into des_key.
extern unsigned char des_key[kDesBlockBytes + 1];
// Sub-keys, one bit per element; rebuilt from des_key for every block.
extern unsigned char des_subkeys[16][48];

void des_clear_key();

// Test seam: makes the engine expand with `table` (48 entries naming bits
// 1..32 of the right half); nullptr restores the engine's own table.
void des_set_expansion_table(const unsigned char *table);

// Pads `length` bytes of `data` to whole blocks: 1..8 bytes of value
// 8 - length % 8 follow the data. Sets out_len to the padded length.
Bytes FormatData(const unsigned char *data, std::size_t length, std::size_t &out_len);

// One block; mode 1 encrypts, 0 decrypts. Returns 0, or -1 for any other mode
// (output left as it was).
int DES_Block(const unsigned char input[kDesBlockBytes], int mode,
              unsigned char output[kDesBlockBytes]);

// One round, in place, on a 64-element bit array; round is 0..15.
void DES_Round(unsigned char block[64], int round, int mode);

// Pads and transforms a whole buffer. Mode 0 strips valid padding from the
// result (out_len shrinks) and keeps all bytes when the padding is invalid.
Bytes DesEncrypt(const unsigned char *data, std::size_t length, int mode, std::size_t &out_len);
