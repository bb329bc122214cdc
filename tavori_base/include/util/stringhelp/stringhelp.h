// String helpers.  Pure functions; any thread.

#ifndef UTIL_STRINGHELP_STRINGHELP_H_
#define UTIL_STRINGHELP_STRINGHELP_H_

#include <string>
#include <string_view>
#include <vector>

namespace util::stringhelp {

// Splits |text| at every occurrence of |separator|, keeping empty pieces: "1..2" gives
// {"1", "", "2"}, "" gives {""}.  An empty separator gives {text}.
std::vector<std::string> Split(std::string_view text, std::string_view separator);

// |text| with its ASCII upper-case letters in lower case; every other byte unchanged (so UTF-8
// stays valid and no locale is consulted).
std::string ToLowerAscii(std::string_view text);

// UTF-8 to the platform's wide strings and back; ill-formed sequences become U+FFFD.
std::wstring StringToWString(std::string_view utf8);
std::string UnicodeToUtf8(std::wstring_view wide);

}  // namespace util::stringhelp

#endif  // UTIL_STRINGHELP_STRINGHELP_H_
