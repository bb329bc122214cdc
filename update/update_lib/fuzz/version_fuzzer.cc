// libFuzzer target for the version comparison and the numeric-text rule. The input is up to
// three versions, one a line. Checked: the comparison is antisymmetric, reflexive on versions
// it accepts, transitive, and never calls two versions of four digit-only pieces malformed; and
// text that is numeric without a point is numeric with one allowed.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "update_operation.h"
#include "value_parsing.h"

namespace {

using UpdateLib::UpdateOperation;

constexpr int32_t kMalformed = UpdateOperation::kVersionMalformed;

void Check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

// Four non-empty pieces of digits only.
bool IsPlainVersion(std::string_view text) {
  int pieces = 1;
  bool empty = true;
  for (const char c : text) {
    if (c == '.') {
      if (empty) {
        return false;
      }
      ++pieces;
      empty = true;
    } else if (c >= '0' && c <= '9') {
      empty = false;
    } else {
      return false;
    }
  }
  return pieces == 4 && !empty;
}

int32_t Compare(const std::string& a, const std::string& b) {
  const int32_t result = UpdateOperation::CompareVersion(a, b);
  Check(result == kMalformed || (result >= -1 && result <= 1));
  Check(!IsPlainVersion(a) || !IsPlainVersion(b) || result != kMalformed);
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> versions;
  size_t from = 0;
  while (versions.size() < 3) {
    const size_t end = input.find('\n', from);
    versions.emplace_back(input.substr(from, end == std::string_view::npos ? end : end - from));
    if (end == std::string_view::npos) {
      break;
    }
    from = end + 1;
  }
  for (const std::string& text : versions) {
    Check(!UpdateLib::IsNumericText(text, false) || UpdateLib::IsNumericText(text, true));
    const int32_t self = Compare(text, text);
    Check(self == UpdateOperation::kVersionEqual || self == kMalformed);
  }
  for (const std::string& a : versions) {
    for (const std::string& b : versions) {
      const int32_t ab = Compare(a, b);
      const int32_t ba = Compare(b, a);
      Check(ab == kMalformed ? ba == kMalformed : ab == -ba);
      for (const std::string& c : versions) {
        const int32_t bc = Compare(b, c);
        if (ab != kMalformed && bc != kMalformed && ab >= 0 && bc >= 0) {
          const int32_t ac = Compare(a, c);
          Check(ac != kMalformed && ac >= 0 && (ac > 0 || (ab == 0 && bc == 0)));
        }
      }
    }
  }
  return 0;
}
