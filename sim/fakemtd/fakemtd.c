/* Preload library that lets regular files stand in for MTD character devices:
 * it answers MEMGETINFO and MEMERASE on descriptors of regular files the way
 * the kernel would, and passes every other request to the real ioctl.
 *
 *   FAKEMTD_ERASESIZE  erase block size in bytes (default 65536)
 *   FAKEMTD_FAIL       "info" or "erase": that request fails with EIO
 *   FAKEMTD_LOG        file that gets one line per answered request
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <mtd/mtd-user.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

typedef int (*real_ioctl_fn)(int, unsigned long, ...);

static uint32_t erase_size(void) {
    const char *v = getenv("FAKEMTD_ERASESIZE");
    unsigned long n = v ? strtoul(v, NULL, 0) : 0;
    return n > 0 && n <= UINT32_MAX ? (uint32_t)n : 65536u;
}

static int fail_requested(const char *what) {
    const char *v = getenv("FAKEMTD_FAIL");
    return v && strcmp(v, what) == 0;
}

static void fd_path(int fd, char *out, size_t size) {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, out, size - 1);
    if (n < 0) {
        snprintf(out, size, "fd%d", fd);
        return;
    }
    out[n] = '\0';
}

__attribute__((format(printf, 2, 3))) static void log_line(int fd, const char *format, ...) {
    const char *name = getenv("FAKEMTD_LOG");
    if (!name) return;
    FILE *log = fopen(name, "a");
    if (!log) return;
    char path[256];
    fd_path(fd, path, sizeof path);
    fprintf(log, "%s ", path);
    va_list ap;
    va_start(ap, format);
    vfprintf(log, format, ap);
    va_end(ap);
    fputc('\n', log);
    fclose(log);
}

static int fail(int error) {
    errno = error;
    return -1;
}

static int answer_info(int fd, const struct stat *st, struct mtd_info_user *info) {
    if (fail_requested("info")) {
        log_line(fd, "MEMGETINFO failed (injected)");
        return fail(EIO);
    }
    memset(info, 0, sizeof *info);
    info->type = MTD_NORFLASH;
    info->flags = MTD_CAP_NORFLASH;
    info->size = (uint32_t)st->st_size;
    info->erasesize = erase_size();
    info->writesize = 1;
    log_line(fd, "MEMGETINFO size=%u erasesize=%u", info->size, info->erasesize);
    return 0;
}

static int fill_erased(int fd, uint32_t start, uint32_t length) {
    unsigned char ones[4096];
    memset(ones, 0xFF, sizeof ones);
    while (length > 0) {
        size_t chunk = length < sizeof ones ? length : sizeof ones;
        ssize_t n = pwrite(fd, ones, chunk, (off_t)start);
        if (n <= 0) return fail(EIO);
        start += (uint32_t)n;
        length -= (uint32_t)n;
    }
    return 0;
}

/* Like the kernel: the range must lie inside the device and on block edges. */
static int answer_erase(int fd, const struct stat *st, const struct erase_info_user *req) {
    uint64_t size = (uint64_t)st->st_size, es = erase_size();
    if (fail_requested("erase")) {
        log_line(fd, "MEMERASE start=%u length=%u failed (injected)", req->start, req->length);
        return fail(EIO);
    }
    if (req->start >= size || req->length > size - req->start || req->start % es != 0 ||
        req->length % es != 0) {
        log_line(fd, "MEMERASE start=%u length=%u refused", req->start, req->length);
        return fail(EINVAL);
    }
    log_line(fd, "MEMERASE start=%u length=%u", req->start, req->length);
    return fill_erased(fd, req->start, req->length);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    struct stat st;
    if ((request == MEMGETINFO || request == MEMERASE) && fstat(fd, &st) == 0 &&
        S_ISREG(st.st_mode)) {
        if (request == MEMGETINFO) return answer_info(fd, &st, arg);
        return answer_erase(fd, &st, arg);
    }
    real_ioctl_fn real = (real_ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
    if (!real) return fail(ENOSYS);
    return real(fd, request, arg);
}
