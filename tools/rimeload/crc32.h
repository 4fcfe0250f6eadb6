// CRC-32 of IEEE 802.3 (reflected polynomial 0xEDB88320), the value zlib's
// crc32() gives. Portable: correct on either byte order and word size.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rimeload {

// Continues `crc` (0 to start) over `len` bytes at `data`; chained calls over
// consecutive pieces give the CRC of the whole.
std::uint32_t crc32(std::uint32_t crc, const unsigned char *data, std::size_t len);

}  // namespace rimeload
