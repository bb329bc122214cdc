// libFuzzer target for the registry stand-in's file reader: the whole input is the file, looked
// up for a named value and for a key's default value. Checked: nothing is found in a file without
// the header; the UTF-16 decoder keeps one unit per two bytes (an odd last byte is a unit of its
// own, a surrogate pair one character of two units).

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "src/internal/reg_file_posix.h"

namespace {

void Check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

constexpr std::wstring_view kKey = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvern\\Tavori";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using os::internal::LookUpRegFileValue;
  using os::internal::RegFileLookup;
  using os::internal::UpperCase;
  using os::internal::Utf16Length;
  using os::internal::Utf16LeToWide;
  const std::string_view file(reinterpret_cast<const char*>(data), size);
  for (const std::wstring_view name :
       {std::wstring_view(L"SilentInstallVersion"), std::wstring_view()}) {
    const RegFileLookup lookup = LookUpRegFileValue(file, kKey, name);
    Check(lookup.recognised || !lookup.value.has_value());
  }
  Check(Utf16Length(Utf16LeToWide(file)) == (size + 1) / 2);
  UpperCase(Utf16LeToWide(file));
  return 0;
}
