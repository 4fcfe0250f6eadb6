#include "rimeload.h"

#include <unistd.h>

#include <cstdio>

#include "checks.h"

namespace rimeload {
namespace {

struct Outcome {
    int result;
    const char *line;
};

// Later checks are not run once one fails.
Outcome run_checks(const Options &opt) {
    const char *path = opt.image_path.c_str();
    if (int r = check_hw_version(path, opt.hw_version)) return {r, "error Damaged file!"};
    if (int r = check_model(path, opt.model))
        return {r, "error model The software model is wrong!"};
    if (int r = check_crc(path)) return {r, "error CRC check failed!"};
    return {0, "OK"};
}

}  // namespace

void delete_image(const char *path) {
    unlink(path);
}

int run_rimeload(const Options &opt) {
    Outcome outcome = run_checks(opt);
    std::puts(outcome.line);
    if (outcome.result == 0) return 0;
    delete_image(opt.image_path.c_str());
    return outcome.result & 0xFF;
}

}  // namespace rimeload
