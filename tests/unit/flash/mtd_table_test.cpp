// The partition-number reading of /proc/mtd line starts.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "mtd_table.h"

namespace {

TEST(MtdLineNumber, ReadsOnlyDigitsRightAfterMtd) {
    struct Case {
        const char *line;
        int number;
    } cases[] = {
        {"mtd0: 00040000 00010000 \"u-boot\"\n", 0},
        {"mtd12: 00010000 00010000 \"art\"\n", 12},
        {"mtd7 \"art\"\n", 7},  // the colon is not required
        {"mtd2147483647:", INT_MAX},
        {"mtd2147483648:", -1},
        {"mtd99999999999999999999999999: \"art\"", -1},
        {"dev:    size   erasesize  name\n", -1},
        {"mtd: \"art\"", -1},
        {"mtd-1: \"art\"", -1},
        {" mtd1: \"art\"", -1},
        {"xmtd1: \"art\"", -1},
        {"", -1},
    };
    for (const Case &c : cases)
        EXPECT_EQ(mtd_line_number(c.line, strlen(c.line)), c.number) << c.line;
}

TEST(MtdLineNumber, StopsAtTheGivenLength) {
    const char piece[] = {'m', 't', 'd', '1', '2'};
    EXPECT_EQ(mtd_line_number(piece, 4), 1);
    EXPECT_EQ(mtd_line_number(piece, 3), -1);
}

TEST(MtdScanPiece, ContinuationOfALongLineNeverStartsALine) {
    mtd_table_scan scan;
    const char *head = "dev:    size   erasesize  name ...";  // no newline: the line goes on
    EXPECT_EQ(mtd_scan_piece(scan, head, strlen(head), "art"), -1);
    const char *rest = "mtd7: 00010000 00010000 \"art\"\n";
    EXPECT_EQ(mtd_scan_piece(scan, rest, strlen(rest), "art"), -1);
    const char *next = "mtd8: 00010000 00010000 \"art\"\n";
    EXPECT_EQ(mtd_scan_piece(scan, next, strlen(next), "art"), 8);
}

TEST(MtdScanPiece, NameInTheContinuationBelongsToTheLinesNumber) {
    mtd_table_scan scan;
    const char *head = "mtd3: 00010000 00010000 \"long-";
    EXPECT_EQ(mtd_scan_piece(scan, head, strlen(head), "art"), -1);
    const char *rest = "art\"\n";
    EXPECT_EQ(mtd_scan_piece(scan, rest, strlen(rest), "art"), 3);
}

}  // namespace
