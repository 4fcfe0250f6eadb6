// artmac and bootval as shipped, in a sandbox whose /proc/mtd and /dev/mtd*
// are files of the test, with the MTD requests answered by libfakemtd.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sandbox.h"

namespace {

const char kHeader[] = "dev:    size   erasesize  name\n";

std::string line(int n, const std::string &name) {
    return "mtd" + std::to_string(n) + ": 00010000 00010000 \"" + name + "\"\n";
}

// A literal's bytes, zeros included.
template <size_t N>
std::string bytes(const char (&text)[N]) {
    return std::string(text, N - 1);
}

// `size` zero bytes with `bytes` placed at `at`.
std::string image(size_t size, size_t at, const std::string &bytes) {
    std::string s(size, '\0');
    return s.replace(at, bytes.size(), bytes);
}

class Flash : public ::testing::Test {
  protected:
    Flash() {
        box.use_proc();
        box.use_dev();
        box.env("LD_PRELOAD", sandbox::lib("libfakemtd.so"));
        box.env("ASAN_OPTIONS", "verify_asan_link_order=0");
        box.env("FAKEMTD_LOG", "/tmp/fakemtd.log");
    }
    sandbox::Result run(const std::string &tool, std::vector<std::string> args = {}) const {
        args.insert(args.begin(), sandbox::bin(tool));
        return box.run(args, tool);
    }
    sandbox::Sandbox box;
};

TEST_F(Flash, ArtmacPrintsTheSixBytesAtOffsetSix) {
    box.write("proc/mtd", kHeader + line(0, "u-boot") + line(1, "art"));
    box.write("dev/mtd1", image(0x10000, 6, bytes("\x00\x11\x22\xAA\xBB\xCC")));
    auto r = run("artmac");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "00:11:22:AA:BB:CC\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(box.read("tmp/fakemtd.log"), "/dev/mtd1 MEMGETINFO size=65536 erasesize=65536\n");
}

TEST_F(Flash, ArtmacWithAnyArgumentDoesNothing) {
    box.write("proc/mtd", kHeader + line(0, "art"));
    box.write("dev/mtd0", image(64, 6, bytes("\x00\x11\x22\xAA\xBB\xCC")));
    for (const char *arg : {"-h", ""}) {
        auto r = run("artmac", {arg});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
    }
    EXPECT_FALSE(box.exists("tmp/fakemtd.log"));
}

TEST_F(Flash, ArtmacTakesTheFirstLineContainingArt) {
    box.write("proc/mtd", kHeader + line(0, "partart") + line(1, "art"));
    box.write("dev/mtd0", image(64, 6, bytes("\x02\x00\x00\x00\x00\x01")));
    box.write("dev/mtd1", image(64, 6, bytes("\x00\x11\x22\xAA\xBB\xCC")));
    EXPECT_EQ(run("artmac").out, "02:00:00:00:00:01\n");
}

TEST_F(Flash, BootvalPrintsTheBigEndianWordAtOffset44) {
    struct Case {
        std::string image, out;
    } cases[] = {
        {image(256, 44, bytes("\x00\x00\x01\x00")), "256\n"},
        {image(256, 44, "\xFF\xFF\xFF\xFF"), "4294967295\n"},
        {image(256, 44, "\x12\x34\x56\x78"), "305419896\n"},
        {image(46, 44, "\x01\x02"), "16908288\n"},  // a short read leaves zeros
    };
    box.write("proc/mtd", kHeader + line(0, "u-boot") + line(1, "u-boot-env"));
    box.write("dev/mtd1", image(256, 44, "\x77\x77\x77\x77"));
    for (const Case &c : cases) {
        box.write("dev/mtd0", c.image);
        auto r = run("bootval", {"ignored"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(Flash, DevMtdFolderIsPreferredOverFlatNames) {
    box.write("proc/mtd", kHeader + line(3, "u-boot"));
    box.write("dev/mtd3", image(64, 44, bytes("\x00\x00\x00\x01")));
    box.write("dev/mtd/3", image(64, 44, bytes("\x00\x00\x00\x02")));
    EXPECT_EQ(run("bootval").out, "2\n");
}

// Every failed read still prints the zero value, with status 0.
TEST_F(Flash, FailedReadsPrintZero) {
    struct Case {
        std::string table, fail, erasesize, err, art_err;
    } cases[] = {
        {kHeader + line(0, "kernel"), "", "", "Could not open mtd device\n", ""},
        {kHeader + line(5, "u-boot art"), "", "", "Could not open mtd device\n", ""},  // no device
        {kHeader + line(0, "u-boot art"), "info", "", "Could not get mtd device info\n", ""},
        {kHeader + line(1, "u-boot art"), "", "4096", "Too many bytes - 4 > 4096 bytes\n",
         "Too many bytes - 6 > 4096 bytes\n"},
    };
    box.write("dev/mtd0", image(64, 6, "\x11\x11\x11\x11\x11\x11"));
    box.write("dev/mtd1", std::string(3, '\x11'));
    for (const Case &c : cases) {
        box.write("proc/mtd", c.table);
        box.env("FAKEMTD_FAIL", c.fail);
        box.env("FAKEMTD_ERASESIZE", c.erasesize);
        auto boot = run("bootval");
        EXPECT_EQ(boot.status, 0);
        EXPECT_EQ(boot.out, "0\n");
        EXPECT_EQ(boot.err, c.err);
        auto art = run("artmac");
        EXPECT_EQ(art.status, 0);
        EXPECT_EQ(art.out, "00:00:00:00:00:00\n");
        EXPECT_EQ(art.err, c.art_err.empty() ? c.err : c.art_err);
    }
}

// The write path against the preloaded fake, on real descriptors.
TEST_F(Flash, PartitionWritesEraseWholeBlocksInPlace) {
    box.write("proc/mtd", kHeader + line(0, "config"));
    box.write("dev/mtd0", std::string(48, 'o'));
    box.env("FAKEMTD_ERASESIZE", "16");

    auto r = run("mtd_write_probe", {"config", "20", "abc"});
    EXPECT_EQ(r.out, "16\n") << r.err;
    r = run("mtd_write_probe", {"config", "32", std::string(16, 'W')});
    EXPECT_EQ(r.out, "16\n") << r.err;
    r = run("mtd_write_probe", {"config", "8", std::string(16, 'X')});
    EXPECT_EQ(r.out, "-1\n");
    EXPECT_EQ(r.err, "Erasing mtd failed\n");

    EXPECT_EQ(box.read("dev/mtd0"),
              std::string(20, 'o') + "abc" + std::string(9, 'o') + std::string(16, 'W'));
    std::string log = box.read("tmp/fakemtd.log");
    EXPECT_NE(log.find("/dev/mtd0 MEMERASE start=16 length=16\n"), std::string::npos) << log;
    EXPECT_NE(log.find("/dev/mtd0 MEMERASE start=32 length=16\n"), std::string::npos) << log;
    EXPECT_NE(log.find("/dev/mtd0 MEMERASE start=8 length=16 refused\n"), std::string::npos) << log;
}

TEST_F(Flash, InjectedEraseFailureStopsTheWrite) {
    box.write("proc/mtd", kHeader + line(0, "config"));
    box.write("dev/mtd0", std::string(32, 'o'));
    box.env("FAKEMTD_ERASESIZE", "16");
    box.env("FAKEMTD_FAIL", "erase");
    auto r = run("mtd_write_probe", {"config", "0", "abc"});
    EXPECT_EQ(r.out, "-1\n");
    EXPECT_EQ(r.err, "Erasing mtd failed\n");
    EXPECT_EQ(box.read("dev/mtd0"), std::string(32, 'o'));
    EXPECT_NE(box.read("tmp/fakemtd.log").find("failed (injected)"), std::string::npos);
}

}  // namespace
