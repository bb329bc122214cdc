#include "base/variant/variant.h"

#include <gtest/gtest.h>

#include <vector>

namespace base::variant {
namespace {

TEST(VariantTest, TypeCodesAndAccessorsOfOtherTypes) {
  // The codes are stored in the configuration table, so their numbers are part of the format.
  EXPECT_EQ((std::vector<int>{Variant().type(), Variant(true).type(), Variant("s").type(),
                              Variant(int64_t{3}).type(), Variant(2.5, false).type(),
                              Variant(Variant::Map{}).type()}),
            (std::vector<int>{0, 1, 2, 3, 4, 7}));
  const Variant text(std::string("ab\0cd", 5));
  EXPECT_EQ(text.AsStr().size(), 5u);
  EXPECT_STREQ(text.AsCStr(), "ab");  // C callers see the text end at its NUL
  EXPECT_FALSE(text.AsBoolean());
  EXPECT_EQ(text.AsInteger(), 0);
  EXPECT_EQ(text.AsDouble(), 0.0);
  EXPECT_TRUE(text.AsMap().empty());
  EXPECT_TRUE(text.Get("k").IsNull());
  EXPECT_STREQ(Variant(int64_t{1}).AsCStr(), "");
  EXPECT_EQ(Variant(0.1, false).AsDouble(), 0.1);
  EXPECT_EQ(Variant(0.1, true).AsDouble(), static_cast<double>(0.1f));
}

TEST(VariantTest, MapsAreDeepCopiedAndPrintable) {
  Variant request;
  request.Set("key", Variant("update.cgi_url"));
  request.Set("def_value", Variant("x\"y"));
  Variant copy = request;
  copy.Set("key", Variant(int64_t{-1}));
  EXPECT_EQ(request.GetString("key"), "update.cgi_url");
  EXPECT_EQ(copy.Get("key").AsInteger(), -1);
  EXPECT_FALSE(copy == request);
  EXPECT_EQ(request.ToString(), R"({"def_value":"x\"y","key":"update.cgi_url"})");
  Variant moved = std::move(copy);
  EXPECT_EQ(moved.type(), kTypeMap);
}

}  // namespace
}  // namespace base::variant
