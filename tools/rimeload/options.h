// Command line of rimeload: -f image path, -n wanted model, -H wanted
// hardware version.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace rimeload {

constexpr std::size_t kWantedModelSize = 32;
constexpr std::size_t kWantedModelCopied = 28;  // characters of -n kept

struct Options {
    std::string image_path = "/tmp/firmware.bin";
    std::int32_t hw_version = -1;  // -1: not given
    // The first 28 characters of -n, zero-terminated; empty when not given.
    char model[kWantedModelSize] = {};
};

// Hardware version from "[vV]major[.minor[.more]]": pieces between dots are
// decimal numbers (16 or more counts as 15); one piece gives itself, two or
// more give first * 16 + second, none gives 0.
std::int32_t parse_hw_version(const char *text);

// Reads "n:H:f:" options in any order, the last of a repeat winning;
// unknown options and options without a value are passed over silently.
// Starts a fresh scan each call.
Options parse_options(int argc, char **argv);

// True when both the hardware version and the model name were given.
bool options_complete(const Options &opt);

void print_usage(std::FILE *out);

}  // namespace rimeload
