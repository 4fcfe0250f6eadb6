// Start-up: the script loaded once, the serial number read into the names,
// and the failures that end the program with -1.
#include "startup.h"

#include "fenwire_fixture.h"

namespace fenwire_test {
namespace {

class Startup : public FenwireTest {
  protected:
    std::string script(const std::string &text) {
        std::string path = dir_ + "/Fenwire.lua";
        std::ofstream(path) << text;
        return path;
    }
};

TEST_F(Startup, MissingScriptIsLoggedAndFails) {
    EXPECT_EQ(fenwire_start((dir_ + "/absent.lua").c_str()), nullptr);
    EXPECT_NE(log_text().find("]\terror cannot open " + dir_ + "/absent.lua"), std::string::npos)
        << log_text();
}

TEST_F(Startup, ScriptRaisingInItsMainChunkFails) {
    EXPECT_EQ(fenwire_start(script("error('broken script')").c_str()), nullptr);
    EXPECT_NE(log_text().find("broken script"), std::string::npos);
    EXPECT_EQ(fenwire_start(script("this is not lua").c_str()), nullptr);
    EXPECT_EQ(log_count("------ Mqtt Start ------"), 2);
}

TEST_F(Startup, AMainChunkThatAllocatesWithoutEndFailsStartUp) {
    EXPECT_EQ(fenwire_start(script("local t = {} while true do t[#t + 1] = {} end").c_str()),
              nullptr);
    EXPECT_EQ(log_count("error not enough memory"), 1) << log_text();
}

TEST_F(Startup, TheScriptSettingsBoundItsCalls) {
    lua_State *S = fenwire_start(
        script("SN = 'AB12' SCRIPT_MAX_INSTRUCTIONS = 1000 SCRIPT_MAX_MEMORY_KB = 512").c_str());
    ASSERT_NE(S, nullptr);
    EXPECT_EQ(luacall::limits_of(S).max_instructions, 1000u);
    EXPECT_EQ(luacall::limits_of(S).max_memory, 512u * 1024);
    lua_close(S);
}

TEST_F(Startup, SerialNumberNamesTheTopicsAndClient) {
    lua_State *S = fenwire_start(script("SN = 'AB12'").c_str());
    ASSERT_NE(S, nullptr);
    EXPECT_STREQ(sn, "AB12");
    EXPECT_STREQ(server_sub, "apsub/AB12");
    EXPECT_STREQ(server_pub, "config/AB12");
    EXPECT_STREQ(server_id, "tavrin_AB12");
    EXPECT_EQ(log_count("-- Pid = " + std::to_string(getpid())), 1);
    EXPECT_EQ(log_count("ap work mode = FIT & FAT"), 1);
    lua_close(S);
}

TEST_F(Startup, SerialNumberIsCutTo63Characters) {
    lua_State *S = fenwire_start(script("SN = string.rep('x', 80)").c_str());
    ASSERT_NE(S, nullptr);
    EXPECT_EQ(std::string(sn), std::string(63, 'x'));
    EXPECT_EQ(std::string(server_pub), "config/" + std::string(63, 'x'));
    lua_close(S);
}

}  // namespace
}  // namespace fenwire_test
