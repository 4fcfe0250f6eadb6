// How an image's model name is matched against a wanted name.
#pragma once

#include <cstddef>
#include <string_view>

namespace rimeload {

// Names of this many characters or more never match.
constexpr std::size_t kModelMatchLimit = 28;

// True when both names are equal and shorter than 28 characters.
bool model_matches(std::string_view image_model, std::string_view wanted);

// The board's model name from a line of "/tmp/model_new": cut at the first
// carriage return or line feed, leading spaces and tabs skipped.
std::string_view board_model_name(std::string_view line);

}  // namespace rimeload
