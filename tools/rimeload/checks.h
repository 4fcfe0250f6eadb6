// The three checks of a firmware image, run in this order by rimeload. Each
// returns 0 when the image passes, else its own negative result.
#pragma once

#include <cstddef>
#include <cstdint>

#include "image_header.h"

namespace rimeload {

constexpr int kHwVersionFailed = -4;
constexpr int kModelFailed = -1;
constexpr int kCrcFailed = -3;

// Leaves the board's NEW_NAME value in /tmp/model_new.
constexpr const char *kBoardInfoCommand =
    "cat /tmp/sysinfo/board_info|grep '^NEW_NAME='|awk  -F '='  '{print $2}' > /tmp/model_new";
constexpr const char *kBoardModelFile = "/tmp/model_new";

// The header's hardware version byte against the wanted one (a negative
// wanted version never matches).
bool hw_version_matches(const ImageHeader &header, std::int32_t wanted);

// True when the image has more than 8 bytes and the CRC-32 of bytes 8 to the
// end equals the header's crc field.
bool crc_matches(const unsigned char *image, std::size_t size);

// 0, or -4 when the image cannot be opened or its version byte differs.
int check_hw_version(const char *path, std::int32_t wanted);

// 0 when the image's model equals `wanted` or the board's NEW_NAME value;
// else -1, also when the image or /tmp/model_new cannot be opened. Runs the
// board-information command through the shell every time.
int check_model(const char *path, const char *wanted);

// 0, or -3 when the CRC differs, the file has 8 bytes or fewer, or it cannot
// be opened or mapped.
int check_crc(const char *path);

}  // namespace rimeload
