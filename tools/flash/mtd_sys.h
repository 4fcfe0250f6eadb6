// Test seam of the MTD module: where it finds /proc and /dev, and how it
// issues device requests. Production code never calls these.
#pragma once

using mtd_ioctl_fn = int (*)(int fd, unsigned long request, void *arg);

// Prefixes "/proc/mtd" and the device paths with `root` (nullptr or "" for
// none). The string must outlive its use.
void mtd_set_root(const char *root);

// Routes MEMGETINFO and MEMERASE through `fn` (nullptr for the system's ioctl).
void mtd_set_ioctl(mtd_ioctl_fn fn);
