#include "src/http_headers.h"

#include <charconv>
#include <ctime>
#include <string_view>

namespace tavorisdk::internal {
namespace {

constexpr std::string_view kRangeUnit = "bytes ";

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Exactly |digits| decimal digits at |text|[at].
bool ParseDigits(std::string_view text, size_t at, size_t digits, int* out) {
  int value = 0;
  for (size_t i = at; i < at + digits; ++i) {
    if (text[i] < '0' || text[i] > '9') {
      return false;
    }
    value = value * 10 + (text[i] - '0');
  }
  *out = value;
  return true;
}

}  // namespace

bool HeaderNameIs(std::string_view line, std::string_view name) {
  if (line.size() <= name.size() || line[name.size()] != ':') {
    return false;
  }
  for (size_t i = 0; i < name.size(); ++i) {
    if (LowerAscii(line[i]) != LowerAscii(name[i])) {
      return false;
    }
  }
  return true;
}

std::string_view HeaderValue(std::string_view line) {
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos) {
    return {};
  }
  std::string_view value = line.substr(colon + 1);
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
    value.remove_prefix(1);
  }
  while (!value.empty() && (value.back() == '\r' || value.back() == '\n' || value.back() == ' ' ||
                            value.back() == '\t')) {
    value.remove_suffix(1);
  }
  return value;
}

int64_t ParseLeadingInt64(std::string_view text) {
  int64_t value = -1;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  return result.ec == std::errc() ? value : -1;
}

ContentRange ParseContentRange(std::string_view value) {
  ContentRange range;
  if (!value.starts_with(kRangeUnit)) {
    return range;
  }
  value.remove_prefix(kRangeUnit.size());
  const size_t dash = value.find('-');
  const size_t slash = value.find('/');
  if (dash != std::string_view::npos && slash != std::string_view::npos && dash < slash) {
    range.start = ParseLeadingInt64(value.substr(0, dash));
    range.total = ParseLeadingInt64(value.substr(slash + 1));
  }
  return range;
}

std::optional<int64_t> ParseHttpDate(std::string_view value) {
  // "Sun, 06 Nov 1994 08:49:37 GMT": fixed positions, English names, always GMT.
  static constexpr std::string_view kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr std::string_view kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  constexpr size_t kLength = 29;
  if (value.size() != kLength || value.substr(3, 2) != ", " || value[7] != ' ' ||
      value[11] != ' ' || value[16] != ' ' || value[19] != ':' || value[22] != ':' ||
      value.substr(25) != " GMT") {
    return std::nullopt;
  }
  int weekday = -1;
  for (int i = 0; i < 7; ++i) {
    if (value.substr(0, 3) == kDays[i]) {
      weekday = i;
    }
  }
  int month = -1;
  for (int i = 0; i < 12; ++i) {
    if (value.substr(8, 3) == kMonths[i]) {
      month = i;
    }
  }
  std::tm tm{};
  if (weekday < 0 || month < 0 || !ParseDigits(value, 5, 2, &tm.tm_mday) ||
      !ParseDigits(value, 12, 4, &tm.tm_year) || !ParseDigits(value, 17, 2, &tm.tm_hour) ||
      !ParseDigits(value, 20, 2, &tm.tm_min) || !ParseDigits(value, 23, 2, &tm.tm_sec) ||
      tm.tm_hour > 23 || tm.tm_min > 59 || tm.tm_sec > 60 || tm.tm_mday < 1) {
    return std::nullopt;
  }
  tm.tm_year -= 1900;
  tm.tm_mon = month;
  const int mday = tm.tm_mday;
  const time_t seconds = ::timegm(&tm);
  // timegm normalises an impossible day (31 Feb) into the next month, and fills in the weekday.
  if (seconds == static_cast<time_t>(-1) || tm.tm_mday != mday || tm.tm_wday != weekday) {
    return std::nullopt;
  }
  constexpr int64_t kMillisecondsPerSecond = 1000;
  return static_cast<int64_t>(seconds) * kMillisecondsPerSecond;
}

}  // namespace tavorisdk::internal
