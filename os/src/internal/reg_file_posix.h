// The reader of the registry stand-in's text file: the Registry Editor's export
// format, applied from top to bottom as an import would apply it.  Private to
// the OS layer.
//
// Pure functions over the bytes they are given; any thread.  The input is
// untrusted: every function is linear in its size, never reads outside it, and
// never fails on malformed text (the lines that do not parse are skipped).

#ifndef OS_SRC_INTERNAL_REG_FILE_POSIX_H_
#define OS_SRC_INTERNAL_REG_FILE_POSIX_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace os::internal {

// Registry value types, numbered as Windows numbers them.
inline constexpr uint32_t kRegNone = 0;
inline constexpr uint32_t kRegSz = 1;
inline constexpr uint32_t kRegExpandSz = 2;
inline constexpr uint32_t kRegBinary = 3;
inline constexpr uint32_t kRegDword = 4;
inline constexpr uint32_t kRegMultiSz = 7;
inline constexpr uint32_t kRegQword = 11;

// One value as the registry stores it: strings are UTF-16LE bytes with their
// terminating NUL.
struct RegFileValue {
  uint32_t type = kRegNone;
  std::vector<uint8_t> data;
};

struct RegFileLookup {
  // Whether the text starts with a Registry Editor header; nothing else is read
  // when it does not.
  bool recognised = false;
  // The value as the file leaves it; empty when it was never set, or removed
  // since.
  std::optional<RegFileValue> value;
};

// Applies the .reg file |file| (its raw bytes: UTF-16LE with a byte-order mark,
// or UTF-8) and reports what value |name| ("" for the default value) of |key|
// holds afterwards.  |key| is the full key path, root key name first
// ("HKEY_LOCAL_MACHINE\SOFTWARE\..."); key paths and value names compare
// case-insensitively.
RegFileLookup LookUpRegFileValue(std::string_view file, std::wstring_view key,
                                 std::wstring_view name);

// Decodes UTF-16LE bytes into a wide string.  An odd last byte counts as a unit
// of its own (high byte zero); unpaired surrogates become U+FFFD.
std::wstring Utf16LeToWide(std::string_view bytes);

// The number of UTF-16 units that |text| takes.
size_t Utf16Length(std::wstring_view text);

// |text| upper-cased character by character (simple Unicode mappings), the way
// the registry compares names.
std::wstring UpperCase(std::wstring_view text);

}  // namespace os::internal

#endif  // OS_SRC_INTERNAL_REG_FILE_POSIX_H_
