// physreg against a temporary regular file standing in for /dev/mem.
#include "physreg.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using physreg::Mode;

// A sparse file of `size` bytes whose words are written and read in native order.
class MemFile {
  public:
    explicit MemFile(off_t size) {
        const char *dir = std::getenv("TMPDIR");
        path_ = std::string(dir && *dir ? dir : "/tmp") + "/physreg-mem-XXXXXX";
        fd_ = mkstemp(&path_[0]);
        EXPECT_GE(fd_, 0);
        EXPECT_EQ(ftruncate(fd_, size), 0);
    }
    ~MemFile() {
        close(fd_);
        unlink(path_.c_str());
    }
    MemFile(const MemFile &) = delete;
    MemFile &operator=(const MemFile &) = delete;

    const char *path() const { return path_.c_str(); }
    void put(uint32_t address, uint32_t word) const {
        EXPECT_EQ(pwrite(fd_, &word, sizeof word, address), 4);
    }
    uint32_t get(uint32_t address) const {
        uint32_t word = 0;
        EXPECT_EQ(pread(fd_, &word, sizeof word, address), 4);
        return word;
    }

  private:
    std::string path_;
    int fd_ = -1;
};

struct Outcome {
    int status;
    std::string out;
};

Outcome run(std::vector<std::string> args, const physreg::Target &target) {
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    char *buf = nullptr;
    size_t len = 0;
    FILE *out = open_memstream(&buf, &len);
    int status = physreg::run_physreg(static_cast<int>(args.size()), argv.data(), target, out);
    std::fclose(out);
    Outcome o{status, std::string(buf, len)};
    std::free(buf);
    return o;
}

physreg::Target device(const char *path) {
    physreg::Target t;
    t.mem_path = path;
    return t;
}

TEST(ParseHex32, ReadsBase16AsSigned64BitsAndKeepsTheLow32) {
    struct Case {
        const char *text;
        uint32_t want;
    } cases[] = {
        {"abc4", 0xabc4u},
        {"0xabc4", 0xabc4u},
        {"0XABC4", 0xabc4u},
        {"", 0},
        {"zz", 0},
        {"0x", 0},
        {"12g4", 0x12u},
        {"18040ffc,", 0x18040ffcu},
        {"123456789", 0x23456789u},
        {"0x1deadbeef", 0xdeadbeefu},
        {"-1", 0xffffffffu},
        {"-0x10", 0xfffffff0u},
        {" 1f", 0x1fu},
        // Beyond 64 bits the signed parse saturates.
        {"123456789abcdef0123", 0xffffffffu},
        {"-123456789abcdef0123", 0},
    };
    for (const auto &c : cases) EXPECT_EQ(physreg::parse_hex32(c.text), c.want) << c.text;
}

TEST(SelectMode, OneArgumentReadsThreeWriteOthersShowUsage) {
    EXPECT_EQ(physreg::select_mode(1), Mode::read);
    EXPECT_EQ(physreg::select_mode(3), Mode::write);
    for (int n : {-1, 0, 2, 4, 5}) EXPECT_EQ(physreg::select_mode(n), Mode::usage) << n;
}

TEST(SplitPage, ClearsTheLow12BitsForTheBase) {
    struct Case {
        uint32_t address, base, offset;
    } cases[] = {
        {0xabc4u, 0xa000u, 0xbc4u},         {0x18040ffcu, 0x18040000u, 0xffcu},
        {0x18041000u, 0x18041000u, 0},      {0x80000010u, 0x80000000u, 0x10u},
        {0xfffffffcu, 0xfffff000u, 0xffcu},
    };
    for (const auto &c : cases) {
        auto s = physreg::split_page(c.address);
        EXPECT_EQ(s.base, c.base) << std::hex << c.address;
        EXPECT_EQ(s.offset, c.offset) << std::hex << c.address;
    }
}

TEST(Physreg, WrongArgumentCountPrintsUsageWithSecondLineLengthAsStatus) {
    const std::string usage =
        "physreg 0x00001234\t\t-- read mode\n"
        "physreg w 0x00001234 0x1\t\t-- write mode\n";
    MemFile mem(3 * physreg::kPageSize);
    for (std::vector<std::string> args : {std::vector<std::string>{"physreg"},
                                          {"physreg", "w", "1000"},
                                          {"physreg", "w", "1000", "1", "2"}}) {
        auto o = run(args, device(mem.path()));
        EXPECT_EQ(o.status, 40) << args.size();
        EXPECT_EQ(o.out, usage) << args.size();
    }
    auto o = run({"/usr/sbin/physreg"}, device(mem.path()));
    EXPECT_EQ(o.status, 33 + 17);
}

TEST(Physreg, EmptyArgumentListShowsUsageWithEmptyName) {
    char *argv[] = {nullptr};
    char *buf = nullptr;
    size_t len = 0;
    FILE *out = open_memstream(&buf, &len);
    int status = physreg::run_physreg(0, argv, device("/nonexistent"), out);
    std::fclose(out);
    EXPECT_EQ(status, 33);
    EXPECT_EQ(std::string(buf, len),
              " 0x00001234\t\t-- read mode\n w 0x00001234 0x1\t\t-- write mode\n");
    std::free(buf);
}

TEST(Physreg, ReadModePrintsTheWordAtTheGivenAddress) {
    MemFile mem(3 * physreg::kPageSize);
    mem.put(0x1ff8, 0x11111111);
    mem.put(0x1ffc, 0xabcd1234);
    mem.put(0x2000, 0x22222222);
    mem.put(0x0bc4, 0x0badf00d);
    EXPECT_EQ(run({"physreg", "1ffc"}, device(mem.path())).out, "0x00001ffc: 0xabcd1234\n");
    for (const char *addr : {"bc4", "0xbc4", "0x00000bc4"}) {
        auto o = run({"physreg", addr}, device(mem.path()));
        EXPECT_EQ(o.status, 0);
        EXPECT_EQ(o.out, "0x00000bc4: 0x0badf00d\n") << addr;
    }
}

TEST(Physreg, WriteModeStoresWaitsAndPrintsWhatTheDeviceHoldsAfter) {
    for (const char *verb : {"w", "x", "write"}) {
        MemFile mem(3 * physreg::kPageSize);
        mem.put(0x1ffc, 0x00000005);
        std::vector<uint32_t> waits;
        uint32_t held_during_wait = 0;
        physreg::Target t = device(mem.path());
        t.wait_us = [&](uint32_t usec) {
            waits.push_back(usec);
            held_during_wait = mem.get(0x1ffc);
            mem.put(0x1ffc, 0x0000ff00);  // the device changes the register meanwhile
        };
        auto o = run({"physreg", verb, "0x1ffc", "1deadbeef"}, t);
        EXPECT_EQ(o.status, 0);
        EXPECT_EQ(o.out, "0x00001ffc: 0x00000005\n0x00001ffc: 0x0000ff00\n") << verb;
        EXPECT_EQ(held_during_wait, 0xdeadbeefu) << verb;
        EXPECT_EQ(waits, std::vector<uint32_t>{100000}) << verb;
        EXPECT_EQ(mem.get(0x1ff8), 0u);
        EXPECT_EQ(mem.get(0x2000), 0u);
    }
}

TEST(Physreg, UnalignedAddressIsRefusedBeforeTheDeviceIsOpened) {
    struct Case {
        std::vector<std::string> args;
        const char *address;
    } cases[] = {
        {{"physreg", "1002"}, "0x00001002"},
        {{"physreg", "1001"}, "0x00001001"},
        {{"physreg", "0x1003"}, "0x00001003"},
        {{"physreg", "w", "0x0ffe", "0xffffffff"}, "0x00000ffe"},
    };
    for (const auto &c : cases) {
        // A device path that cannot be opened: any open attempt would show.
        auto o = run(c.args, device("/nonexistent/mem"));
        EXPECT_EQ(o.status, 1) << c.address;
        EXPECT_EQ(o.out, std::string("address ") + c.address + " is not aligned to 4 bytes\n");
    }
    MemFile mem(physreg::kPageSize);
    EXPECT_EQ(run({"physreg", "w", "0x0ffe", "0xffffffff"}, device(mem.path())).status, 1);
    EXPECT_EQ(mem.get(0xffc), 0u);
}

TEST(Physreg, DeviceThatCannotBeOpenedIsReportedWithStatusZero) {
    auto o = run({"physreg", "1000"}, device("/nonexistent/mem"));
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, "open file /nonexistent/mem error. No such file or directory\n");
}

TEST(Physreg, MappingFailurePrintsThePageBaseAsSignedDecimal) {
    auto o = run({"physreg", "w", "0x80000010", "1"}, device("/dev/null"));
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, "mmap() failed at phsical address:-2147483648 No such device\n");
}

}  // namespace
