#include "image_header.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace rimeload {
namespace {

std::uint32_t load_be32(const unsigned char *p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 |
           std::uint32_t{p[3]};
}

}  // namespace

ImageHeader decode_header(const unsigned char *data, std::size_t len) {
    unsigned char raw[kHeaderSize] = {};
    if (len > 0) std::memcpy(raw, data, std::min(len, kHeaderSize));
    ImageHeader h;
    h.crc = load_be32(raw + kCrcOffset);
    h.hw_version = load_be32(raw + kHwVersionOffset);
    std::memcpy(h.model, raw + kModelOffset, kModelFieldSize);
    h.model[kModelFieldSize] = '\0';
    return h;
}

ImageHeader read_image_header(int fd) {
    unsigned char raw[kHeaderSize];
    std::size_t got = 0;
    while (got < kHeaderSize) {
        ssize_t n = read(fd, raw + got, kHeaderSize - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    return decode_header(raw, got);
}

}  // namespace rimeload
