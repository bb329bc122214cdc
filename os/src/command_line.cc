#include "os/shell.h"

namespace os {
namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

}  // namespace

std::vector<std::wstring> SplitCommandLine(std::wstring_view line) {
  std::vector<std::wstring> arguments;
  size_t i = 0;
  while (true) {
    while (i < line.size() && IsBlank(line[i])) {
      ++i;
    }
    if (i == line.size()) {
      return arguments;
    }
    std::wstring argument;
    bool quoted = false;
    while (i < line.size() && (quoted || !IsBlank(line[i]))) {
      const wchar_t c = line[i];
      if (c == L'\\') {
        size_t backslashes = 0;
        while (i < line.size() && line[i] == L'\\') {
          ++backslashes;
          ++i;
        }
        if (i < line.size() && line[i] == L'"') {
          argument.append(backslashes / 2, L'\\');
          if (backslashes % 2 == 1) {
            argument.push_back(L'"');
            ++i;
          }
          // With an even count the quote is left for the next round, where it quotes.
        } else {
          argument.append(backslashes, L'\\');
        }
        continue;
      }
      if (c == L'"') {
        if (quoted && i + 1 < line.size() && line[i + 1] == L'"') {
          argument.push_back(L'"');
          i += 2;
        } else {
          quoted = !quoted;
          ++i;
        }
        continue;
      }
      argument.push_back(c);
      ++i;
    }
    arguments.push_back(std::move(argument));
  }
}

}  // namespace os
