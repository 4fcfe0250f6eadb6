#ifndef FAKEWIFI_NEXT_SYMBOL_H
#define FAKEWIFI_NEXT_SYMBOL_H

/* The next definition of `name` after this library, or NULL. */
__attribute__((visibility("hidden"))) void *fakewifi_next(const char *name);

#endif
