// The values that artmac and bootval print, composed from the stored bytes.
#pragma once

#include <cstdint>
#include <cstdio>

// Stored most significant byte first, whatever the processor's byte order.
inline uint32_t be32_value(const unsigned char bytes[4]) {
    return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
           static_cast<uint32_t>(bytes[2]) << 8 | static_cast<uint32_t>(bytes[3]);
}

// "AA:BB:CC:DD:EE:FF\n" of six bytes in their stored order.
inline void print_mac(FILE *out, const unsigned char mac[6]) {
    fprintf(out, "%02X:%02X:%02X:%02X:%02X:%02X\n", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
}
