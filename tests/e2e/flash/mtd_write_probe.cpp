// mtd_write_probe NAME OFFSET TEXT: writes TEXT at OFFSET of partition NAME
// and prints the result of mtd_write_partition.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mtd.h"

int main(int argc, char **argv) {
    if (argc != 4) {
        fputs("usage: mtd_write_probe NAME OFFSET TEXT\n", stderr);
        return 2;
    }
    auto offset = static_cast<uint32_t>(strtoul(argv[2], nullptr, 0));
    auto count = static_cast<uint32_t>(strlen(argv[3]));
    printf("%d\n", mtd_write_partition(argv[1], argv[3], offset, count));
    return 0;
}
