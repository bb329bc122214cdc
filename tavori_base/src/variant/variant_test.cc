#include "base/variant/variant.h"

#include <gtest/gtest.h>

namespace base::variant {
namespace {

TEST(VariantTest, TypeCodesAreStable) {
  EXPECT_EQ(Variant().type(), 0);
  EXPECT_EQ(Variant(true).type(), 1);
  EXPECT_EQ(Variant("s").type(), 2);
  EXPECT_EQ(Variant(int64_t{3}).type(), 3);
  EXPECT_EQ(Variant(2.5, false).type(), 4);
  EXPECT_EQ(Variant(Variant::Map{}).type(), 7);
}

TEST(VariantTest, AccessorsOfOtherTypesGiveDefaults) {
  const Variant text("abc");
  EXPECT_EQ(text.AsStr(), "abc");
  EXPECT_FALSE(text.AsBoolean());
  EXPECT_EQ(text.AsInteger(), 0);
  EXPECT_EQ(text.AsDouble(), 0.0);
  EXPECT_TRUE(text.AsMap().empty());
  EXPECT_TRUE(text.Get("k").IsNull());
  EXPECT_STREQ(Variant(int64_t{1}).AsCStr(), "");
}

TEST(VariantTest, StringsKeepEmbeddedNulButCStrStopsThere) {
  const Variant v(std::string("ab\0cd", 5));
  EXPECT_EQ(v.AsStr().size(), 5u);
  EXPECT_STREQ(v.AsCStr(), "ab");
}

TEST(VariantTest, SinglePrecisionFlagRoundsToFloat) {
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
