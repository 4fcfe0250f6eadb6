// Any text and key for ciphrex's encryption: the input up to its first NUL is
// the key, the rest (to its own NUL) the text. The result is Base64 text of
// the length reported.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "encode.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::string input(reinterpret_cast<const char *>(data), size);
    std::size_t cut = input.find('\0');
    std::string key = input.substr(0, cut);
    std::string text = cut == std::string::npos ? "" : input.substr(cut + 1);
    std::size_t out_len = 0;
    Text out = DES_Encryptbase64(text.c_str(), key.c_str(), out_len);
    if (!out) return 0;
    FUZZ_CHECK(std::strlen(out.get()) == out_len);
    for (std::size_t i = 0; i < out_len; ++i)
        FUZZ_CHECK(std::memchr(kBase64Alphabet, out[i], 64) != nullptr);
    return 0;
}
