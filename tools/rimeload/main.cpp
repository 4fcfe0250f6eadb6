// rimeload: checks a firmware image's hardware version, model name and
// CRC-32 before it is flashed; deletes an image that fails.
#include <cstdio>

#include "options.h"
#include "rimeload.h"

int main(int argc, char **argv) {
    rimeload::Options opt = rimeload::parse_options(argc, argv);
    if (!rimeload::options_complete(opt)) {
        rimeload::print_usage(stdout);
        return 0;
    }
    return rimeload::run_rimeload(opt);
}
