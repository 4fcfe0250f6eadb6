#include <unistd.h>

#include <fstream>

#include "ostrel_fixture.h"
#include "startup.h"
#include "wifi_driver.h"

namespace ostrel_test {
namespace {

// A driver without a netlink socket: the station thread ends at once.
int no_socket(uint32_t) { return -1; }
ssize_t no_send(int, const void *, size_t) { return -1; }
ssize_t no_recv(int, void *, size_t) { return -1; }
void no_close(int) {}
long no_table(const char *, uint8_t *, size_t) { return kTableIoctlFailed; }
const WifiDriverOps kNoDriver = {no_socket, no_send, no_recv, no_close, no_table};

class StartupTest : public OstrelTest {
  protected:
    void SetUp() override {
        OstrelTest::SetUp();
        wifi_set_driver(&kNoDriver);
        fixture_state = L;
        std::ofstream(script) << "ApMode = 1\n";
    }
    void TearDown() override {
        if (L != fixture_state) lua_close(L);
        L = fixture_state;
        unlink(script.c_str());
        wifi_set_driver(nullptr);
        OstrelTest::TearDown();
    }
    bool reboot_set() {
        lua_getglobal(L, "isReboot");
        bool set = !lua_isnil(L, -1);
        lua_pop(L, 1);
        return set;
    }
    lua_State *fixture_state = nullptr;
    std::string script = "/tmp/ostrel-startup-" + std::to_string(getpid()) + ".lua";
};

TEST_F(StartupTest, RebootFlagIsSetInTheScriptOnlyWhenGiven) {
    char prog[] = "ostrel";
    char *no_args[] = {prog, nullptr};
    ASSERT_EQ(ostrel_start(1, no_args, script.c_str()), 0);
    EXPECT_FALSE(reboot_set());
    EXPECT_EQ(ApMode, 1);
    lua_close(L);

    char zero[] = "0";
    char *with_zero[] = {prog, zero, nullptr};
    testing::internal::CaptureStdout();
    ASSERT_EQ(ostrel_start(2, with_zero, script.c_str()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "isreboot = 0\n");
    EXPECT_TRUE(reboot_set());
}

TEST_F(StartupTest, FailingScriptEndsStartUp) {
    std::ofstream(script) << "error('broken', 0)\n";
    char prog[] = "ostrel";
    char *args[] = {prog, nullptr};
    testing::internal::CaptureStdout();
    EXPECT_EQ(ostrel_start(1, args, script.c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "error broken\n");
}

TEST_F(StartupTest, TheScriptSettingsBoundItsCalls) {
    std::ofstream(script) << "SCRIPT_MAX_INSTRUCTIONS = 1000 SCRIPT_MAX_MEMORY_KB = 512\n";
    char prog[] = "ostrel";
    char *args[] = {prog, nullptr};
    ASSERT_EQ(ostrel_start(1, args, script.c_str()), 0);
    EXPECT_EQ(luacall::limits_of(L).max_instructions, 1000u);
    EXPECT_EQ(luacall::limits_of(L).max_memory, 512u * 1024);
}

TEST_F(StartupTest, AMainChunkThatAllocatesWithoutEndFailsStartUp) {
    std::ofstream(script) << "local t = {} while true do t[#t + 1] = {} end\n";
    char prog[] = "ostrel";
    char *args[] = {prog, nullptr};
    testing::internal::CaptureStdout();
    EXPECT_EQ(ostrel_start(1, args, script.c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "error not enough memory\n");
}

}  // namespace
}  // namespace ostrel_test
