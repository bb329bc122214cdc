#include "value_parsing.h"

namespace UpdateLib {

bool IsNumericText(std::string_view text, bool allow_point) {
  if (text.empty()) {
    return false;
  }
  bool seen_point = !allow_point;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c >= '0' && c <= '9') {
      continue;
    }
    if (c == '.' && !seen_point) {
      seen_point = true;
      continue;
    }
    if (c == '-' && i == 0) {
      continue;
    }
    return false;
  }
  return true;
}

}  // namespace UpdateLib
