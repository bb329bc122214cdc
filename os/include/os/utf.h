// Conversions between UTF-8 and the platform's wide strings (UTF-16 where wchar_t has 16 bits,
// UTF-32 where it has 32).  Ill-formed input never fails: each bad sequence becomes U+FFFD.
// Pure functions; any thread.

#ifndef OS_UTF_H_
#define OS_UTF_H_

#include <string>
#include <string_view>

namespace os {

std::wstring Utf8ToWide(std::string_view utf8);
std::string WideToUtf8(std::wstring_view wide);

}  // namespace os

#endif  // OS_UTF_H_
