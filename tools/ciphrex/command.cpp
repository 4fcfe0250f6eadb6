#include "command.h"

#include <cstddef>
#include <cstdio>

#include "encode.h"

namespace {

constexpr std::size_t kCodeLength = 6;

}  // namespace

int ciphrex_command(int argc, const char *const argv[]) {
    if (argc != 2) return 0;
    std::size_t len = 0;
    Text text = DES_Encryptbase64(argv[1], argv[1], len);
    if (!text) return 0;
    // The text of a whole block has 11 characters, so the cut is in bounds.
    if (len > kCodeLength) text[kCodeLength] = '\0';
    std::printf("%s\n", text.get());
    return 0;
}
