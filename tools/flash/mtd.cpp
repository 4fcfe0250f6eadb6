#include "mtd.h"

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "mtd_sys.h"
#include "mtd_table.h"

namespace {

int system_ioctl(int fd, unsigned long request, void *arg) {
    return ::ioctl(fd, request, arg);
}

const char *g_root = "";
mtd_ioctl_fn g_ioctl = system_ioctl;

std::string rooted(const char *path) {
    return std::string(g_root) + path;
}

class Device {
  public:
    explicit Device(int fd = -1) : fd_(fd) {}
    ~Device() { reset(-1); }
    void reset(int fd) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

struct FileCloser {
    void operator()(FILE *f) const { fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

struct BlockFree {
    void operator()(unsigned char *p) const { free(p); }
};
using Block = std::unique_ptr<unsigned char, BlockFree>;

int find_partition_number(FILE *table, const char *name) {
    char line[mtd_line_buffer_size];
    mtd_table_scan scan;
    while (fgets(line, sizeof line, table)) {
        int number = mtd_scan_piece(scan, line, strlen(line), name);
        if (number >= 0) return number;
    }
    return -1;
}

// Device node N as "/dev/mtd/N" (`in_folder`) or "/dev/mtdN".
int open_device(bool in_folder, int number, int flags) {
    char path[80];
    int n = in_folder ? snprintf(path, sizeof path, "/dev/mtd/%d", number)
                      : snprintf(path, sizeof path, "/dev/mtd%d", number);
    if (n < 0 || static_cast<size_t>(n) >= sizeof path) return -1;
    return open(rooted(path).c_str(), flags);
}

bool get_info(int fd, mtd_info_user &info) {
    if (g_ioctl(fd, MEMGETINFO, &info) == 0) return true;
    fputs("Could not get mtd device info\n", stderr);
    return false;
}

bool erase(int fd, uint32_t start, uint32_t length) {
    erase_info_user request{};
    request.start = start;
    request.length = length;
    if (g_ioctl(fd, MEMERASE, &request) == 0) return true;
    fputs("Erasing mtd failed\n", stderr);
    return false;
}

// A short block write counts as a failure: the block is left half written.
int write_at(int fd, uint32_t offset, const unsigned char *bytes, uint32_t length) {
    ssize_t n = -1;
    if (lseek(fd, offset, SEEK_SET) >= 0) n = write(fd, bytes, length);
    if (n == static_cast<ssize_t>(length)) return static_cast<int>(n);
    fputs("Writing to mtd failed\n", stderr);
    return -1;
}

// The whole block must be read: a block rebuilt from part of it would lose
// the bytes around the update.
bool read_block(int fd, uint32_t start, unsigned char *block, uint32_t es) {
    ssize_t n = -1;
    if (lseek(fd, start, SEEK_SET) >= 0) n = read(fd, block, es);
    if (n == static_cast<ssize_t>(es)) return true;
    fputs("Reading from mtd failed\n", stderr);
    return false;
}

// Read, patch, erase and rewrite the block holding `offset`; `copied` gets the
// bytes of `data` taken, which stop at the block's end.
int update_block(int fd, uint32_t es, uint32_t offset, const unsigned char *data, uint32_t count,
                 uint32_t &copied) {
    Block block(static_cast<unsigned char *>(malloc(es)));
    if (!block) {
        fputs("Not enough memory\n", stderr);
        return -1;
    }
    uint32_t start = offset & ~(es - 1);
    uint32_t within = offset - start;
    copied = es - within < count ? es - within : count;
    if (!read_block(fd, start, block.get(), es)) return -1;
    memcpy(block.get() + within, data, copied);
    if (!erase(fd, start, es)) return -1;
    return write_at(fd, start, block.get(), es);
}

int replace_block(int fd, uint32_t es, uint32_t offset, const unsigned char *data) {
    if (!erase(fd, offset, es)) return -1;
    return write_at(fd, offset, data, es);
}

int write_blocks(int fd, uint32_t es, uint32_t offset, const unsigned char *data, uint32_t count) {
    int result = 0;
    while (count > 0) {
        uint32_t done = es;
        if ((count & (es - 1)) != 0 || count < es)
            result = update_block(fd, es, offset, data, count, done);
        else
            result = replace_block(fd, es, offset, data);
        if (result < 0) return -1;
        data += done;
        offset += done;
        count -= done;
    }
    return result;
}

bool is_power_of_two(uint32_t v) {
    return v != 0 && (v & (v - 1)) == 0;
}

// Opens the partition, reads its information and checks that `count` bytes
// fit; prints why not and fails. `punct` is the caller's wording after
// "Too many bytes": " -" for a read, ":" for a write.
bool open_for(const char *name, int flags, uint32_t count, const char *punct, Device &dev,
              mtd_info_user &info) {
    dev.reset(mtd_open_partition(name, flags));
    if (dev.get() < 0) {
        fputs("Could not open mtd device\n", stderr);
        return false;
    }
    if (!get_info(dev.get(), info)) return false;
    if (info.size < count) {
        fprintf(stderr, "Too many bytes%s %d > %d bytes\n", punct, static_cast<int>(count),
                static_cast<int>(info.erasesize));
        return false;
    }
    return true;
}

}  // namespace

void mtd_set_root(const char *root) {
    g_root = root ? root : "";
}

void mtd_set_ioctl(mtd_ioctl_fn fn) {
    g_ioctl = fn ? fn : system_ioctl;
}

int mtd_open_partition(const char *name, int flags) {
    File table(fopen(rooted("/proc/mtd").c_str(), "r"));
    if (!table) return -1;
    int number = find_partition_number(table.get(), name);
    if (number < 0) return -1;
    int fd = open_device(true, number, flags);
    if (fd < 0) fd = open_device(false, number, flags);
    return fd;
}

int mtd_read_partition(const char *name, void *buffer, uint32_t offset, uint32_t count) {
    Device dev;
    mtd_info_user info{};
    if (!open_for(name, O_RDONLY, count, " -", dev, info)) return -1;
    ssize_t n = -1;
    if (lseek(dev.get(), offset, SEEK_SET) >= 0) n = read(dev.get(), buffer, count);
    if (n < 0) fputs("Reading from mtd failed\n", stderr);
    return static_cast<int>(n);
}

int mtd_write_partition(const char *name, const void *data, uint32_t offset, uint32_t count) {
    Device dev;
    mtd_info_user info{};
    if (!open_for(name, O_RDWR | O_SYNC, count, ":", dev, info)) return -1;
    // Block arithmetic below works on the low bits of the erase size.
    if (!is_power_of_two(info.erasesize)) {
        fputs("Could not get mtd device info\n", stderr);
        return -1;
    }
    return write_blocks(dev.get(), info.erasesize, offset, static_cast<const unsigned char *>(data),
                        count);
}
