#include "src/http_headers.h"

#include <charconv>
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

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar (|month| 1-12), so
// that no C library's timegm is needed.
int64_t DaysFromCivil(int64_t year, int month, int day) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t year_of_era = year - era * 400;
  const int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
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
  // HTTP's numbers are digits only: a sign would let a server announce a negative size.
  if (text.empty() || text.front() < '0' || text.front() > '9') {
    return -1;
  }
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
  int day = 0;
  int year = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  if (weekday < 0 || month < 0 || !ParseDigits(value, 5, 2, &day) ||
      !ParseDigits(value, 12, 4, &year) || !ParseDigits(value, 17, 2, &hour) ||
      !ParseDigits(value, 20, 2, &minute) || !ParseDigits(value, 23, 2, &second) || hour > 23 ||
      minute > 59 || second > 60 || day < 1 || day > DaysInMonth(year, month + 1)) {
    return std::nullopt;
  }
  const int64_t days = DaysFromCivil(year, month + 1, day);
  // 1970-01-01 was a Thursday; the named weekday must be the date's.
  constexpr int64_t kThursday = 4;
  if (((days % 7 + 7 + kThursday) % 7) != weekday) {
    return std::nullopt;
  }
  constexpr int64_t kSecondsPerDay = 86400;
  constexpr int64_t kMillisecondsPerSecond = 1000;
  const int64_t seconds = days * kSecondsPerDay + hour * 3600 + minute * 60 + second;
  return seconds * kMillisecondsPerSecond;
}

}  // namespace tavorisdk::internal
