#include "util/stringhelp/stringhelp.h"

#include <gtest/gtest.h>

namespace util::stringhelp {
namespace {

TEST(StringHelpTest, SplitLowerCaseAndWideConversions) {
  using V = std::vector<std::string>;
  EXPECT_EQ(Split("1.2.3.4", "."), (V{"1", "2", "3", "4"}));
  EXPECT_EQ(Split(".1..", "."), (V{"", "1", "", ""}));
  EXPECT_EQ(Split("", "."), (V{""}));
  EXPECT_EQ(Split("a::b", "::"), (V{"a", "b"}));
  EXPECT_EQ(Split("abc", ""), (V{"abc"}));
  EXPECT_EQ(ToLowerAscii("AbC-Z\xC3\x89"), "abc-z\xC3\x89");  // UTF-8 left alone
  const std::string text = "C:\\Program Files\\Tavori \xE4\xBC\x9A\xE8\xAE\xAE";
  EXPECT_EQ(UnicodeToUtf8(StringToWString(text)), text);
}

}  // namespace
}  // namespace util::stringhelp
