#include "model_rule.h"

#include <algorithm>

namespace rimeload {

bool model_matches(std::string_view image_model, std::string_view wanted) {
    return std::max(image_model.size(), wanted.size()) < kModelMatchLimit && image_model == wanted;
}

std::string_view board_model_name(std::string_view line) {
    line = line.substr(0, line.find_first_of("\r\n"));
    std::size_t start = line.find_first_not_of(" \t");
    return start == std::string_view::npos ? std::string_view() : line.substr(start);
}

}  // namespace rimeload
