#include "physreg.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace physreg {

namespace {

struct Request {
    Mode mode;
    uint32_t address;
    uint32_t value;  // write mode only
};

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) close(fd_);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

// One page of the device, shared so that stores reach it.
class PageMapping {
  public:
    PageMapping(int fd, uint32_t base)
        : page_(mmap(nullptr, kPageSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd,
                     static_cast<off_t>(base))),
          error_(page_ == MAP_FAILED ? errno : 0) {}
    ~PageMapping() {
        if (page_ != MAP_FAILED) munmap(page_, kPageSize);
    }
    PageMapping(const PageMapping &) = delete;
    PageMapping &operator=(const PageMapping &) = delete;
    void *get() const { return page_; }
    bool ok() const { return page_ != MAP_FAILED; }
    int error() const { return error_; }

  private:
    void *page_;
    int error_;
};

int print_usage(const char *name, FILE *out) {
    std::fprintf(out, "%s 0x00001234\t\t-- read mode\n", name);
    return std::fprintf(out, "%s w 0x00001234 0x1\t\t-- write mode\n", name);
}

void print_word(FILE *out, uint32_t address, uint32_t word) {
    std::fprintf(out, "0x%08x: 0x%08x\n", static_cast<unsigned>(address),
                 static_cast<unsigned>(word));
}

Request parse_request(Mode mode, char *const argv[]) {
    if (mode == Mode::read) return {mode, parse_hex32(argv[1]), 0};
    // The first argument only selects write mode; its text is not examined.
    return {mode, parse_hex32(argv[2]), parse_hex32(argv[3])};
}

void access_page(const Request &req, void *page, uint32_t offset, const Target &target, FILE *out) {
    print_word(out, req.address, read_word(page, offset));
    if (req.mode != Mode::write) return;
    write_word(page, offset, req.value);
    if (target.wait_us) target.wait_us(kWriteSettleUs);
    // What the device holds now, which need not be what was stored.
    print_word(out, req.address, read_word(page, offset));
}

// Device failures are reported but end with status 0.
int access_device(const Request &req, const Target &target, FILE *out) {
    Fd mem(open(target.mem_path, O_RDWR | O_SYNC));
    if (mem.get() < 0) {
        std::fprintf(out, "open file %s error. %s\n", target.mem_path, std::strerror(errno));
        return 0;
    }
    PageSplit split = split_page(req.address);
    PageMapping page(mem.get(), split.base);
    if (!page.ok()) {
        std::fprintf(out, "mmap() failed at phsical address:%d %s\n",
                     static_cast<int>(static_cast<int32_t>(split.base)),
                     std::strerror(page.error()));
        return 0;
    }
    access_page(req, page.get(), split.offset, target, out);
    return 0;
}

}  // namespace

Mode select_mode(int nargs) {
    if (nargs == 1) return Mode::read;
    if (nargs == 3) return Mode::write;
    return Mode::usage;
}

uint32_t parse_hex32(const char *text) {
    if (!text) return 0;
    long long parsed = std::strtoll(text, nullptr, 16);
    return static_cast<uint32_t>(static_cast<unsigned long long>(parsed));
}

PageSplit split_page(uint32_t address) {
    return {address & ~(kPageSize - 1), address & (kPageSize - 1)};
}

bool is_word_aligned(uint32_t address) {
    return (address & 3u) == 0;
}

uint32_t read_word(void *page, uint32_t offset) {
    return *reinterpret_cast<volatile uint32_t *>(static_cast<char *>(page) + offset);
}

void write_word(void *page, uint32_t offset, uint32_t value) {
    *reinterpret_cast<volatile uint32_t *>(static_cast<char *>(page) + offset) = value;
}

int run_physreg(int argc, char *const argv[], const Target &target, FILE *out) {
    Mode mode = select_mode(argc - 1);
    if (mode == Mode::usage) {
        // execve allows an empty argument list; the name is then empty.
        const char *name = argc > 0 && argv[0] ? argv[0] : "";
        return print_usage(name, out);
    }
    Request req = parse_request(mode, argv);
    if (!is_word_aligned(req.address)) {
        std::fprintf(out, "address 0x%08x is not aligned to 4 bytes\n",
                     static_cast<unsigned>(req.address));
        return 1;
    }
    return access_device(req, target, out);
}

int physreg_main(int argc, char *const argv[]) {
    Target target;
    target.wait_us = [](uint32_t usec) { usleep(usec); };
    return run_physreg(argc, argv, target, stdout);
}

}  // namespace physreg
