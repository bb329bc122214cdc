#include "base/log/log.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "base/test/child_process.h"
#include "base/test/file_contents.h"
#include "base/test/log_capture.h"
#include "base/test/temp_dir.h"

namespace {
constexpr char kLogSource[] = "unit_under_test";
}  // namespace

namespace base::log {
namespace {

TEST(LogTest, RecordsCarrySourceLineFunctionAndPieces) {
  test::ScopedLogCapture capture(kLevelTrace);
  const int line = __LINE__ + 1;
  BASE_LOG(kLevelRefused) << "bad  "
                          << "key"
                          << ":" << -12 << " " << uint64_t{18446744073709551615u};
  const auto records = capture.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, 3);
  EXPECT_EQ(records[0].source, "unit_under_test");
  EXPECT_EQ(records[0].line, line);
  EXPECT_EQ(records[0].function, "TestBody");
  EXPECT_EQ(records[0].text, "bad  key:-12 18446744073709551615");
}

TEST(LogTest, RecordsAboveTheLevelAreNotBuilt) {
  test::ScopedLogCapture capture(kLevelNote);
  int evaluated = 0;
  auto piece = [&] {
    ++evaluated;
    return "x";
  };
  BASE_LOG(kLevelTrace) << piece();
  BASE_LOG(kLevelNote) << piece();
  BASE_LOG_FUNCTION(kLevelFailure, "DoUpdateOperation") << piece();
  EXPECT_EQ(evaluated, 2);
  const auto records = capture.records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].function, "DoUpdateOperation");
}

TEST(LogTest, TextIsCutAt1024BytesOutsideUtf8Sequences) {
  test::ScopedLogCapture capture;
  BASE_LOG(kLevelFailure) << std::string(2000, 'a');
  // 1023 ASCII bytes, then a 3-byte character that would straddle the limit.
  BASE_LOG(kLevelFailure) << std::string(1023, 'b') << "\xE2\x82\xAC"
                          << "tail";
  BASE_LOG(kLevelFailure) << std::string(1021, 'c') << "\xE2\x82\xAC"
                          << "tail";
  const auto records = capture.records();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].text, std::string(1024, 'a'));
  EXPECT_EQ(records[1].text, std::string(1023, 'b'));
  EXPECT_EQ(records[2].text, std::string(1021, 'c') + "\xE2\x82\xAC");
}

TEST(LogTest, ControlCharactersAndInvalidUtf8AreShownAsEscapes) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"C:\\T\\p.exe \"q\" caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", ""},  // unchanged
      {"a\nb\rc\td", "a\\nb\\rc\\td"},
      {std::string("\0\x01\x1b[31m\x7f", 8), "\\x00\\x01\\x1b[31m\\x7f"},
      {"\xC2\x85 \xC2\x9B \xE2\x80\xA8 \xE2\x80\xA9", "\\u0085 \\u009b \\u2028 \\u2029"},
      // Bytes that start no valid sequence: stray continuation, overlong "/", a surrogate, past
      // U+10FFFF, a sequence cut short by the end and by a plain byte.
      {"\x80 \xC0\xAF \xED\xA0\x80 \xF4\x90\x80\x80 \xE2\x82",
       "\\x80 \\xc0\\xaf \\xed\\xa0\\x80 \\xf4\\x90\\x80\\x80 \\xe2\\x82"},
      {"\xE2\x82x", "\\xe2\\x82x"},
      {"already \\n escaped \\x1b", ""},  // a backslash stays, so escaping is idempotent
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    test::ScopedLogCapture capture;
    BASE_LOG(kLevelFailure) << c.in;
    ASSERT_EQ(capture.records().size(), 1u);
    EXPECT_EQ(capture.records()[0].text, c.out.empty() ? c.in : c.out);
  }
  // The cut never splits an escape: 1022 bytes leave room for "\n" but not for "\x1b".
  test::ScopedLogCapture capture;
  BASE_LOG(kLevelFailure) << std::string(1022, 'a') << "\n\x1b";
  BASE_LOG(kLevelFailure) << std::string(1023, 'a') << "\n";
  ASSERT_EQ(capture.records().size(), 2u);
  EXPECT_EQ(capture.records()[0].text, std::string(1022, 'a') + "\\n");
  EXPECT_EQ(capture.records()[1].text, std::string(1023, 'a'));
  // A record handed to PrintLog directly is escaped too.
  capture.Clear();
  PrintLog(LogRecord{1, "src\n", 2, "fn\r", "a\nb"});
  ASSERT_EQ(capture.records().size(), 1u);
  EXPECT_EQ(capture.records()[0].source, "src\\n");
  EXPECT_EQ(capture.records()[0].function, "fn\\r");
  EXPECT_EQ(capture.records()[0].text, "a\\nb");
}

// Child role: writes one record whose text tries to forge a second line.
const int kForgerLine = __LINE__ + 2;
const bool kForgerRole = test::RunChildRoleIfAsked("forger", [](const std::string&) {
  BASE_LOG(kLevelFailure) << "path: /tmp/x\n2026-01-01 00:00:00.000 1:1 L1 [fake] line\r\n";
  return 0;
});

TEST(LogTest, ARecordWithLineBreaksIsOneLineInTheFile) {
  test::ScopedTempDir state;
  const char* old_state = std::getenv("XDG_STATE_HOME");
  const std::string saved = old_state != nullptr ? old_state : "";
  setenv("XDG_STATE_HOME", state.path().c_str(), 1);
  const int exit_code = test::WaitForChild(test::SpawnChild("forger", ""));
  if (old_state != nullptr) {
    setenv("XDG_STATE_HOME", saved.c_str(), 1);
  } else {
    unsetenv("XDG_STATE_HOME");
  }
  ASSERT_EQ(exit_code, 0);
  std::vector<std::string> lines;
  for (const auto& entry :
       std::filesystem::directory_iterator(state.path() + "/Halvern/Tavori/logs")) {
    if (entry.path().extension() != ".log") continue;
    std::istringstream in(test::ReadFileToString(entry.path().string()));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
  }
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].ends_with(
      " L1 unit_under_test:" + std::to_string(kForgerLine) +
      " operator(): path: /tmp/x\\n2026-01-01 00:00:00.000 1:1 L1 [fake] line\\r\\n"))
      << lines[0];
}

TEST(LogTest, PointersAndWideText) {
  test::ScopedLogCapture capture;
  BASE_LOG(kLevelFailure) << "ret:" << static_cast<const void*>(nullptr) << " "
                          << reinterpret_cast<const void*>(uintptr_t{0x2a}) << " "
                          << std::wstring(L"C:\\T\\p.exe");
  ASSERT_EQ(capture.records().size(), 1u);
  EXPECT_EQ(capture.records()[0].text, "ret:nullptr 0x000000000000002A C:\\T\\p.exe");
}

}  // namespace
}  // namespace base::log
