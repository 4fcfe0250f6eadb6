// The shipped physreg in the sandbox root, with a sparse file as /dev/mem.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sandbox.h"

using sandbox::Sandbox;

namespace {

const char kUsage[] =
    "physreg 0x00001234\t\t-- read mode\n"
    "physreg w 0x00001234 0x1\t\t-- write mode\n";

// A sandbox whose /dev/mem is a sparse file of `size` bytes.
class MemBox {
  public:
    explicit MemBox(off_t size) {
        box.use_dev();
        box.write("dev/mem", "");
        EXPECT_EQ(truncate(box.host("dev/mem").c_str(), size), 0);
    }
    void put(off_t address, uint32_t word) const {
        int fd = open(box.host("dev/mem").c_str(), O_WRONLY);
        EXPECT_EQ(pwrite(fd, &word, sizeof word, address), 4);
        close(fd);
    }
    uint32_t get(off_t address) const {
        uint32_t word = 0;
        int fd = open(box.host("dev/mem").c_str(), O_RDONLY);
        EXPECT_EQ(pread(fd, &word, sizeof word, address), 4);
        close(fd);
        return word;
    }
    sandbox::Result physreg(std::vector<std::string> args) const {
        args.insert(args.begin(), sandbox::bin("physreg"));
        return box.run(args, "physreg");
    }

    Sandbox box;
};

TEST(PhysregE2e, WrongArgumentCountPrintsUsageNamingTheInvocation) {
    MemBox mem(0x2000);
    for (const auto &args :
         std::vector<std::vector<std::string>>{{}, {"w", "1000"}, {"w", "1000", "1", "2"}}) {
        auto r = mem.physreg(args);
        EXPECT_EQ(r.status, 40) << args.size();
        EXPECT_EQ(r.out, kUsage) << args.size();
    }
}

TEST(PhysregE2e, ReadModePrintsTheNativeOrderWord) {
    MemBox mem(0xb000);
    mem.put(0xabc4, 0x12345678);
    for (const char *addr : {"abc4", "0xabc4"}) {
        auto r = mem.physreg({addr});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "0x0000abc4: 0x12345678\n") << addr;
    }
}

TEST(PhysregE2e, ReadsTheLastWordOfAPage) {
    MemBox mem(0x18041000);
    mem.put(0x18040ffc, 0xcafe0001);
    auto r = mem.physreg({"0x18040ffc"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "0x18040ffc: 0xcafe0001\n");
}

TEST(PhysregE2e, WriteModeWithAnyFirstWordStoresTheLow32BitsOfTheValue) {
    for (const char *verb : {"w", "x", "write"}) {
        MemBox mem(0xb000);
        mem.put(0xabc4, 0x00000007);
        auto r = mem.physreg({verb, "0xabc4", "0x1deadbeef"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "0x0000abc4: 0x00000007\n0x0000abc4: 0xdeadbeef\n") << verb;
        EXPECT_EQ(mem.get(0xabc4), 0xdeadbeefu) << verb;
        EXPECT_EQ(mem.get(0xabc0), 0u) << verb;
        EXPECT_EQ(mem.get(0xabc8), 0u) << verb;
    }
}

TEST(PhysregE2e, MissingDeviceIsReportedWithStatusZero) {
    Sandbox box;
    box.use_dev();
    auto r = box.run({sandbox::bin("physreg"), "1000"}, "physreg");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "open file /dev/mem error. No such file or directory\n");
}

TEST(PhysregE2e, UnmappableDevicePrintsTheHighPageBaseAsNegative) {
    Sandbox box;
    box.use_dev();
    box.bind("/dev/null", "/dev/mem");
    auto r = box.run({sandbox::bin("physreg"), "0x80000010"}, "physreg");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "mmap() failed at phsical address:-2147483648 No such device\n");
}

TEST(PhysregE2e, UnalignedAddressIsRefusedWithoutOpeningTheDevice) {
    Sandbox box;
    box.use_dev();  // no dev/mem: an open attempt would print its error
    for (const auto &args :
         std::vector<std::vector<std::string>>{{"0x1002"}, {"w", "0x1002", "1"}}) {
        std::vector<std::string> argv = {sandbox::bin("physreg")};
        argv.insert(argv.end(), args.begin(), args.end());
        auto r = box.run(argv, "physreg");
        EXPECT_EQ(r.status, 1) << args.size();
        EXPECT_EQ(r.out, "address 0x00001002 is not aligned to 4 bytes\n") << args.size();
    }
}

}  // namespace
