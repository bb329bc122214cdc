#include "util/stringhelp/stringhelp.h"

#include "os/utf.h"

namespace util::stringhelp {

std::string ToLowerAscii(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return lower;
}

std::vector<std::string> Split(std::string_view text, std::string_view separator) {
  std::vector<std::string> pieces;
  if (separator.empty()) {
    pieces.emplace_back(text);
    return pieces;
  }
  size_t start = 0;
  while (true) {
    const size_t found = text.find(separator, start);
    if (found == std::string_view::npos) {
      pieces.emplace_back(text.substr(start));
      return pieces;
    }
    pieces.emplace_back(text.substr(start, found - start));
    start = found + separator.size();
  }
}

std::wstring StringToWString(std::string_view utf8) { return os::Utf8ToWide(utf8); }

std::string UnicodeToUtf8(std::wstring_view wide) { return os::WideToUtf8(wide); }

}  // namespace util::stringhelp
