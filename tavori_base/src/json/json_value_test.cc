#include "base/json/json_value.h"

#include <gtest/gtest.h>

#include <sstream>
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
  // What each reader gives: type, the Is* flags in the order of JsonType, AsInteger, AsString,
  // AsDouble, AsBool, HasMember("k") and the size of ["k"].
  const auto summary = [](const auto& v) {
    std::ostringstream out;
    out << static_cast<int>(v.type()) << ' ' << v.IsNull() << v.IsBool() << v.IsInteger()
        << v.IsDouble() << v.IsString() << v.IsArray() << v.IsObject() << ' ' << v.AsInteger()
        << " '" << v.AsString() << "' " << v.AsDouble() << ' ' << v.AsBool() << ' '
        << v.HasMember("k") << ' ' << v["k"].size();
    return out.str();
  };
  const std::pair<const char*, const char*> cases[] = {
      {"s", "4 0000100 0 'text' 0 0 0 0"},
      {"i", "2 0010000 -5 '' -5 0 0 0"},
      {"big", "2 0010000 9223372036854775807 '' 9.22337e+18 0 0 0"},
      {"huge", "3 0001000 0 '' 1.84467e+19 0 0 0"},
      {"d", "3 0001000 0 '' 1.5 0 0 0"},
      {"b", "1 0100000 0 '' 0 1 0 0"},
      {"n", "0 1000000 0 '' 0 0 0 0"},
      {"missing", "0 1000000 0 '' 0 0 0 0"},
      {"o", "6 0000001 0 '' 0 0 1 1"},
      {"a", "5 0000010 0 '' 0 0 0 0"},
  };
  for (const auto& [key, expected] : cases) {
    EXPECT_EQ(summary(value[key]), expected) << key;
    EXPECT_EQ(summary(JsonValue(value[key])), expected) << key;
    EXPECT_EQ(value[key].AsStringView(), key == std::string("s") ? "text" : "") << key;
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
