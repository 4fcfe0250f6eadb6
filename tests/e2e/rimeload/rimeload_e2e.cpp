// The shipped rimeload in a sandbox root: its verdicts, exit statuses and
// what it deletes. It runs with /tmp as its working directory, so anything a
// path could make a shell do would show there.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sandbox.h"

namespace {

using sandbox::Sandbox;

const char kUsage[] =
    "example:\n         rimeload -H V2.0 -n QM4471Rset -f /tmp/firmware.img\n"
    "\t -H : product Hardware Version\n             \t -n : product Name \n"
    "             \t -f : file (default /tmp/firmware.bin )\n";
const char kOk[] = "OK\n";
const char kDamaged[] = "error Damaged file!\n";
const char kWrongModel[] = "error model The software model is wrong!\n";
const char kBadCrc[] = "error CRC check failed!\n";

void put_be32(std::string &s, std::size_t at, std::uint32_t x) {
    for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(x >> (24 - 8 * i));
}

void seal_crc(std::string &img) {
    auto *p = reinterpret_cast<const Bytef *>(img.data());
    put_be32(img, 4,
             static_cast<std::uint32_t>(::crc32(0, p + 8, static_cast<uInt>(img.size() - 8))));
}

// A valid image: the hardware byte under unrelated upper bytes, the model
// zero-padded (or filling all 36 bytes), the payload, the CRC over 8..end.
std::string make_image(std::uint8_t hw, const std::string &model,
                       const std::string &payload = "kernel+rootfs bytes \x01\x02\xFE\xFF") {
    std::string img(72, '\0');
    img += payload;
    put_be32(img, 20, 0x5A5A5A00u | hw);
    img.replace(36, model.size(), model);
    seal_crc(img);
    return img;
}

class Rimeload : public ::testing::Test {
  protected:
    Rimeload() { box.cwd("/tmp"); }  // as the firmware's scripts run it
    sandbox::Result run(const std::vector<std::string> &args) const {
        std::vector<std::string> argv = {sandbox::bin("rimeload")};
        argv.insert(argv.end(), args.begin(), args.end());
        return box.run(argv);
    }
    void board_new_name(const std::string &line) const {
        box.write("tmp/sysinfo/board_info", "BOARD=ap\nHW=2.0\n" + line + "SERIAL=1\n");
    }

    Sandbox box;
};

TEST_F(Rimeload, ValidImagePrintsOkAndKeepsTheFile) {
    std::string img = make_image(0x20, "QM4471Rset");
    img.replace(0, 4, "JUNK");  // bytes 0..3 take part in no check
    box.write("tmp/firmware.img", img);
    board_new_name("NEW_NAME=Other\n");
    auto r = run({"-z", "-H", "V2.0", "-n", "QM4471Rset", "-f", "/tmp/firmware.img", "-q"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kOk);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(box.read("tmp/firmware.img"), img);
    EXPECT_EQ(box.read("tmp/model_new"), "Other\n")
        << "the board command runs on every model check";
}

struct FailCase {
    const char *name;
    std::uint8_t hw;
    const char *model;
    bool corrupt_payload;
    const char *out;
    int status;
    bool model_check_ran;
};

TEST_F(Rimeload, FirstFailingCheckReportsDeletesAndStops) {
    const FailCase cases[] = {
        {"wrong hw", 0x21, "QM4471Rset", false, kDamaged, 252, false},
        {"wrong hw and bad crc", 0x02, "QM4471Rset", true, kDamaged, 252, false},
        {"wrong model", 0x20, "QM4471Rsex", false, kWrongModel, 255, true},
        {"wrong model and bad crc", 0x20, "QM4471", true, kWrongModel, 255, true},
        {"bad crc", 0x20, "QM4471Rset", true, kBadCrc, 253, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox fresh;
        std::string img = make_image(c.hw, c.model);
        if (c.corrupt_payload) img.back() ^= 0x40;
        fresh.write("tmp/firmware.img", img);
        fresh.write("tmp/firmware.bin", "another file");
        auto r = fresh.run({sandbox::bin("rimeload"), "-H", "V2.0", "-n", "QM4471Rset", "-f",
                            "/tmp/firmware.img"});
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.status, c.status);
        EXPECT_FALSE(fresh.exists("tmp/firmware.img"));
        EXPECT_TRUE(fresh.exists("tmp/firmware.bin"));
        EXPECT_EQ(fresh.exists("tmp/model_new"), c.model_check_ran);
    }
}

TEST_F(Rimeload, EveryByteFromOffsetEightIsCoveredByTheCrc) {
    const std::string img = make_image(0x20, "QM4471Rset");
    for (std::size_t at : {std::size_t{4}, std::size_t{8}, std::size_t{19}, std::size_t{24},
                           std::size_t{71}, std::size_t{72}, img.size() - 1}) {
        SCOPED_TRACE(at);
        std::string bad = img;
        bad[at] ^= 0x01;
        box.write("tmp/firmware.img", bad);
        auto r = run({"-H", "V2.0", "-n", "QM4471Rset", "-f", "/tmp/firmware.img"});
        EXPECT_EQ(r.out, kBadCrc);
        EXPECT_EQ(r.status, 253);
        EXPECT_FALSE(box.exists("tmp/firmware.img"));
    }
}

TEST_F(Rimeload, UsageWhenVersionOrNameIsMissingAndNothingIsDeleted) {
    const std::vector<std::vector<std::string>> arg_sets = {
        {},
        {"-H", "V2.0"},
        {"-n", "QM4471Rset"},
        {"-H", "V2.0", "-n", ""},
        {"-H", "-1", "-n", "QM4471Rset"},
        {"-n", "QM4471Rset", "-H"},
        {"-f", "/tmp/firmware.bin", "-H", "V2.0"},
    };
    const std::string bad = make_image(0x99, "Nothing");
    box.write("tmp/firmware.bin", bad);
    for (const auto &args : arg_sets) {
        SCOPED_TRACE(::testing::PrintToString(args));
        auto r = run(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, kUsage);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(box.read("tmp/firmware.bin"), bad);
        EXPECT_FALSE(box.exists("tmp/model_new"));
    }
}

TEST_F(Rimeload, ChecksFirmwareBinWhenNoPathIsGiven) {
    box.write("tmp/firmware.bin", make_image(0x12, "QM4471Rset"));
    EXPECT_EQ(run({"-H", "v1.2.3", "-n", "QM4471Rset"}).out, kOk);
    EXPECT_TRUE(box.exists("tmp/firmware.bin"));
    auto r = run({"-H", "1.3", "-n", "QM4471Rset"});
    EXPECT_EQ(r.out, kDamaged);
    EXPECT_FALSE(box.exists("tmp/firmware.bin"));
}

struct ModelCase {
    const char *name;
    std::string image_model;
    std::string wanted;
    std::string board_line;  // empty: no board_info file at all
    bool passes;
};

TEST_F(Rimeload, ModelMatchesTheWantedNameOrTheBoardsNewName) {
    const std::string a28(28, 'A'), m36(36, 'M');
    const ModelCase cases[] = {
        {"NEW_NAME with blanks and CRLF", "QM4471Rset", "Other", "NEW_NAME= \tQM4471Rset\r\n",
         true},
        {"prefix of -n", "QM4471", "QM4471Rset", "", false},
        {"28 characters via -n", a28, a28, "", false},
        {"28 characters via NEW_NAME", a28, "X", "NEW_NAME=" + a28 + "\n", false},
        {"27 characters via -n", a28.substr(1), a28.substr(1), "", true},
        {"10000-character -n, NEW_NAME matches", "QM4471Rset", std::string(10000, 'n'),
         "NEW_NAME=QM4471Rset\n", true},
        {"empty model, no board value", "", "Anything", "", true},
        {"empty model, no NEW_NAME line", "", "Anything", "OLD_NAME=x\n", true},
        {"empty model, board has a name", "", "Anything", "NEW_NAME=QM4471Rset\n", false},
        {"unterminated 36-byte model", m36, m36, "NEW_NAME=" + m36 + "\n", false},
        {"board line past 62 characters", "QM4471Rset", "X",
         "NEW_NAME=" + std::string(300, ' ') + "QM4471Rset\n", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox fresh;
        fresh.write("tmp/firmware.img", make_image(0x20, c.image_model));
        if (!c.board_line.empty())
            fresh.write("tmp/sysinfo/board_info", "BOARD=ap\n" + c.board_line + "SERIAL=1\n");
        auto r = fresh.run(
            {sandbox::bin("rimeload"), "-H", "V2.0", "-n", c.wanted, "-f", "/tmp/firmware.img"});
        EXPECT_EQ(r.out, c.passes ? kOk : kWrongModel);
        EXPECT_EQ(r.status, c.passes ? 0 : 255);
        EXPECT_EQ(fresh.exists("tmp/firmware.img"), c.passes);
    }
}

TEST_F(Rimeload, ImagesOfEightBytesFailAndOfNineBytesCoverTheLastByte) {
    std::string eight(8, '\0');
    box.write("tmp/eight.img", eight);
    auto r = run({"-H", "0", "-n", "X", "-f", "/tmp/eight.img"});
    EXPECT_EQ(r.out, kBadCrc);
    EXPECT_EQ(r.status, 253);
    EXPECT_FALSE(box.exists("tmp/eight.img"));

    std::string nine(9, '\0');
    nine[8] = 'a';
    put_be32(nine, 4, 0xE8B7BE43u);  // CRC-32 of "a"
    box.write("tmp/nine.img", nine);
    r = run({"-H", "0", "-n", "X", "-f", "/tmp/nine.img"});
    EXPECT_EQ(r.out, kOk);
    EXPECT_TRUE(box.exists("tmp/nine.img"));

    box.write("tmp/empty.img", "");
    EXPECT_EQ(run({"-H", "0", "-n", "X", "-f", "/tmp/empty.img"}).status, 253);
}

TEST_F(Rimeload, DeletesExactlyTheNamedFileWhateverItsCharacters) {
    const std::vector<std::string> names = {
        "fw *;touch injected",
        "it's $(touch injected) `touch injected` && touch injected",
        "-rf fw",
    };
    for (const auto &name : names) {
        SCOPED_TRACE(name);
        Sandbox fresh;
        for (const char *decoy : {"fw", "keep", "it's", "-rf"})
            fresh.write(std::string("tmp/") + decoy, "decoy");
        fresh.write("tmp/" + name, make_image(0x21, "QM4471Rset"));
        fresh.cwd("/tmp");  // where a command split at its blanks would have acted
        auto r = fresh.run(
            {sandbox::bin("rimeload"), "-H", "V2.0", "-n", "QM4471Rset", "-f", "/tmp/" + name});
        EXPECT_EQ(r.out, kDamaged);
        EXPECT_EQ(r.status, 252);
        EXPECT_FALSE(fresh.exists("tmp/" + name));
        for (const char *decoy : {"fw", "keep", "it's", "-rf"})
            EXPECT_TRUE(fresh.exists(std::string("tmp/") + decoy)) << decoy;
        EXPECT_FALSE(fresh.exists("tmp/injected"));
    }
}

TEST_F(Rimeload, DeletesAFileWhosePathIsLongerThanACommandBuffer) {
    const std::string dir = "tmp/" + std::string(120, 'd');
    const std::string rel = dir + "/firmware-" + std::string(200, 'f') + ".img";
    box.write(rel, make_image(0x21, "QM4471Rset"));
    // What a 64-byte "rm %s" buffer would keep of the path: its first 60 bytes.
    const std::string cut = rel.substr(0, 59);
    box.write(cut, "decoy");
    auto r = run({"-H", "V2.0", "-n", "QM4471Rset", "-f", "/" + rel});
    EXPECT_EQ(r.out, kDamaged);
    EXPECT_FALSE(box.exists(rel));
    EXPECT_TRUE(box.exists(cut));
}

TEST_F(Rimeload, AnImageThatCannotBeOpenedIsDamaged) {
    for (const std::string &path :
         {std::string("/tmp/missing.img"), "/tmp/" + std::string(5000, 'x')}) {
        auto r = run({"-H", "V2.0", "-n", "QM4471Rset", "-f", path});
        EXPECT_EQ(r.out, kDamaged);
        EXPECT_EQ(r.status, 252);
        EXPECT_FALSE(box.exists("tmp/model_new"));
    }
}

}  // namespace
