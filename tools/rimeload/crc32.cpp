#include "crc32.h"

#include <array>

namespace rimeload {
namespace {

constexpr std::uint32_t kPoly = 0xEDB88320u;  // reflected: bit 31 is x^0
constexpr std::uint32_t kOne = 1u << 31;      // the polynomial 1

using Tables = std::array<std::array<std::uint32_t, 256>, 8>;

// tables[0] is the byte-at-a-time table; tables[k][b] is the CRC of byte b
// followed by k zero bytes, so 8 bytes fold into the CRC with one lookup each.
constexpr Tables make_tables() {
    Tables t{};
    for (std::uint32_t b = 0; b < 256; ++b) {
        std::uint32_t c = b;
        for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? (c >> 1) ^ kPoly : c >> 1;
        t[0][b] = c;
    }
    for (std::size_t k = 1; k < t.size(); ++k)
        for (std::uint32_t b = 0; b < 256; ++b)
            t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFF];
    return t;
}

constexpr Tables kTables = make_tables();

// a * b modulo the CRC polynomial, both in reflected form.
constexpr std::uint32_t mult_mod_p(std::uint32_t a, std::uint32_t b) {
    std::uint32_t product = 0;
    for (std::uint32_t m = kOne; m != 0 && a != 0; m >>= 1) {
        if (a & m) {
            product ^= b;
            a ^= m;
        }
        b = (b & 1) ? (b >> 1) ^ kPoly : b >> 1;
    }
    return product;
}

// x^(2^k) modulo the polynomial; x's order divides 2^32 - 1, so k repeats
// with period 32.
constexpr std::array<std::uint32_t, 32> make_x2n() {
    std::array<std::uint32_t, 32> t{};
    t[0] = kOne >> 1;  // x
    for (std::size_t k = 1; k < t.size(); ++k) t[k] = mult_mod_p(t[k - 1], t[k - 1]);
    return t;
}

constexpr std::array<std::uint32_t, 32> kX2n = make_x2n();

// x^(8 * len): multiplying a CRC register by it appends len zero bytes.
std::uint32_t zeros_operator(std::size_t len) {
    std::uint32_t p = kOne;
    for (unsigned k = 3; len != 0; len >>= 1, ++k)
        if (len & 1) p = mult_mod_p(kX2n[k & 31], p);
    return p;
}

// Assembled from bytes so it reads the same on any host; compilers fold it
// into a single load where the host is little-endian.
inline std::uint32_t load_le32(const unsigned char *p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

// Lookups for the four bytes of `w`, the last of which is followed by
// `slice` bytes up to the end of the 8-byte block.
inline std::uint32_t fold_word(std::uint32_t w, int slice) {
    return kTables[slice + 3][w & 0xFF] ^ kTables[slice + 2][(w >> 8) & 0xFF] ^
           kTables[slice + 1][(w >> 16) & 0xFF] ^ kTables[slice][w >> 24];
}

// The raw register `c` advanced over 8 bytes.
inline std::uint32_t step8(std::uint32_t c, const unsigned char *p) {
    return fold_word(load_le32(p) ^ c, 4) ^ fold_word(load_le32(p + 4), 0);
}

std::uint32_t serial(std::uint32_t c, const unsigned char *p, std::size_t len) {
    for (; len >= 8; p += 8, len -= 8) c = step8(c, p);
    while (len-- > 0) c = (c >> 8) ^ kTables[0][(c ^ *p++) & 0xFF];
    return c;
}

// Below this, joining the four lanes costs more than it saves.
constexpr std::size_t kLanesMin = 4096;

// Four independent lanes over four consecutive quarters keep the table
// lookups of one lane from waiting on another's; the lane registers are then
// joined as a CRC is: shift by the following quarter's zeros, add.
std::uint32_t four_lanes(std::uint32_t c, const unsigned char *p, std::size_t quarter) {
    std::uint32_t c1 = 0, c2 = 0, c3 = 0;
    const unsigned char *p1 = p + quarter, *p2 = p1 + quarter, *p3 = p2 + quarter;
    for (const unsigned char *end = p1; p < end; p += 8, p1 += 8, p2 += 8, p3 += 8) {
        c = step8(c, p);
        c1 = step8(c1, p1);
        c2 = step8(c2, p2);
        c3 = step8(c3, p3);
    }
    std::uint32_t shift = zeros_operator(quarter);
    c = mult_mod_p(shift, c) ^ c1;
    c = mult_mod_p(shift, c) ^ c2;
    return mult_mod_p(shift, c) ^ c3;
}

}  // namespace

std::uint32_t crc32(std::uint32_t crc, const unsigned char *data, std::size_t len) {
    std::uint32_t c = ~crc;
    if (len >= kLanesMin) {
        std::size_t quarter = len / 32 * 8;
        c = four_lanes(c, data, quarter);
        data += 4 * quarter;
        len -= 4 * quarter;
    }
    return ~serial(c, data, len);
}

}  // namespace rimeload
