// The shipped ciphrex binary in the sandbox root: what it prints for each
// kind of command line, and that it agrees with the library it is built from.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "encode.h"
#include "sandbox.h"

using sandbox::Sandbox;

namespace {

const std::string kAlphabet = "ANBOCPDQERFSGTHUIVJWKXLYMZagmsbhntcioudjpvekqwflrxyz0963852741+/";

sandbox::Result ciphrex(const std::vector<std::string> &args) {
    Sandbox box;
    std::vector<std::string> argv = {sandbox::bin("ciphrex")};
    argv.insert(argv.end(), args.begin(), args.end());
    return box.run(argv, "ciphrex");
}

// The six-character code line the library gives for `input`.
std::string library_code(const std::string &input) {
    std::size_t n = 0;
    Text text = DES_Encryptbase64(input.c_str(), input.c_str(), n);
    return text ? std::string(text.get(), 6) + "\n" : "";
}

void expect_code_line(const sandbox::Result &r, const std::string &input) {
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    ASSERT_EQ(r.out.size(), 7u) << r.out;
    EXPECT_EQ(r.out.find_first_not_of(kAlphabet), 6u);
    EXPECT_EQ(r.out, library_code(input));
}

TEST(CiphrexE2e, WrongArgumentCountsPrintNothing) {
    for (const auto &args : std::vector<std::vector<std::string>>{{}, {"a", "b"}}) {
        auto r = ciphrex(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
    }
}

TEST(CiphrexE2e, EmptyArgumentIsAKeyError) {
    auto r = ciphrex({""});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Key string error.\n");
}

TEST(CiphrexE2e, EveryKindOfArgumentGivesOneStableCodeLine) {
    const std::string inputs[] = {
        "admin",    "-h",
        "--help",   "\xE4\xB8\xAD\xE6\x96\x87\xFF\x80",
        "12345678", std::string(100000, 'z'),
    };
    for (const auto &input : inputs) {
        SCOPED_TRACE(input.substr(0, 16));
        auto first = ciphrex({input});
        expect_code_line(first, input);
        EXPECT_EQ(ciphrex({input}).out, first.out);
    }
}

TEST(CiphrexE2e, ArgumentsSharingTheirFirstEightBytesShareTheCode) {
    auto a = ciphrex({"password"});
    auto b = ciphrex({"password123"});
    auto c = ciphrex({"passwore"});
    expect_code_line(a, "password");
    EXPECT_EQ(b.out, a.out);
    EXPECT_NE(c.out, a.out);
}

}  // namespace
