#include "base/log/log.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "base/test/log_capture.h"

namespace {
constexpr char kLogSource[] = "unit_under_test";
}  // namespace

namespace base::log {
namespace {

TEST(LogTest, RecordsCarryLevelSourceLineFunctionAndPieces) {
  test::ScopedLogCapture capture(kLevelNote);
  int evaluated = 0;
  auto piece = [&] { return ++evaluated, "x"; };
  // NOLINTNEXTLINE(performance-no-int-to-ptr): a made-up address, only printed
  const void* const address = reinterpret_cast<const void*>(uintptr_t{0x2a});
  const int line = __LINE__ + 1;
  BASE_LOG(kLevelRefused) << "bad  "
                          << "key" << ':' << -12 << " " << uint64_t{18446744073709551615u} << " "
                          << true << static_cast<const void*>(nullptr) << " " << address << " "
                          << std::wstring(L"C:\\T\\p.exe") << static_cast<const char*>(nullptr);
  BASE_LOG(kLevelTrace) << piece();  // above the level: not built
  BASE_LOG_FUNCTION(kLevelNote, "DoUpdateOperation") << piece();
  EXPECT_EQ(evaluated, 1);
  const auto records = capture.records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].level, kLevelRefused);
  EXPECT_EQ(records[0].source, "unit_under_test");
  EXPECT_EQ(records[0].line, line);
  EXPECT_EQ(records[0].function, "TestBody");
  EXPECT_EQ(records[0].text,
            "bad  key:-12 18446744073709551615 1nullptr 0x000000000000002A C:\\T\\p.exenullptr");
  EXPECT_EQ(records[1].function, "DoUpdateOperation");
}

TEST(LogTest, TextIsEscapedAndCutAt1024BytesOutsideCharactersAndEscapes) {
  const std::string a1022(1022, 'a');
  const std::string a1023(1023, 'a');
  const struct {
    std::vector<std::string> pieces;
    std::string out;  // "" when the text stays as it is
  } cases[] = {
      {{"C:\\T\\p.exe \"q\" caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"}, ""},
      {{"a\nb\rc\td"}, R"(a\nb\rc\td)"},
      {{std::string("\0\x01\x1b[31m\x7f", 8)}, R"(\x00\x01\x1b[31m\x7f)"},
      {{"\xC2\x85 \xC2\x9B \xE2\x80\xA8 \xE2\x80\xA9"}, R"(\u0085 \u009b \u2028 \u2029)"},
      // Bytes that start no valid sequence: stray continuation, overlong "/", a surrogate, past
      // U+10FFFF, a sequence cut short by the end and by a plain byte.
      {{"\x80 \xC0\xAF \xED\xA0\x80 \xF4\x90\x80\x80 \xE2\x82"},
       R"(\x80 \xc0\xaf \xed\xa0\x80 \xf4\x90\x80\x80 \xe2\x82)"},
      {{"\xE2\x82x"}, "\\xe2\\x82x"},
      {{"already \\n escaped \\x1b"}, ""},  // a backslash stays, so escaping is idempotent
      {{std::string(2000, 'a')}, std::string(1024, 'a')},
      // A character or an escape that would straddle the limit is left out, and so is the rest.
      {{a1023, "\xE2\x82\xAC", "tail"}, a1023},
      {{a1022.substr(1), "\xE2\x82\xAC", "tail"}, a1022.substr(1) + "\xE2\x82\xAC"},
      {{a1022, "\n\x1b"}, a1022 + "\\n"},
      {{a1023, "\n"}, a1023},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pieces[0].substr(0, 40));
    test::ScopedLogCapture capture;
    {
      LogWriter writer(kLevelFailure, kLogSource, 1, "f");
      for (const std::string& piece : c.pieces) {
        writer << piece;
      }
    }
    ASSERT_EQ(capture.records().size(), 1u);
    EXPECT_EQ(capture.records()[0].text, c.out.empty() ? c.pieces[0] : c.out);
  }
  // A record handed to PrintLog directly is escaped too.
  test::ScopedLogCapture capture;
  PrintLog(LogRecord{kLevelFailure, "src\n", 2, "fn\r", "a\nb"});
  ASSERT_EQ(capture.records().size(), 1u);
  EXPECT_EQ(capture.records()[0].source, "src\\n");
  EXPECT_EQ(capture.records()[0].function, "fn\\r");
  EXPECT_EQ(capture.records()[0].text, "a\\nb");

  // Nothing is thrown out of a log call, not even what the observer throws.
  SetLogObserver([](const LogRecord& /*record*/) { throw std::runtime_error("observer"); });
  EXPECT_NO_THROW(BASE_LOG(kLevelFailure) << "observed");
  EXPECT_NO_THROW(PrintLog(LogRecord{kLevelFailure, "src", 3, "fn", "observed"}));
  SetLogObserver({});
}

}  // namespace
}  // namespace base::log
