#include "model_rule.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using rimeload::board_model_name;
using rimeload::model_matches;

TEST(ModelMatches, NeedsEqualNamesShorterThanTwentyEight) {
    EXPECT_TRUE(model_matches("QM4471Rset", "QM4471Rset"));
    EXPECT_TRUE(model_matches("", ""));
    EXPECT_TRUE(model_matches(std::string(27, 'A'), std::string(27, 'A')));
    EXPECT_FALSE(model_matches(std::string(28, 'A'), std::string(28, 'A')));
    EXPECT_FALSE(model_matches(std::string(36, 'A'), std::string(36, 'A')));
    EXPECT_FALSE(model_matches("QM4471", "QM4471Rset"));  // a prefix is not enough
    EXPECT_FALSE(model_matches("QM4471Rset", "QM4471"));
    EXPECT_FALSE(model_matches("qm4471", "QM4471"));
    EXPECT_FALSE(model_matches("", "QM4471"));
}

TEST(BoardModelName, CutsAtLineEndAndSkipsLeadingBlanks) {
    EXPECT_EQ(board_model_name("QM4471\n"), "QM4471");
    EXPECT_EQ(board_model_name(" \t QM4471\r\n"), "QM4471");
    EXPECT_EQ(board_model_name("QM 4471 \rjunk"), "QM 4471 ");
    EXPECT_EQ(board_model_name("QM4471"), "QM4471");
    EXPECT_EQ(board_model_name(""), "");
    EXPECT_EQ(board_model_name(" \t\r\n"), "");
    EXPECT_EQ(board_model_name("\nQM4471"), "");
}

}  // namespace
