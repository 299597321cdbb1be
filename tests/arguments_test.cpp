// Token splitting and numeric arguments.
#include <gtest/gtest.h>

#include "core/arguments.h"
#include "core/failure.h"

TEST(Arguments, SplitsAtBlanksOnly) {
  EXPECT_EQ(split_tokens("  a  b\tc  "), (Tokens{"a", "b\tc"}));
  EXPECT_TRUE(split_tokens("    ").empty());
  EXPECT_EQ(join_tokens({"load_script", "my", "file.txt"}, 1), "my file.txt");
  EXPECT_EQ(join_tokens({"load_script"}, 1), "");
}

TEST(Arguments, IntegersReadLikeStrtol) {
  EXPECT_EQ(parse_int("12abc"), 12);
  EXPECT_EQ(parse_int(" -7"), -7);
  EXPECT_EQ(parse_int("+3"), 3);
  EXPECT_EQ(parse_int("0x10"), 0);  // base 10: reads the 0
  EXPECT_EQ(parse_int("2147483647"), 2147483647);
  EXPECT_EQ(parse_int("-2147483648"), -2147483647 - 1);
  for (const char* bad : {"x", "", "#4", "2147483648", "-2147483649", "99999999999999999999"})
    EXPECT_THROW(parse_int(bad), InvalidValue) << bad;
}

TEST(Arguments, DecimalsReadLikeStrtod) {
  EXPECT_DOUBLE_EQ(parse_double("0.5abc"), 0.5);
  EXPECT_DOUBLE_EQ(parse_double("1e3"), 1000);
  EXPECT_DOUBLE_EQ(parse_double("-.25"), -0.25);
  EXPECT_EQ(parse_double("1e-400"), 0.0);  // underflow is a tiny number, not an error
  for (const char* bad : {"abc", "", "1e999", "inf", "nan", "-"})
    EXPECT_THROW(parse_double(bad), InvalidValue) << bad;
}
