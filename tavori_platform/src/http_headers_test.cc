#include "src/http_headers.h"

#include <gtest/gtest.h>

#include <optional>
#include <string_view>

namespace tavorisdk::internal {
namespace {

TEST(HttpHeadersTest, NamesValuesLengthsAndRanges) {
  EXPECT_TRUE(HeaderNameIs("content-length: 12\r\n", "Content-Length"));
  EXPECT_FALSE(HeaderNameIs("ETags: x\r\n", "ETag"));
  EXPECT_FALSE(HeaderNameIs("ETag\r\n", "ETag"));
  EXPECT_EQ(HeaderValue("ETag:\t\"v1\" \r\n"), "\"v1\"");
  EXPECT_EQ(HeaderValue("Date:\r\n"), "");
  EXPECT_EQ(HeaderValue("ETag\r\n"), "");
  EXPECT_EQ(ParseLeadingInt64("1234"), 1234);
  EXPECT_EQ(ParseLeadingInt64("x"), -1);
  EXPECT_EQ(ParseLeadingInt64("-5"), -1);
  EXPECT_EQ(ParseLeadingInt64("99999999999999999999"), -1);
  struct Case {
    std::string_view value;
    int64_t start, total;
  };
  for (const Case& c :
       {Case{"bytes 100-199/200", 100, 200}, Case{"bytes 0-9/*", 0, -1},
        Case{"bytes */200", -1, -1}, Case{"items 1-2/3", -1, -1}, Case{"bytes 1/2-3", -1, -1},
        Case{"bytes 5-", -1, -1}, Case{"bytes 5-10/-7", 5, -1}}) {
    EXPECT_EQ(ParseContentRange(c.value).start, c.start) << c.value;
    EXPECT_EQ(ParseContentRange(c.value).total, c.total) << c.value;
  }
}

TEST(HttpHeadersTest, OnlyTheFixedDateFormIsRead) {
  EXPECT_EQ(ParseHttpDate("Sun, 06 Nov 1994 08:49:37 GMT"), 784111777000);
  EXPECT_EQ(ParseHttpDate("Thu, 01 Jan 1970 00:00:00 GMT"), 0);
  EXPECT_EQ(ParseHttpDate("Tue, 29 Feb 2028 23:59:59 GMT"), 1835481599000);
  for (std::string_view bad : {
           "Sunday, 06-Nov-94 08:49:37 GMT",  // the obsolete forms
           "Sun Nov  6 08:49:37 1994",
           "Mon, 06 Nov 1994 08:49:37 GMT",  // wrong weekday
           "Sun, 06 Nov 1994 08:49:37 UTC",
           "Sun, 06 Nov 1994 24:49:37 GMT",
           "Sun, 31 Feb 1994 08:49:37 GMT",  // no such day
           "Sun, 6 Nov 1994 08:49:37 GMT",
           "Sun, 0x Nov 1994 08:49:37 GMT",
           "Sun, 06 Nov 1994 08:49:37 GMT ",
       }) {
    EXPECT_EQ(ParseHttpDate(bad), std::nullopt) << bad;
  }
}

}  // namespace
}  // namespace tavorisdk::internal
