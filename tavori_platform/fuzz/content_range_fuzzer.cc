// libFuzzer target for the response headers the downloads act on: the input is one header line.
// Its value goes through the Content-Range, Content-Length and Date readers. Checked: a number
// that is not there reads as -1 and never as another negative; a Content-Range made of numbers
// from the input reads back as those numbers; a date that parses lies on a whole second.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "src/http_headers.h"

namespace {

void Check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using tavorisdk::internal::ContentRange;
  using tavorisdk::internal::HeaderNameIs;
  using tavorisdk::internal::HeaderValue;
  using tavorisdk::internal::ParseContentRange;
  using tavorisdk::internal::ParseHttpDate;
  using tavorisdk::internal::ParseLeadingInt64;
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  HeaderNameIs(line, "content-range");
  const std::string_view value = HeaderValue(line);
  Check(value.size() <= line.size());

  const ContentRange range = ParseContentRange(value);
  Check(range.start >= -1 && range.total >= -1);
  Check(ParseLeadingInt64(value) >= -1);
  if (const std::optional<int64_t> date = ParseHttpDate(value)) {
    Check(*date % 1000 == 0);
  }

  if (size >= 16) {
    int64_t start;
    int64_t total;
    __builtin_memcpy(&start, data, sizeof(start));
    __builtin_memcpy(&total, data + 8, sizeof(total));
    start = start < 0 ? -(start + 1) : start;
    total = total < 0 ? -(total + 1) : total;
    const std::string made = "bytes " + std::to_string(start) + "-" + std::to_string(total) + "/" +
                             std::to_string(total);
    const ContentRange read = ParseContentRange(made);
    Check(read.start == start && read.total == total);
  }
  return 0;
}
