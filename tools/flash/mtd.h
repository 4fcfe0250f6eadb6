// Access to the flash partitions listed in /proc/mtd, by partition name.
// Diagnostics go to standard error; results are byte counts or -1.
#pragma once

#include <cstdint>

// Opens the device of the first /proc/mtd partition whose line contains
// `name` (a substring match: "u-boot" also matches "u-boot-env"). Tries
// /dev/mtd/N, then /dev/mtdN. Returns the descriptor, or a negative number.
int mtd_open_partition(const char *name, int flags);

// Reads `count` bytes at `offset` of the partition into `buffer`. Returns the
// bytes read (fewer than `count` near the end of the partition) or -1. Only
// `count`, not `offset` + `count`, is checked against the partition size.
int mtd_read_partition(const char *name, void *buffer, uint32_t offset, uint32_t count);

// Writes `count` bytes of `data` at `offset`, erasing every erase block it
// touches first; a partial block is read, patched, erased and rewritten.
// Returns the last block write's result (the erase size), 0 for `count` 0, or
// -1.
int mtd_write_partition(const char *name, const void *data, uint32_t offset, uint32_t count);
