// Any bytes as an image, as a -H value and as a /tmp/model_new line.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "checks.h"
#include "crc32.h"
#include "image_header.h"
#include "model_rule.h"
#include "options.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    rimeload::ImageHeader h = rimeload::decode_header(data, size);
    std::string text(reinterpret_cast<const char *>(data), size);  // zero-terminated copy
    std::int32_t wanted = rimeload::parse_hw_version(text.c_str());
    if (wanted > 0xFF) __builtin_trap();  // pieces are capped at 15
    rimeload::hw_version_matches(h, wanted);
    rimeload::crc_matches(data, size);
    std::string_view line = rimeload::board_model_name(text);
    if (line.find_first_of("\r\n") != std::string_view::npos) __builtin_trap();
    rimeload::model_matches(h.model, line);
    return 0;
}
