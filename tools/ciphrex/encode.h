// String encodings of ciphrex: its own Base64 alphabet, and a string encrypted
// with a string key and encoded as text. Messages go to standard output.
#pragma once

#include <cstddef>

#include "buffer.h"

// 64 symbols and the zero byte that padding index 64 selects.
extern const char kBase64Alphabet[65];

// Encodes `count` bytes without padding characters. out_len is set to
// 4 * ceil(count / 3); the text itself ends at its first zero byte.
Text Base64Encode(const unsigned char *bytes, std::size_t count, std::size_t &out_len);

// Loads the first eight bytes of the padded `key` and encrypts `data` (up to
// its zero byte) in mode 1. Sets out_len to the ciphertext length.
Bytes getEncString(const char *data, const char *key, std::size_t &out_len);

// getEncString, then Base64Encode; out_len is the length of the text.
Text DES_Encryptbase64(const char *data, const char *key, std::size_t &out_len);
