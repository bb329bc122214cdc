#include <gtest/gtest.h>

#include <optional>

#include "base/test/temp_dir.h"
#include "os/folders.h"
#include "os/path.h"
#include "os/utf.h"

namespace os {
namespace {

TEST(PathPosixTest, AppendTurnsBackslashesIntoSeparatorsWithinMaxPath) {
  const struct {
    std::wstring base;
    std::wstring more;
    std::wstring expected;
  } cases[] = {
      {L"/tmp/", L"\\Halvern\\Tavori\\", L"/tmp/Halvern/Tavori/"},
      {L"/tmp", L"Halvern\\Tavori", L"/tmp/Halvern/Tavori"},
      {L"/a", L"", L"/a"},
      {L"", L"b", L"b"},
  };
  for (const auto& c : cases) {
    std::wstring path = c.base;
    ASSERT_TRUE(PathAppend(&path, c.more));
    EXPECT_EQ(path, c.expected);
  }
  // A result of kMaxPath characters or more is refused and leaves the path alone.
  std::wstring path = L"/" + std::wstring(kMaxPath - 4, L'a');
  const std::wstring before = path;
  EXPECT_FALSE(PathAppend(&path, L"bcd"));
  EXPECT_EQ(path, before);
  EXPECT_TRUE(PathAppend(&path, L"b"));
  EXPECT_EQ(path.size(), kMaxPath - 1);
}

TEST(PathPosixTest, RemoveFileSpecFindFileNameAndFileExists) {
  const struct {
    std::wstring path;
    std::optional<std::wstring> removed;  // nullopt: nothing to remove
    std::wstring file_name;
  } cases[] = {
      {L"/opt/client/3.2.0.1/libupdate_lib.so", L"/opt/client/3.2.0.1", L"libupdate_lib.so"},
      {L"/opt/client/3.2.0.1", L"/opt/client", L"3.2.0.1"},
      {L"/host", L"/", L"host"},  // the root keeps its separator
      {L"/", std::nullopt, L"/"},
      {L"host", L"", L"host"},
      {L"", std::nullopt, L""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PathFindFileName(c.path), c.file_name) << WideToUtf8(c.path);
    std::wstring path = c.path;
    EXPECT_EQ(PathRemoveFileSpec(&path), c.removed.has_value()) << WideToUtf8(c.path);
    EXPECT_EQ(path, c.removed.value_or(c.path));
  }
  const base::test::ScopedTempDir dir;
  EXPECT_TRUE(PathFileExists(Utf8ToWide(dir.path())));
  EXPECT_FALSE(PathFileExists(Utf8ToWide(dir.Child("missing"))));
  EXPECT_FALSE(PathFileExists(L""));
}

}  // namespace
}  // namespace os
