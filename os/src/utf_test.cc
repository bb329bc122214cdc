#include "os/utf.h"

#include <gtest/gtest.h>

namespace os {
namespace {

TEST(UtfTest, RoundTripsEveryPlaneAndReplacesWhatIsMalformed) {
  const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";  // a é € 😀 z
  EXPECT_EQ(Utf8ToWide(text).size(), sizeof(wchar_t) == 2 ? 6u : 5u);
  EXPECT_EQ(WideToUtf8(Utf8ToWide(text)), text);
  const struct {
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
  for (const auto& c : cases) {
    EXPECT_EQ(Utf8ToWide(c.input), c.expected) << c.name;
  }
  // A lone surrogate in wide text.
  EXPECT_EQ(WideToUtf8(std::wstring{L'x', static_cast<wchar_t>(0xD800), L'y'}), "x\xEF\xBF\xBDy");
}

}  // namespace
}  // namespace os
