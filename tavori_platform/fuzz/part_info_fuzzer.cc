// libFuzzer target for the partial-file record. Checked: a record that parses names all four keys,
// and writing it out again gives a record that parses to the same values.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "src/part_info.h"

namespace {

void Check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

// Whether a line of |text| after the first holds |key|, alone or followed by a space.
bool HasKeyLine(std::string_view text, std::string_view key) {
  size_t at = text.find('\n');
  while (at != std::string_view::npos) {
    const std::string_view line = text.substr(at + 1, text.find('\n', at + 1) - at - 1);
    if (line.starts_with(key) && (line.size() == key.size() || line[key.size()] == ' ')) {
      return true;
    }
    at = text.find('\n', at + 1);
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using tavorisdk::internal::PartInfo;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  PartInfo info;
  if (!tavorisdk::internal::ParsePartInfo(text, &info)) {
    return 0;
  }
  for (const std::string_view key : {"url", "md5", "size", "validator"}) {
    Check(HasKeyLine(text, key));
  }
  PartInfo again;
  Check(tavorisdk::internal::ParsePartInfo(tavorisdk::internal::FormatPartInfo(info), &again));
  Check(again.url == info.url && again.md5 == info.md5 && again.size == info.size &&
        again.validator == info.validator);
  return 0;
}
