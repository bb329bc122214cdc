#include <gtest/gtest.h>

#include "os/shell.h"
#include "os/utf.h"

namespace os {
namespace {

TEST(CommandLineTest, SplitsByTheWindowsRuntimeRules) {
  struct Case {
    std::wstring line;
    std::vector<std::wstring> expected;
  } cases[] = {
      {L"", {}},
      {L"/S /D=x", {L"/S", L"/D=x"}},
      {L"  a\t\tb  ", {L"a", L"b"}},
      {L"\"abc\" d e", {L"abc", L"d", L"e"}},
      {L"a\\\\b d\"e f\"g h", {L"a\\\\b", L"de fg", L"h"}},
      {L"a\\\\\\\"b c d", {L"a\\\"b", L"c", L"d"}},
      {L"a\\\\\\\\\"b c\" d e", {L"a\\\\b c", L"d", L"e"}},
      {L"a\"b\"\" c d", {L"ab\" c d"}},
      {L"\"\"", {L""}},
      {L"\"\"\"\"", {L"\""}},
      {L"\"unclosed quote", {L"unclosed quote"}},
      {L"trailing\\", {L"trailing\\"}},
      {L"\\\"", {L"\""}},
      {L"\"C:\\Program Files\\\\\" next", {L"C:\\Program Files\\", L"next"}},
      {L"/D=C:\\Program Files\\x", {L"/D=C:\\Program", L"Files\\x"}},
      {L"new\nline", {L"new\nline"}},
      {L"caf\u00e9 \U0001F600", {L"caf\u00e9", L"\U0001F600"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SplitCommandLine(c.line), c.expected) << "line: [" << WideToUtf8(c.line) << "]";
  }
}

}  // namespace
}  // namespace os
