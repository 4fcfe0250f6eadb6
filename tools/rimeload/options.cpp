#include "options.h"

#include <unistd.h>

#include <climits>
#include <cstring>

namespace rimeload {
namespace {

constexpr std::int64_t kPieceMax = 15;

// Reads a decimal number the way atoi does (blanks, sign, digits, stop at
// the first other byte), bounded to the int32 range, then capped at 15.
std::int64_t read_piece(const char *p, const char *end) {
    while (p < end && (*p == ' ' || (*p >= '\t' && *p <= '\r'))) ++p;
    bool negative = p < end && *p == '-';
    if (p < end && (*p == '-' || *p == '+')) ++p;
    std::int64_t v = 0;
    for (; p < end && *p >= '0' && *p <= '9'; ++p) {
        if (v <= INT32_MAX) v = v * 10 + (*p - '0');
    }
    if (negative) return v > INT32_MAX ? INT32_MIN : -v;
    return v > kPieceMax ? kPieceMax : v;
}

std::int32_t clamp_to_int32(std::int64_t v) {
    if (v < INT32_MIN) return INT32_MIN;
    if (v > INT32_MAX) return INT32_MAX;
    return static_cast<std::int32_t>(v);
}

void copy_wanted_model(const char *value, char (&model)[kWantedModelSize]) {
    std::memset(model, 0, sizeof model);
    std::strncpy(model, value, kWantedModelCopied);
}

}  // namespace

std::int32_t parse_hw_version(const char *text) {
    if (*text == 'v' || *text == 'V') ++text;
    std::int64_t pieces[2] = {0, 0};
    int count = 0;
    // Empty pieces (leading, trailing or doubled dots) are skipped.
    for (const char *p = text; *p != '\0' && count < 2;) {
        const char *end = std::strchr(p, '.');
        if (end == nullptr) end = p + std::strlen(p);
        if (end > p) pieces[count++] = read_piece(p, end);
        p = *end == '.' ? end + 1 : end;
    }
    if (count < 2) return clamp_to_int32(pieces[0]);
    return clamp_to_int32(pieces[0] * 16 + pieces[1]);
}

Options parse_options(int argc, char **argv) {
    Options opt;
    opterr = 0;
    optind = 0;  // 0 asks glibc, uClibc and musl for a fresh scan
    for (int c; (c = getopt(argc, argv, "n:H:f:")) != -1;) {
        if (c == 'f') opt.image_path = optarg;
        if (c == 'n') copy_wanted_model(optarg, opt.model);
        if (c == 'H') opt.hw_version = parse_hw_version(optarg);
    }
    return opt;
}

bool options_complete(const Options &opt) {
    return opt.hw_version != -1 && opt.model[0] != '\0';
}

void print_usage(std::FILE *out) {
    std::fprintf(out, "%s\n",
                 "example:\n         rimeload -H V2.0 -n QM4471Rset -f /tmp/firmware.img");
    std::fprintf(out, "%s\n",
                 "\t -H : product Hardware Version\n             \t -n : product Name \n"
                 "             \t -f : file (default /tmp/firmware.bin )");
}

}  // namespace rimeload
