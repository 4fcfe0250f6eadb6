// The rimeload run: checks an image, reports on standard output and deletes
// an image that fails.
#pragma once

#include "options.h"

namespace rimeload {

// Runs the checks in order, stopping at the first failure; prints "OK" or
// that check's error line. Returns the process exit status: 0, or the
// failing check's result taken modulo 256 (252, 255, 253).
int run_rimeload(const Options &opt);

// Removes exactly the named file, whatever its length or characters; a
// failure is not reported.
void delete_image(const char *path);

}  // namespace rimeload
