#include "os/utf.h"

#include <gtest/gtest.h>

namespace os {
namespace {

TEST(UtfTest, RoundTripsEveryPlane) {
  const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";  // a é € 😀 z
  const std::wstring wide = Utf8ToWide(text);
  EXPECT_EQ(wide.size(), sizeof(wchar_t) == 2 ? 6u : 5u);
  EXPECT_EQ(WideToUtf8(wide), text);
}

TEST(UtfTest, MalformedUtf8BecomesReplacementCharacters) {
  struct Case {
    const char* name;
    std::string input;
    std::wstring expected;
  } cases[] = {
      {"lone continuation", "a\x80z", L"a\uFFFDz"},
      {"truncated at end", "a\xE2\x82", L"a\uFFFD\uFFFD"},
      {"overlong slash", "\xC0\xAF", L"\uFFFD\uFFFD"},
      {"encoded surrogate", "\xED\xA0\x80", L"\uFFFD\uFFFD\uFFFD"},
      {"above U+10FFFF", "\xF4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"bad lead byte", "\xFF", L"\uFFFD"},
      {"embedded NUL kept", std::string("a\0b", 3), std::wstring(L"a\0b", 3)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Utf8ToWide(c.input), c.expected) << c.name;
  }
}

TEST(UtfTest, LoneSurrogatesInWideTextBecomeReplacementCharacters) {
  std::wstring wide = L"x";
  wide.push_back(static_cast<wchar_t>(0xD800));
  wide.push_back(L'y');
  EXPECT_EQ(WideToUtf8(wide), "x\xEF\xBF\xBDy");
}

}  // namespace
}  // namespace os
