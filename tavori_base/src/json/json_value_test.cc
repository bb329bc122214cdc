#include "base/json/json_value.h"

#include <gtest/gtest.h>

#include <string>

namespace base::json {
namespace {

int Parse(JsonValue* value, const std::string& text, int mode = kParseStrictRoot,
          bool reject_duplicates = true) {
  return value->ParseFromJson(text.data(), text.size(), mode, reject_duplicates);
}

TEST(JsonValueTest, ParseResults) {
  struct Case {
    const char* name;
    std::string text;
    int mode;
    int expected;
  } cases[] = {
      {"object", R"({"a":1})", kParseStrictRoot, kParseOk},
      {"array", "[1,2]", kParseStrictRoot, kParseOk},
      {"white space around", " \n{}\t ", kParseStrictRoot, kParseOk},
      {"empty text", "", kParseStrictRoot, kParseSyntaxError},
      {"not json", "check_upgrade", kParseStrictRoot, kParseSyntaxError},
      {"trailing text", R"({"a":1} x)", kParseStrictRoot, kParseSyntaxError},
      {"two values", "{}{}", kParseStrictRoot, kParseSyntaxError},
      {"scalar root refused", "5", kParseStrictRoot, kParseRootNotContainer},
      {"scalar root lenient", "5", 0, kParseOk},
      {"comment refused", "{} // note", kParseStrictRoot, kParseSyntaxError},
      {"comment allowed", "{} // note", kParseStrictRoot | kParseAllowComments, kParseOk},
      {"duplicate key", R"({"a":1,"a":2})", kParseStrictRoot, kParseDuplicateKey},
      {"nested duplicate", R"({"p":{"k":1,"k":1}})", kParseStrictRoot, kParseDuplicateKey},
      {"same key in siblings", R"([{"k":1},{"k":2}])", kParseStrictRoot, kParseOk},
      {"invalid utf-8", "[\"\xff\"]", kParseStrictRoot, kParseSyntaxError},
      {"embedded NUL", std::string("[1]\0", 4), kParseStrictRoot, kParseSyntaxError},
  };
  for (const Case& c : cases) {
    JsonValue value;
    EXPECT_EQ(Parse(&value, c.text, c.mode), c.expected) << c.name;
    if (c.expected != kParseOk) {
      EXPECT_TRUE(value.IsNull()) << c.name;
    }
  }
}

TEST(JsonValueTest, DuplicatesAcceptedWhenNotRejected) {
  JsonValue value;
  ASSERT_EQ(Parse(&value, R"({"a":1,"a":2})", kParseStrictRoot, false), kParseOk);
  EXPECT_EQ(value["a"].AsInteger(), 2);
}

TEST(JsonValueTest, DeepNestingIsRefusedNotCrashing) {
  const std::string ok =
      std::string(kMaxParseDepth - 1, '[') + std::string(kMaxParseDepth - 1, ']');
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  JsonValue value;
  EXPECT_EQ(Parse(&value, ok), kParseOk);
  EXPECT_FALSE(value.ToStyledString().empty());
  EXPECT_EQ(Parse(&value, deep), kParseTooDeep);
}

TEST(JsonValueTest, TypedReadsNeverThrowAndDefault) {
  JsonValue value;
  ASSERT_EQ(Parse(&value, R"({"s":"text","i":-5,"big":9223372036854775807,
      "huge":18446744073709551615,"d":1.5,"b":true,"n":null,"o":{},"a":[]})"),
            kParseOk);
  EXPECT_TRUE(value["s"].IsString());
  EXPECT_EQ(value["s"].AsString(), "text");
  EXPECT_EQ(value["s"].AsInteger(), 0);
  EXPECT_TRUE(value["i"].IsInteger());
  EXPECT_EQ(value["i"].AsInteger(), -5);
  EXPECT_EQ(value["i"].AsString(), "");
  EXPECT_EQ(value["big"].AsInteger(), INT64_MAX);
  EXPECT_FALSE(value["huge"].IsInteger());
  EXPECT_EQ(value["huge"].AsInteger(), 0);
  EXPECT_FALSE(value["d"].IsInteger());
  EXPECT_EQ(value["d"].AsInteger(), 0);
  EXPECT_EQ(value["b"].AsInteger(), 0);
  EXPECT_TRUE(value["b"].AsBool());
  EXPECT_TRUE(value["n"].IsNull());
  EXPECT_TRUE(value["o"].IsObject());
  EXPECT_TRUE(value["a"].IsArray());

  const JsonValue missing = value["missing"];
  EXPECT_TRUE(missing.IsNull());
  EXPECT_FALSE(missing.IsString());
  EXPECT_FALSE(missing.IsInteger());
  EXPECT_EQ(missing.AsInteger(), 0);
  // Lookups on non-objects are null too.
  EXPECT_TRUE(value["s"]["x"].IsNull());
  EXPECT_TRUE(value["a"]["x"].IsNull());
}

TEST(JsonValueTest, SetJsonObjectBuildsAndReplacesMembers) {
  JsonValue event;
  event.SetJsonObject("version", "1.0");
  event.SetJsonObject("token", int64_t{-9});
  event.SetJsonObject("token", int64_t{42});
  JsonValue parameters;
  parameters.SetJsonObject("err_code", 0);
  event.SetJsonObject("parameters", parameters);
  EXPECT_EQ(event.size(), 3u);

  JsonValue round_trip;
  const std::string text = event.ToStyledString();
  ASSERT_EQ(Parse(&round_trip, text), kParseOk) << text;
  EXPECT_EQ(round_trip["version"].AsString(), "1.0");
  EXPECT_EQ(round_trip["token"].AsInteger(), 42);
  EXPECT_EQ(round_trip["parameters"]["err_code"].AsInteger(), 0);

  JsonValue scalar(int64_t{3});
  scalar.SetJsonObject("k", "v");
  EXPECT_TRUE(scalar.IsObject());
}

TEST(JsonValueTest, StyledTextIsValidJsonEvenForInvalidUtf8) {
  JsonValue event(JsonType::kObject);
  event.SetJsonObject("path", std::string("/tmp/\xff\xfe.exe"));
  event.SetJsonObject("tab", std::string("a\tb"));
  const std::string styled = event.ToStyledString();
  JsonValue parsed;
  ASSERT_EQ(Parse(&parsed, styled), kParseOk) << styled;
  EXPECT_EQ(parsed["path"].AsString(), "/tmp/\xEF\xBF\xBD\xEF\xBF\xBD.exe");
  EXPECT_EQ(parsed["tab"].AsString(), "a\tb");
  EXPECT_EQ(event.ToStyledString(nullptr, kStyleCompact).find('\n'), std::string::npos);
}

TEST(JsonValueTest, CopiesAreIndependent) {
  JsonValue a(JsonType::kObject);
  a.SetJsonObject("k", 1);
  JsonValue b = a;
  b.SetJsonObject("k", 2);
  EXPECT_EQ(a["k"].AsInteger(), 1);
  JsonValue c = std::move(b);
  EXPECT_EQ(c["k"].AsInteger(), 2);
}

}  // namespace
}  // namespace base::json
