#include "base/json/json_value.h"

#include <gtest/gtest.h>

#include <string>

namespace base::json {
namespace {

ParseResult Parse(JsonValue* value, const std::string& text, ParseMode mode = kParseStrictRoot,
                  bool reject_duplicates = true) {
  return value->ParseFromJson(text.data(), text.size(), mode, reject_duplicates);
}

TEST(JsonValueTest, ParseResults) {
  const std::string deepest =
      std::string(kMaxParseDepth - 1, '[') + std::string(kMaxParseDepth - 1, ']');
  const struct {
    std::string text;
    ParseMode mode;
    ParseResult expected;
  } cases[] = {
      {R"({"a":1})", kParseStrictRoot, kParseOk},
      {" \n[1,2]\t ", kParseStrictRoot, kParseOk},
      {"", kParseStrictRoot, kParseSyntaxError},
      {"check_upgrade", kParseStrictRoot, kParseSyntaxError},
      {R"({"a":1} x)", kParseStrictRoot, kParseSyntaxError},
      {"{}{}", kParseStrictRoot, kParseSyntaxError},
      {"5", kParseStrictRoot, kParseRootNotContainer},
      {"5", kParseDefault, kParseOk},
      {"{} // note", kParseStrictRoot, kParseSyntaxError},
      {"{} // note", kParseStrictRoot | kParseAllowComments, kParseOk},
      {R"({"a":1,"a":2})", kParseStrictRoot, kParseDuplicateKey},
      {R"({"p":{"k":1,"k":1}})", kParseStrictRoot, kParseDuplicateKey},
      {R"([{"k":1},{"k":2}])", kParseStrictRoot, kParseOk},
      {"[\"\xff\"]", kParseStrictRoot, kParseSyntaxError},
      {std::string("[1]\0", 4), kParseStrictRoot, kParseSyntaxError},
      {deepest, kParseStrictRoot, kParseOk},
      {std::string(100000, '[') + std::string(100000, ']'), kParseStrictRoot, kParseTooDeep},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 40));
    JsonValue value("left over");
    EXPECT_EQ(Parse(&value, c.text, c.mode), c.expected);
    EXPECT_EQ(value.IsNull(), c.expected != kParseOk);
  }
  // Duplicates pass when not rejected (the last wins); a mode kept in an int is taken too.
  JsonValue value;
  const int mode = kParseStrictRoot;
  ASSERT_EQ(value.ParseFromJson(R"({"a":1,"a":2})", 13, mode, false), kParseOk);
  EXPECT_EQ(value["a"].AsInteger(), 2);
}

TEST(JsonValueTest, LookupsViewMembersAndTypedReadsDefault) {
  JsonValue value;
  ASSERT_EQ(Parse(&value, R"({"s":"text","i":-5,"big":9223372036854775807,
      "huge":18446744073709551615,"d":1.5,"b":true,"n":null,"o":{"k":[1]},"a":[]})"),
            kParseOk);
  const struct {
    const char* key;
    JsonType type;
    int64_t integer;
    std::string text;
    double number;
    bool boolean;
  } cases[] = {
      {"s", JsonType::kString, 0, "text", 0, false},
      {"i", JsonType::kInteger, -5, "", -5, false},
      {"big", JsonType::kInteger, INT64_MAX, "", 9223372036854775807.0, false},
      {"huge", JsonType::kDouble, 0, "", 18446744073709551615.0, false},
      {"d", JsonType::kDouble, 0, "", 1.5, false},
      {"b", JsonType::kBoolean, 0, "", 0, true},
      {"n", JsonType::kNull, 0, "", 0, false},
      {"missing", JsonType::kNull, 0, "", 0, false},
      {"o", JsonType::kObject, 0, "", 0, false},
      {"a", JsonType::kArray, 0, "", 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    std::string flags(7, '0');  // Is* in the order of JsonType
    flags[static_cast<size_t>(c.type)] = '1';
    const auto check = [&](const auto& v) {
      std::string is;
      for (bool b : {v.IsNull(), v.IsBool(), v.IsInteger(), v.IsDouble(), v.IsString(), v.IsArray(),
                     v.IsObject()}) {
        is += b ? '1' : '0';
      }
      EXPECT_EQ(is, flags);
      EXPECT_EQ(v.type(), c.type);
      EXPECT_EQ(v.AsInteger(), c.integer);
      EXPECT_EQ(v.AsString(), c.text);
      EXPECT_EQ(v.AsDouble(), c.number);
      EXPECT_EQ(v.AsBool(), c.boolean);
      EXPECT_EQ(v.HasMember("k"), c.type == JsonType::kObject);
      EXPECT_EQ(v["k"].size(), c.type == JsonType::kObject ? 1u : 0u);
    };
    check(value[c.key]);
    check(JsonValue(value[c.key]));
    EXPECT_EQ(value[c.key].AsStringView(), c.text);
  }
  // A member of a temporary is moved out of it.  Views print as the values they show.
  JsonValue whole = value;
  EXPECT_EQ(std::move(whole)["o"].ToStyledString("\t"), "{\n\t\"k\": [\n\t\t1\n\t]\n}\n");
  EXPECT_EQ(value["o"].ToStyledString(nullptr, kStyleCompact), R"({"k":[1]})");
  EXPECT_EQ(value["o"].ToStyledString("  "), "{\n  \"k\": [\n    1\n  ]\n}\n");
}

TEST(JsonValueTest, BuildsValuesThatRoundTripAsValidJson) {
  JsonValue event;
  event.SetJsonObject("version", "1.0");
  event.SetJsonObject("token", int64_t{-9});
  event.SetJsonObject("token", int64_t{42});
  event.SetJsonObject("flag", JsonValue::Boolean(true));
  event.SetJsonObject("ratio", JsonValue::Double(0.5));
  event.SetJsonObject("path", std::string("/tmp/\xff\xfe.exe"));  // written as U+FFFD
  event.SetJsonObject("tab", std::string_view("a\tb"));
  JsonValue parameters(JsonType::kObject);
  parameters.SetJsonObject("err_code", 0);
  event.SetJsonObject("parameters", parameters);
  EXPECT_EQ(event.size(), 7u);

  JsonValue parsed;
  const std::string text = event.ToStyledString();
  ASSERT_EQ(Parse(&parsed, text), kParseOk) << text;
  EXPECT_EQ(parsed.ToStyledString(nullptr, kStyleCompact),
            "{\"flag\":true,\"parameters\":{\"err_code\":0},\"path\":\"/tmp/"
            "\xEF\xBF\xBD\xEF\xBF\xBD.exe\","
            "\"ratio\":0.5,\"tab\":\"a\\tb\",\"token\":42,\"version\":\"1.0\"}");

  // A scalar becomes an object when a member is set; copies are independent.
  JsonValue scalar(int64_t{3});
  scalar.SetJsonObject("k", 1);
  JsonValue other = scalar;
  other.SetJsonObject("k", 2);
  EXPECT_EQ(scalar["k"].AsInteger(), 1);
  scalar = std::move(other);
  EXPECT_EQ(scalar["k"].AsInteger(), 2);

  // Moving allocates nothing; a moved-from value reads as null and takes new contents.
  JsonValue taken(std::move(scalar));
  EXPECT_EQ(taken["k"].AsInteger(), 2);
  // NOLINTBEGIN(bugprone-use-after-move): the moved-from state is what is tested
  EXPECT_TRUE(scalar.IsNull());
  EXPECT_EQ(JsonValue(scalar).ToStyledString(nullptr, kStyleCompact), "null");
  EXPECT_TRUE(std::move(scalar)["k"].IsNull());
  scalar.SetJsonObject("n", taken);
  // NOLINTEND(bugprone-use-after-move)
  EXPECT_EQ(scalar.ToStyledString(nullptr, kStyleCompact), "{\"n\":{\"k\":2}}");
  JsonValue moved_again(std::move(taken));
  ASSERT_EQ(Parse(&taken, "[1]"), kParseOk);  // NOLINT(bugprone-use-after-move): reused
  EXPECT_EQ(taken.size(), 1u);
}

}  // namespace
}  // namespace base::json
