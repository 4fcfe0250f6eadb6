// fwimage: writes a firmware image whose 72-byte header passes rimeload's
// checks, for tests, the demo and people trying the agents by hand.
//
//   fwimage -H V2.0 -n QM4471R [-s payload_bytes] [-c] -o /path/to/image
//
// -c corrupts one payload byte after the CRC is computed, for a bad image.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "crc32.h"
#include "image_header.h"
#include "options.h"

namespace {

void put_be32(unsigned char *p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

std::vector<unsigned char> make_image(uint32_t hw, const std::string &model, size_t payload) {
    std::vector<unsigned char> img(rimeload::kHeaderSize + payload);
    for (size_t i = rimeload::kHeaderSize; i < img.size(); ++i)
        img[i] = static_cast<unsigned char>(i * 131u + 7u);
    put_be32(&img[rimeload::kHwVersionOffset], hw);
    std::memcpy(&img[rimeload::kModelOffset], model.data(),
                std::min(model.size(), rimeload::kModelFieldSize));
    put_be32(&img[rimeload::kCrcOffset], rimeload::crc32(0, &img[8], img.size() - 8));
    return img;
}

int usage() {
    std::fprintf(stderr, "usage: fwimage -H V2.0 -n MODEL [-s PAYLOAD_BYTES] [-c] -o IMAGE\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    const char *hw = nullptr, *model = nullptr, *out = nullptr;
    size_t payload = 4096;
    bool corrupt = false;
    for (int c; (c = getopt(argc, argv, "H:n:s:o:c")) != -1;) {
        switch (c) {
            case 'H':
                hw = optarg;
                break;
            case 'n':
                model = optarg;
                break;
            case 's':
                payload = std::strtoul(optarg, nullptr, 10);
                break;
            case 'o':
                out = optarg;
                break;
            case 'c':
                corrupt = true;
                break;
            default:
                return usage();
        }
    }
    if (!hw || !model || !out) return usage();
    auto img = make_image(static_cast<uint32_t>(rimeload::parse_hw_version(hw)), model, payload);
    if (corrupt && img.size() > rimeload::kHeaderSize) img.back() ^= 0xFF;
    FILE *f = std::fopen(out, "wb");
    if (!f || std::fwrite(img.data(), 1, img.size(), f) != img.size() || std::fclose(f) != 0) {
        std::perror(out);
        return 1;
    }
    return 0;
}
