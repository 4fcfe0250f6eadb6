// The MTD module against a partition table and images under a temporary root,
// with MEMGETINFO and MEMERASE answered from the image files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "mtd.h"
#include "mtd_sys.h"

namespace fs = std::filesystem;

namespace {

using Erase = std::pair<uint32_t, uint32_t>;  // start, length

// What the fake flash answers and what it was asked.
struct FakeFlash {
    uint32_t erasesize = 16;
    bool fail_info = false;
    std::vector<Erase> erases;  // every MEMERASE, refused ones included
};
FakeFlash fake;

int fake_erase(int fd, const erase_info_user &req, off_t size) {
    fake.erases.emplace_back(req.start, req.length);
    // The kernel refuses ranges off the block edges or past the end.
    if (req.start % fake.erasesize != 0 || req.length % fake.erasesize != 0 || req.start >= size ||
        req.length > size - req.start) {
        errno = EINVAL;
        return -1;
    }
    std::string ones(req.length, '\xFF');
    return pwrite(fd, ones.data(), ones.size(), req.start) == static_cast<ssize_t>(req.length) ? 0
                                                                                               : -1;
}

int fake_ioctl(int fd, unsigned long request, void *arg) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return -1;
    if (request == MEMGETINFO) {
        if (fake.fail_info) return -1;
        auto *info = static_cast<mtd_info_user *>(arg);
        info->size = static_cast<uint32_t>(st.st_size);
        info->erasesize = fake.erasesize;
        return 0;
    }
    if (request == MEMERASE)
        return fake_erase(fd, *static_cast<erase_info_user *>(arg), st.st_size);
    errno = ENOTTY;
    return -1;
}

// Bytes 0, 1, 2, ... so that every position of an image is recognisable.
std::string counting(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i);
    return s;
}

class Mtd : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/mtd-unit-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        fs::create_directories(root_ + "/proc");
        fs::create_directories(root_ + "/dev");
        fake = FakeFlash{};
        mtd_set_root(root_.c_str());
        mtd_set_ioctl(fake_ioctl);
    }
    void TearDown() override {
        mtd_set_root(nullptr);
        mtd_set_ioctl(nullptr);
        fs::remove_all(root_);
    }

    void put(const std::string &rel, const std::string &bytes) const {
        fs::create_directories(fs::path(root_ + "/" + rel).parent_path());
        std::ofstream(root_ + "/" + rel, std::ios::binary) << bytes;
    }
    std::string get(const std::string &rel) const {
        std::ifstream f(root_ + "/" + rel, std::ios::binary);
        std::ostringstream s;
        s << f.rdbuf();
        return s.str();
    }
    void table(const std::string &text) const { put("proc/mtd", text); }

    // Number of the device mtd_open_partition opened: each image is one byte,
    // its own number. -1 when nothing was opened.
    int opened(const std::string &name) const {
        int fd = mtd_open_partition(name.c_str(), O_RDONLY);
        if (fd < 0) return -1;
        unsigned char id = 0xEE;
        EXPECT_EQ(read(fd, &id, 1), 1);
        close(fd);
        return id;
    }
    void number_images(int n) const {
        for (int i = 0; i < n; ++i) put("dev/mtd" + std::to_string(i), std::string(1, char(i)));
    }

    std::string root_;
};

const char kHeader[] = "dev:    size   erasesize  name\n";

std::string line(int n, const std::string &name) {
    return "mtd" + std::to_string(n) + ": 00010000 00010000 \"" + name + "\"\n";
}

TEST_F(Mtd, FirstLineContainingTheNameDecides) {
    const std::string pad(70, 'x');
    struct Case {
        std::string text, name;
        int device;
    } cases[] = {
        {kHeader + line(0, "u-boot") + line(1, "u-boot-env"), "u-boot", 0},
        {kHeader + line(0, "u-boot-env") + line(1, "u-boot"), "u-boot", 0},
        {kHeader + line(0, "kernel") + line(1, "partart"), "art", 1},
        {kHeader + line(0, "kernel"), "erasesize", -1},  // only the header holds it
        {kHeader + line(0, "kernel"), "art", -1},
        {"mtd3 \"art\"\n", "art", 3},
        {"mtd99999999999999999999: \"art\"\n" + line(2, "art"), "art", 2},
        // Lines past the 80-byte buffer: a continuation never starts a line,
        // and a name in it still belongs to its line.
        {pad + "       " + line(7, "art") + line(4, "art"), "art", 4},
        {line(5, pad + "art") + line(4, "art"), "art", 5},
        {kHeader + line(1, "art"), std::string(300, 'a'), -1},
        {"", "art", -1},
    };
    number_images(8);
    for (const Case &c : cases) {
        table(c.text);
        EXPECT_EQ(opened(c.name), c.device) << c.text << " / " << c.name;
    }
}

TEST_F(Mtd, DevMtdFolderIsPreferredAndFlatNameIsTheFallback) {
    table(kHeader + line(2, "art"));
    EXPECT_EQ(opened("art"), -1);
    put("dev/mtd2", std::string(1, char(20)));
    EXPECT_EQ(opened("art"), 20);
    put("dev/mtd/2", std::string(1, char(21)));
    EXPECT_EQ(opened("art"), 21);
}

TEST_F(Mtd, MissingTableOpensNothing) {
    number_images(1);
    EXPECT_EQ(mtd_open_partition("art", O_RDONLY), -1);
}

class MtdRead : public Mtd {
  protected:
    void SetUp() override {
        Mtd::SetUp();
        table(kHeader + line(0, "art"));
        put("dev/mtd0", counting(64));
    }
    // Result of the read, the bytes it delivered and what went to stderr.
    int read_art(uint32_t offset, uint32_t count) {
        bytes_.assign(count, '\0');
        testing::internal::CaptureStderr();
        int n = mtd_read_partition("art", bytes_.data(), offset, count);
        err_ = testing::internal::GetCapturedStderr();
        return n;
    }
    std::string bytes_, err_;
};

TEST_F(MtdRead, ExactlyThePartitionSizeIsRead) {
    EXPECT_EQ(read_art(0, 64), 64);
    EXPECT_EQ(bytes_, counting(64));
    EXPECT_EQ(err_, "");
}

TEST_F(MtdRead, OneByteMoreThanTheSizeIsRefusedAtAnyOffset) {
    for (uint32_t offset : {0u, 5u}) {
        EXPECT_EQ(read_art(offset, 65), -1);
        EXPECT_EQ(err_, "Too many bytes - 65 > 16 bytes\n");
    }
}

TEST_F(MtdRead, NearTheEndFewerBytesArrive) {
    EXPECT_EQ(read_art(60, 8), 4);
    EXPECT_EQ(bytes_, counting(64).substr(60) + std::string(4, '\0'));
}

TEST_F(MtdRead, FailuresAreReported) {
    fake.fail_info = true;
    EXPECT_EQ(read_art(0, 4), -1);
    EXPECT_EQ(err_, "Could not get mtd device info\n");

    fake.fail_info = false;
    fs::remove(root_ + "/dev/mtd0");
    fs::create_directories(root_ + "/dev/mtd0");  // opens, but cannot be read
    EXPECT_EQ(read_art(0, 4), -1);
    EXPECT_EQ(err_, "Reading from mtd failed\n");

    table(kHeader);
    EXPECT_EQ(read_art(0, 4), -1);
    EXPECT_EQ(err_, "Could not open mtd device\n");
}

class MtdWrite : public Mtd {
  protected:
    void SetUp() override {
        Mtd::SetUp();
        table(kHeader + line(0, "u-boot"));
        put("dev/mtd0", counting(64));
    }
    int write_boot(uint32_t offset, const std::string &data) {
        testing::internal::CaptureStderr();
        int n =
            mtd_write_partition("u-boot", data.data(), offset, static_cast<uint32_t>(data.size()));
        err_ = testing::internal::GetCapturedStderr();
        return n;
    }
    std::string err_;
};

TEST_F(MtdWrite, EveryTouchedBlockIsErasedThenWrittenInPlace) {
    struct Case {
        uint32_t offset, count;
        std::vector<Erase> erases;
    } cases[] = {
        {20, 3, {{16, 16}}},             // inside one block: the rest of it is kept
        {16, 32, {{16, 16}, {32, 16}}},  // two whole blocks, each at its own offset
        {10, 10, {{0, 16}, {16, 16}}},   // across a block edge
        {8, 20, {{0, 16}, {16, 16}}},    // over a block, not a whole number of them
        {48, 16, {{48, 16}}},            // the last block
    };
    for (const Case &c : cases) {
        put("dev/mtd0", counting(64));
        fake.erases.clear();
        std::string data(c.count, 'W');
        EXPECT_EQ(write_boot(c.offset, data), 16) << c.offset << "+" << c.count;
        EXPECT_EQ(fake.erases, c.erases) << c.offset << "+" << c.count;
        std::string want = counting(64).replace(c.offset, c.count, data);
        EXPECT_EQ(get("dev/mtd0"), want) << c.offset << "+" << c.count;
        EXPECT_EQ(err_, "");
    }
}

TEST_F(MtdWrite, WholeBlockOffTheBlockEdgeIsRefusedByTheErase) {
    EXPECT_EQ(write_boot(8, std::string(16, 'W')), -1);
    EXPECT_EQ(err_, "Erasing mtd failed\n");
    EXPECT_EQ(fake.erases, (std::vector<Erase>{{8, 16}}));
    EXPECT_EQ(get("dev/mtd0"), counting(64));
}

TEST_F(MtdWrite, NothingToWriteTouchesNothing) {
    EXPECT_EQ(write_boot(3, ""), 0);
    EXPECT_TRUE(fake.erases.empty());
    EXPECT_EQ(get("dev/mtd0"), counting(64));
}

TEST_F(MtdWrite, RefusalsBeforeAnyErase) {
    EXPECT_EQ(write_boot(0, std::string(65, 'W')), -1);
    EXPECT_EQ(err_, "Too many bytes: 65 > 16 bytes\n");

    fake.fail_info = true;
    EXPECT_EQ(write_boot(0, "W"), -1);
    EXPECT_EQ(err_, "Could not get mtd device info\n");

    table(kHeader);
    EXPECT_EQ(write_boot(0, "W"), -1);
    EXPECT_EQ(err_, "Could not open mtd device\n");

    EXPECT_TRUE(fake.erases.empty());
    EXPECT_EQ(get("dev/mtd0"), counting(64));
}

}  // namespace
