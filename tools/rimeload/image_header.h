// The 72-byte header at the start of a firmware image. Numbers are big-endian.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rimeload {

constexpr std::size_t kHeaderSize = 72;
constexpr std::size_t kCrcOffset = 4;
constexpr std::size_t kHwVersionOffset = 20;
constexpr std::size_t kModelOffset = 36;
constexpr std::size_t kModelFieldSize = kHeaderSize - kModelOffset;

struct ImageHeader {
    std::uint32_t crc = 0;         // CRC-32 of the file from offset 8 to its end
    std::uint32_t hw_version = 0;  // least significant byte: major << 4 | minor
    // The model field, always zero-terminated here even when the image's
    // 36 bytes carry no terminator.
    char model[kModelFieldSize + 1] = {};
};

// Decodes the first `len` bytes of an image; bytes past `len` (up to 72)
// count as zero, bytes past 72 are ignored.
ImageHeader decode_header(const unsigned char *data, std::size_t len);

// Reads up to 72 bytes from the current offset of `fd` and decodes them; a
// short file or a read error leaves the rest as zero bytes.
ImageHeader read_image_header(int fd);

}  // namespace rimeload
