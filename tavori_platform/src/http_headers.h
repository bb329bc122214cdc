// Reading the HTTP response headers the SDK acts on, one header line at a time as libcurl hands
// them over: the name test, the value, Content-Length, Content-Range and the Date.  Pure
// functions; any thread.

#ifndef TAVORI_PLATFORM_SRC_HTTP_HEADERS_H_
#define TAVORI_PLATFORM_SRC_HTTP_HEADERS_H_

#include <cstdint>
#include <optional>
#include <string_view>

namespace tavorisdk::internal {

// Case-insensitive ASCII comparison of a header line's name with |name|.
bool HeaderNameIs(std::string_view line, std::string_view name);
// The value of the header line |line| (after the colon, trimmed), or "" when it has none.
std::string_view HeaderValue(std::string_view line);

// The decimal number at the start of |text| (a Content-Length): digits only, no sign; -1 when
// there is none or it does not fit.
int64_t ParseLeadingInt64(std::string_view text);

// START and TOTAL of a Content-Range value "bytes START-END/TOTAL"; each is -1 when it is not a
// number (TOTAL is "*" when the server does not know it), both when the value has another form.
struct ContentRange {
  int64_t start = -1;
  int64_t total = -1;
};
ContentRange ParseContentRange(std::string_view value);

// Milliseconds since the Unix epoch of an HTTP date in the preferred form
// ("Sun, 06 Nov 1994 08:49:37 GMT"), or nothing when |value| is not exactly that.
std::optional<int64_t> ParseHttpDate(std::string_view value);

}  // namespace tavorisdk::internal

#endif  // TAVORI_PLATFORM_SRC_HTTP_HEADERS_H_
