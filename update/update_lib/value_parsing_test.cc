#include "value_parsing.h"

#include <gtest/gtest.h>

namespace UpdateLib {
namespace {

TEST(ValueParsingTest, NumericTextAndLow32) {
  for (const char* text : {"-12", "007", "0", "-"}) {
    EXPECT_TRUE(IsNumericText(text, false)) << text;
    EXPECT_TRUE(IsNumericText(text, true)) << text;
  }
  for (const char* text : {"-12.5", ".5", "."}) {
    EXPECT_FALSE(IsNumericText(text, false)) << text;
    EXPECT_TRUE(IsNumericText(text, true)) << text;
  }
  for (const char* text : {"", "+1", "1e5", "1.2.3", " 1", "1-", "--1", "1 "}) {
    EXPECT_FALSE(IsNumericText(text, true)) << text;
  }
  EXPECT_EQ(Low32(4294967298), 2);
  EXPECT_EQ(Low32(0xFFFFFFFF), -1);
}

}  // namespace
}  // namespace UpdateLib
