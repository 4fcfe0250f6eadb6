// artmac: prints the MAC address stored at bytes 6..11 of the "art" partition.
#include "flash_values.h"
#include "mtd.h"

int main(int argc, char **) {
    if (argc > 1) return 0;
    unsigned char mac[6] = {};
    // A failed or short read leaves zeros, which are printed as they are.
    mtd_read_partition("art", mac, 6, sizeof mac);
    print_mac(stdout, mac);
    return 0;
}
