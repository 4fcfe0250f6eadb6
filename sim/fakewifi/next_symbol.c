/* The one place that needs GNU extensions: finding the definition a
 * preloaded function stands in front of. Kept apart so that fakewifi.c sees
 * the plain POSIX prototypes of bind, sendto and recvfrom. */
#define _GNU_SOURCE
#include <dlfcn.h>

#include "next_symbol.h"

void *fakewifi_next(const char *name) {
    return dlsym(RTLD_NEXT, name);
}
