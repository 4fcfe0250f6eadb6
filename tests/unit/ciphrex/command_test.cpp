// The command's main routine: argument count, the six-character cut, the
// diagnostics of each failure, and the codes it must keep giving.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "command.h"
#include "encode.h"
#include "test_util.h"

using ciphrex_test::FailingAllocator;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

std::string run(const std::vector<std::string> &args) {
    std::vector<const char *> argv = {"ciphrex"};
    for (const auto &a : args) argv.push_back(a.c_str());
    CaptureStdout();
    EXPECT_EQ(ciphrex_command(static_cast<int>(argv.size()), argv.data()), 0);
    return GetCapturedStdout();
}

TEST(CiphrexCommand, PrintsNothingUnlessGivenExactlyOneArgument) {
    EXPECT_EQ(run({}), "");
    EXPECT_EQ(run({"a", "b"}), "");
    EXPECT_EQ(run({"a", "b", "c"}), "");
}

TEST(CiphrexCommand, EmptyArgumentIsAKeyError) {
    EXPECT_EQ(run({""}), "Key string error.\n");
}

// Texts of this engine, recorded once it reproduced the published DES vectors
// with the standard expansion table; a change here changes every code in the
// field. The command prints the first six characters.
const struct {
    const char *input, *text;
} kRecorded[] = {
    {"a", "MZ1+JQguuQA"},
    {"admin", "tg/5ZgbGV00"},
    {"12345678", "Ynzw4mCrB/hny25crjmfYA"},
    {"-h", "pgbB/XGA2x4"},
    {"\xE4\xB8\xAD\xE6\x96\x87", "QLO7kjZOIfm"},
    {"\xFF", "affijcBQw+M"},
    {"The quick brown fox", "LI3gH3azsddEgP/c3hpGl4AvdX4BFRY3"},
};

TEST(CiphrexCommand, GivesTheRecordedTextsAndCodes) {
    for (const auto &c : kRecorded) {
        std::size_t n = 0;
        Text text = DES_Encryptbase64(c.input, c.input, n);
        ASSERT_TRUE(text) << c.input;
        EXPECT_STREQ(text.get(), c.text);
        EXPECT_EQ(run({c.input}), std::string(c.text, 6) + "\n");
    }
}

TEST(CiphrexCommand, CodeDependsOnlyOnTheFirstEightBytes) {
    const std::string code = run({"abcdefgh"});
    EXPECT_EQ(code.size(), 7u);
    EXPECT_EQ(run({"abcdefghIJKL"}), code);
    EXPECT_EQ(run({std::string("abcdefgh") + std::string(5000, '\xFF')}), code);
    EXPECT_NE(run({"abcdefgi"}), code);
}

TEST(CiphrexCommand, AllocationFailuresPrintTheirChainAndNoCode) {
    // Allocations in order: padded key, padded data, cipher, text.
    const char *outputs[] = {
        "malloc newdata error.\nDES_Encryptbase64-753: format key error.\n",
        "malloc newdata error.\nDesEncrypt-395: format data error.\n"
        "getEncString-473: des encrypt error.\n",
        "malloc result_data error. \ngetEncString-473: des encrypt error.\n",
        "No enough memory.\n",
    };
    for (int k = 1; k <= 4; ++k) {
        FailingAllocator failing(k);
        EXPECT_EQ(run({"input"}), outputs[k - 1]) << "failing allocation " << k;
    }
}

}  // namespace
