#include "checks.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "crc32.h"
#include "model_rule.h"

namespace rimeload {
namespace {

class Fd {
  public:
    explicit Fd(const char *path) : fd_(open(path, O_RDONLY | O_CLOEXEC)) {}
    ~Fd() {
        if (fd_ >= 0) close(fd_);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }
    bool ok() const { return fd_ >= 0; }

  private:
    int fd_;
};

class Mapping {
  public:
    Mapping(int fd, std::size_t size)
        : size_(size), addr_(mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0)) {}
    ~Mapping() {
        if (ok()) munmap(addr_, size_);
    }
    Mapping(const Mapping &) = delete;
    Mapping &operator=(const Mapping &) = delete;
    bool ok() const { return addr_ != MAP_FAILED; }
    const unsigned char *data() const { return static_cast<const unsigned char *>(addr_); }

  private:
    std::size_t size_;
    void *addr_;
};

struct FileCloser {
    void operator()(std::FILE *f) const { std::fclose(f); }
};

constexpr std::size_t kCrcStart = 8;
// One line of /tmp/model_new: at most 62 characters.
constexpr int kBoardLineMax = 62;

// Reads the board's model line; false when the file cannot be opened. An
// empty file gives an empty line.
bool read_board_line(char (&line)[kBoardLineMax + 2]) {
    std::unique_ptr<std::FILE, FileCloser> f(std::fopen(kBoardModelFile, "r"));
    if (!f) return false;
    line[0] = '\0';
    if (!std::fgets(line, kBoardLineMax + 1, f.get())) line[0] = '\0';
    return true;
}

}  // namespace

bool hw_version_matches(const ImageHeader &header, std::int32_t wanted) {
    return static_cast<std::int64_t>(header.hw_version & 0xFF) == wanted;
}

bool crc_matches(const unsigned char *image, std::size_t size) {
    if (size <= kCrcStart) return false;
    return crc32(0, image + kCrcStart, size - kCrcStart) == decode_header(image, size).crc;
}

int check_hw_version(const char *path, std::int32_t wanted) {
    Fd fd(path);
    if (!fd.ok()) return kHwVersionFailed;
    return hw_version_matches(read_image_header(fd.get()), wanted) ? 0 : kHwVersionFailed;
}

int check_model(const char *path, const char *wanted) {
    Fd fd(path);
    if (!fd.ok()) return kModelFailed;
    ImageHeader header = read_image_header(fd.get());
    // Its outcome is not needed: a missing file or value reads as empty.
    [[maybe_unused]] int status = std::system(kBoardInfoCommand);
    if (model_matches(header.model, wanted)) return 0;
    char line[kBoardLineMax + 2];
    if (!read_board_line(line)) return kModelFailed;
    return model_matches(header.model, board_model_name(line)) ? 0 : kModelFailed;
}

int check_crc(const char *path) {
    Fd fd(path);
    if (!fd.ok()) return kCrcFailed;
    off_t end = lseek(fd.get(), 0, SEEK_END);
    if (end <= static_cast<off_t>(kCrcStart)) return kCrcFailed;
    if (static_cast<std::uint64_t>(end) > SIZE_MAX) return kCrcFailed;
    auto size = static_cast<std::size_t>(end);
    Mapping map(fd.get(), size);
    if (!map.ok()) return kCrcFailed;
    return crc_matches(map.data(), size) ? 0 : kCrcFailed;
}

}  // namespace rimeload
