// bootval: prints the big-endian 32-bit number at byte 44 of "u-boot".
#include <cstdio>

#include "flash_values.h"
#include "mtd.h"

int main() {
    unsigned char bytes[4] = {};
    // A failed or short read leaves zeros, which are printed as they are.
    mtd_read_partition("u-boot", bytes, 44, sizeof bytes);
    printf("%u\n", static_cast<unsigned>(be32_value(bytes)));
    return 0;
}
