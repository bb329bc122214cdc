#include "util/stringhelp/stringhelp.h"

#include <gtest/gtest.h>

namespace util::stringhelp {
namespace {

TEST(StringHelpTest, SplitKeepsEmptyPieces) {
  using V = std::vector<std::string>;
  EXPECT_EQ(Split("1.2.3.4", "."), (V{"1", "2", "3", "4"}));
  EXPECT_EQ(Split("1..2", "."), (V{"1", "", "2"}));
  EXPECT_EQ(Split(".1.", "."), (V{"", "1", ""}));
  EXPECT_EQ(Split("", "."), (V{""}));
  EXPECT_EQ(Split("a::b", "::"), (V{"a", "b"}));
  EXPECT_EQ(Split("abc", ""), (V{"abc"}));
}

TEST(StringHelpTest, WideConversionsRoundTrip) {
  const std::string text = "C:\\Program Files\\Tavori \xE4\xBC\x9A\xE8\xAE\xAE";
  EXPECT_EQ(UnicodeToUtf8(StringToWString(text)), text);
}

}  // namespace
}  // namespace util::stringhelp
