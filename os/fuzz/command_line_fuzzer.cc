// libFuzzer target for the Windows command-line splitter. Every input byte is one character.
// The input is split as a command line; then its NUL-separated pieces are taken as arguments,
// quoted the way a Windows program quotes arguments for the C runtime, joined with blanks, and
// must split back into exactly those arguments.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "os/shell.h"

namespace {

void Check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

// |argument| as one argument of a command line: quoted when empty or holding a blank or a quote;
// inside quotes, backslashes double before a quote (which is escaped) and before the closing one.
std::wstring Quote(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) {
    return argument;
  }
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      quoted.append(backslashes * 2 + 1, L'\\');
    } else {
      quoted.append(backslashes, L'\\');
    }
    backslashes = 0;
    quoted.push_back(c);
  }
  quoted.append(backslashes * 2, L'\\');
  quoted.push_back(L'"');
  return quoted;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::wstring line(data, data + size);
  size_t characters = 0;
  for (const std::wstring& argument : os::SplitCommandLine(line)) {
    characters += argument.size();
  }
  Check(characters <= size);

  std::vector<std::wstring> arguments;
  std::wstring joined;
  size_t from = 0;
  while (from <= line.size() && size > 0) {
    const size_t end = line.find(L'\0', from);
    const size_t stop = end == std::wstring::npos ? line.size() : end;
    arguments.push_back(line.substr(from, stop - from));
    joined += (joined.empty() ? L"" : L" ") + Quote(arguments.back());
    from = stop + 1;
  }
  Check(os::SplitCommandLine(joined) == arguments);
  return 0;
}
