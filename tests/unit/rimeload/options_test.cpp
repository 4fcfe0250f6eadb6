#include "options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using rimeload::Options;

struct VersionCase {
    const char *text;
    std::int32_t want;
};

TEST(ParseHwVersion, ReadsMajorAndMinorIntoOneByte) {
    const VersionCase cases[] = {
        {"V2.0", 0x20},
        {"v2.0", 0x20},
        {"2.0", 0x20},
        {"2", 0x02},
        {"3.17", 0x3F},
        {"V1.2.3", 0x12},
        {"", 0},
        {"v", 0},
        {"16", 0x0F},
        {"V15.15", 0xFF},
        {"V99.99", 0xFF},
        {"-1", -1},
        {"2a.3b", 0x23},
        {"x", 0},
        {"VV2", 0},
        {"1..2", 0x12},
        {"2.", 0x02},
        {".5", 0x05},
        {"...", 0},
        {" 4. 1", 0x41},
        {"99999999999999999999.1", 0xF1},
        {"-99999999999999999999", INT32_MIN},
    };
    for (const auto &c : cases)
        EXPECT_EQ(rimeload::parse_hw_version(c.text), c.want) << '"' << c.text << '"';
}

// getopt may reorder argv, so it gets its own writable copies.
Options parse(std::vector<std::string> args) {
    args.insert(args.begin(), "rimeload");
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return rimeload::parse_options(static_cast<int>(args.size()), argv.data());
}

TEST(ParseOptions, DefaultsLeaveTheRunIncomplete) {
    Options opt = parse({});
    EXPECT_EQ(opt.image_path, "/tmp/firmware.bin");
    EXPECT_EQ(opt.hw_version, -1);
    EXPECT_STREQ(opt.model, "");
    EXPECT_FALSE(rimeload::options_complete(opt));
}

TEST(ParseOptions, AnyOrderAndTheLastRepeatWins) {
    Options opt = parse(
        {"-f", "a.img", "-H", "V1.0", "-n", "LONGERNAME", "-H", "2", "-f", "b.img", "-n", "YZ"});
    EXPECT_EQ(opt.image_path, "b.img");
    EXPECT_EQ(opt.hw_version, 0x02);
    EXPECT_STREQ(opt.model, "YZ");
    EXPECT_TRUE(rimeload::options_complete(opt));
}

TEST(ParseOptions, UnknownOptionsAndAMissingValueArePassedOver) {
    Options opt = parse({"-x", "-H", "V2.0", "-q", "-n", "M", "extra", "-n"});
    EXPECT_EQ(opt.hw_version, 0x20);
    EXPECT_STREQ(opt.model, "M");
    EXPECT_EQ(opt.image_path, "/tmp/firmware.bin");
}

TEST(ParseOptions, KeepsTwentyEightModelCharactersAndAPathOfAnyLength) {
    std::string path = "/" + std::string(5000, 'p');
    Options opt = parse({"-n", std::string(10000, 'm'), "-H", "1", "-f", path});
    EXPECT_EQ(std::string(opt.model), std::string(28, 'm'));
    EXPECT_EQ(opt.image_path, path);
}

TEST(ParseOptions, MinusOneVersionOrEmptyNameIsIncomplete) {
    EXPECT_FALSE(rimeload::options_complete(parse({"-H", "-1", "-n", "M"})));
    EXPECT_FALSE(rimeload::options_complete(parse({"-H", "V2.0", "-n", ""})));
    EXPECT_TRUE(rimeload::options_complete(parse({"-H", "", "-n", "M"})));
}

}  // namespace
