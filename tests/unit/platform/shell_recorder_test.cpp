#include <gtest/gtest.h>

#include "shell.h"
#include "shell_recorder.h"

namespace {

TEST(ShellRecorder, KeepsExactTextsAndAnswersByPrefix) {
    plat::ShellRecorder sh;
    sh.answer("ps ", "123 restart_wifi\n", 0);
    sh.answer("false", "", 256);
    EXPECT_EQ(plat::shell_run("/sbin/iface_led.sh 6 &"), 0);
    EXPECT_EQ(plat::shell_run("false"), 256);
    int status = -1;
    EXPECT_EQ(plat::shell_read("ps w", 4, &status), "123 ");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(sh.commands(), (std::vector<std::string>{"/sbin/iface_led.sh 6 &", "false", "ps w"}));
}

TEST(Shell, RealShellRunsAndReadsBounded) {
    int status = -1;
    EXPECT_EQ(plat::shell_read("printf abcdef", 3, &status), "abc");
    EXPECT_EQ(status, 0);
    EXPECT_NE(plat::shell_run("exit 3"), 0);
}

}  // namespace
