// The sandbox root itself: what the AP's fixed paths show inside it, and that
// nothing of it leaks onto the host.
#include <gtest/gtest.h>
#include <unistd.h>

#include <dlfcn.h>

#include <exception>
#include <cstdlib>
#include <filesystem>

#include "sandbox.h"

using sandbox::Sandbox;

namespace {

sandbox::Result sh(const Sandbox &box, const std::string &script) {
    return box.run({"/bin/sh", "-c", script});
}

TEST(Sandbox, TmpAndVarAreTheCallersFolders) {
    Sandbox box;
    box.write("tmp/seed", "from host");
    auto r = sh(box, "cat /tmp/seed && echo made > /tmp/new && ls -d /var/log /var/run");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "from host/var/log\n/var/run\n");
    EXPECT_EQ(box.read("tmp/new"), "made\n");
}

TEST(Sandbox, DevHoldsNullAndTheCallersEntries) {
    Sandbox box;
    box.use_dev();
    box.write("dev/mem", "MEM");
    auto r = sh(box,
                "cat /dev/mem; echo x > /dev/null && ls /dev | grep -c .; test -e /dev/sda || echo "
                "no-disk");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("MEM"), std::string::npos);
    EXPECT_NE(r.out.find("no-disk"), std::string::npos);
}

TEST(Sandbox, ProcHoldsThePartitionTableAndSelf) {
    Sandbox box;
    box.use_proc();
    box.write("proc/mtd", "dev:    size   erasesize  name\n");
    auto r = sh(box,
                "cat /proc/mtd; test -r /proc/self/maps && echo self-ok; test -e /proc/cpuinfo || "
                "echo hidden");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "dev:    size   erasesize  name\nself-ok\nhidden\n");
}

TEST(Sandbox, BindCreatesMissingTargetsOnlyInside) {
    Sandbox box;
    box.write("script.lua", "-- script\n");
    const std::string dst = "/usr/lib/lua/apm-sandbox-probe.lua";
    box.bind(box.host("script.lua"), dst);
    auto r = sh(box, "cat " + dst);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "-- script\n");
    EXPECT_NE(access(dst.c_str(), F_OK), 0) << "the host must not see the sandbox's files";
}

TEST(Sandbox, SeveralNewTargetsInOneFolderAreAllVisible) {
    Sandbox box;
    box.write("a", "A\n");
    box.write("b", "B\n");
    box.bind(box.host("a"), "/usr/sbin/apm-probe-a");
    box.bind(box.host("b"), "/sbin/apm-probe-b");  // the same folder through a link
    auto r = sh(box, "cat /usr/sbin/apm-probe-a /usr/sbin/apm-probe-b");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "A\nB\n");
}

TEST(Sandbox, Argv0AndExitStatusReachTheCaller) {
    Sandbox box;
    auto r = box.run({"/bin/sh", "-c", "echo $0; exit 7"}, "physreg");
    EXPECT_EQ(r.status, 7);
    EXPECT_EQ(r.out, "physreg\n");
}

}  // namespace

namespace {

TEST(Sandbox, HostDeviceCanStandInForAnApDevice) {
    Sandbox box;
    box.use_dev();
    box.bind("/dev/null", "/dev/mem");
    auto r = sh(box, "test -c /dev/mem && echo char-device");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "char-device\n");
}

}  // namespace

namespace {

// Build trees may live below /tmp, which the sandbox covers.
TEST(Sandbox, ProgramsAndPreloadsUnderCoveredFoldersStillRun) {
    Sandbox box;
    std::filesystem::create_directories(box.host("hidden"));
    std::filesystem::copy_file("/bin/cat", box.host("hidden/cat"));
    // Any plain shared library will do; the C++ runtime is at hand (a library
    // of this build may carry sanitizer runtimes that /bin/cat lacks).
    Dl_info info{};
    ASSERT_NE(dladdr(reinterpret_cast<void *>(&std::terminate), &info), 0);
    std::filesystem::copy_file(info.dli_fname, box.host("hidden/libfake.so"));
    box.write("tmp/seen", "inside\n");
    box.env("LD_PRELOAD", box.host("hidden/libfake.so"));
    auto r = box.run({box.host("hidden/cat"), "/tmp/seen", "/proc/self/maps"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("inside\n", 0), 0u);
    EXPECT_NE(r.out.find("libfake.so"), std::string::npos) << r.out;
}

}  // namespace

namespace {

// The firmware runs `killall` and `ps`: in the sandbox they must see only the
// sandbox's own processes, and nothing started there may outlive it.
TEST(Sandbox, HasItsOwnProcessTableAndTakesItsProcessesAlong) {
    Sandbox box;
    auto r = sh(box, "ls /proc | grep -c '^[0-9]'; sleep 4242 & echo started");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_LE(std::atoi(r.out.c_str()), 4) << r.out;
    EXPECT_NE(r.out.find("started"), std::string::npos);
    EXPECT_NE(system("pgrep -f 'slee[p] 4242' >/dev/null"), 0) << "a sandbox process outlived it";
}

TEST(Sandbox, TargetsThatClimbOutAreRefused) {
    Sandbox box;
    box.write("x", "x");
    box.bind(box.host("x"), "/tmp/../etc/apm-probe");
    auto r = sh(box, "true");
    EXPECT_EQ(r.status, 127);
    EXPECT_NE(access("/etc/apm-probe", F_OK), 0);
}

}  // namespace
