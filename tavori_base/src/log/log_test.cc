#include "base/log/log.h"

#include <gtest/gtest.h>

#include "base/test/log_capture.h"

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
