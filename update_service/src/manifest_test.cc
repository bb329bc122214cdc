#include "src/manifest.h"

#include <gtest/gtest.h>

namespace update_service {
namespace {

TEST(ManifestTest, VersionsAreFourDecimalNumbers) {
  EXPECT_EQ(ParseVersion("3.2.0.1"), (Version{3, 2, 0, 1}));
  EXPECT_EQ(ParseVersion("4294967295.0.0.0"), (Version{4294967295u, 0, 0, 0}));
  for (const char* bad : {"", "3.2.0", "3.2.0.1.5", "3..0.1", "3.2.0.", "-3.2.0.1", "+3.2.0.1",
                          "3.2.0.1 ", "4294967296.0.0.0", "a.b.c.d"}) {
    EXPECT_EQ(ParseVersion(bad), std::nullopt) << bad;
  }
}

TEST(ManifestTest, MalformedManifestsSayWhy) {
  const struct {
    const char* text;
    const char* error;
  } cases[] = {
      {"[]", "not a JSON object"},
      {R"({"version":"3.3","package":"a","policy":1})", "\"version\""},
      {R"({"version":"3.3.0.0","policy":1})", "are required"},
      {R"({"version":"3.3.0.0","package":"../a","policy":1})", "file name"},
      {R"({"version":"3.3.0.0","package":"a/b","policy":1})", "file name"},
      {R"({"version":"3.3.0.0","package":"a","policy":9})", "0 to 8"},
      {R"({"version":"3.3.0.0","package":"a","policy":1,"rules":{}})", "not an array"},
      {R"({"version":"3.3.0.0","package":"a","policy":1,"rules":[{"when":{"os":1}}]})",
       "rule 1: unknown or malformed condition \"os\""},
      {R"({"version":"3.3.0.0","package":"a","policy":1,"rules":[{},{"when":{"from":"1"}}]})",
       "rule 2: unknown"},
      {R"({"version":"3.3.0.0","package":"a","policy":1,"rules":[{"when":{"appver":"1"}}]})",
       "\"appver\" is not a version"},
      {R"({"version":"3.3.0.0","package":"a","policy":1,"rules":[{"package":".."}]})", "file name"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_EQ(ParseManifest(c.text, &error), std::nullopt) << c.text;
    EXPECT_NE(error.find(c.error), std::string::npos) << c.text << " -> " << error;
  }
}

TEST(ManifestTest, RulesDecideThePolicyAndThePackage) {
  std::string error;
  const std::optional<Manifest> manifest = ParseManifest(R"({
    "version": "3.3.0.0", "package": "full.exe", "policy": 1,
    "rules": [
      {"when": {"appver_below": "3.0.0.0"}, "policy": 3},
      {"when": {"from": 1}, "policy": 2},
      {"when": {"from": null, "appver": "3.2.0.9"}, "policy": 0},
      {"when": {"enable_patch": true, "appver": "3.2.0.1"}, "package": "patch.exe"},
      {"when": {"enable_patch": false}, "policy": 5}
    ]})",
                                                         &error);
  ASSERT_TRUE(manifest) << error;
  const struct {
    const char* appver = "";
    std::optional<int> from;
    int enable_patch = 0;
    int policy = 0;
    const char* package = "";
  } cases[] = {
      {"3.3.0.0", 1, 1, 0, ""},  // up to date: policy 0 whatever the rules say
      {"4.0.0.0", std::nullopt, 0, 0, ""},
      {"2.9.9.9", 1, 0, 3, "full.exe"},  // the first rule setting "policy" wins
      {"3.2.0.1", 1, 1, 2, "patch.exe"},
      {"3.2.0.1", 2, 1, 1, "patch.exe"},
      {"3.2.0.1", 2, 0, 5, "full.exe"},
      {"3.2.0.1", std::nullopt, -1, 1, "patch.exe"},  // any nonzero value allows a patch
      {"3.2.0.9", std::nullopt, 1, 0, ""},
      {"3.2.0.9", 2, 1, 1, "full.exe"},
  };
  for (const auto& c : cases) {
    const std::optional<CheckQuery> query =
        ParseCheckQuery(c.appver, c.from ? std::optional(std::to_string(*c.from)) : std::nullopt,
                        std::to_string(c.enable_patch), &error);
    ASSERT_TRUE(query) << error;
    const Offer offer = Decide(*manifest, *query);
    EXPECT_EQ(offer.policy, c.policy) << c.appver << " from " << c.from.value_or(-1);
    EXPECT_EQ(offer.package, c.package) << c.appver << " from " << c.from.value_or(-1);
  }
}

TEST(ManifestTest, MalformedQueriesAreRefused) {
  std::string error;
  EXPECT_FALSE(ParseCheckQuery(std::nullopt, std::nullopt, std::nullopt, &error));
  EXPECT_FALSE(ParseCheckQuery("3.2.0", std::nullopt, std::nullopt, &error));
  EXPECT_FALSE(ParseCheckQuery("3.2.0.1", "x", std::nullopt, &error));
  EXPECT_FALSE(ParseCheckQuery("3.2.0.1", std::nullopt, "1.5", &error));
  EXPECT_TRUE(ParseCheckQuery("3.2.0.1", std::nullopt, std::nullopt, &error));
}

}  // namespace
}  // namespace update_service
