// Where a Windows user finds the library's records: the local application data folder.

#include <gtest/gtest.h>
#include <shlobj.h>
#include <windows.h>

#include <filesystem>
#include <string>

#include "base/log/log.h"
#include "base/test/file_contents.h"

namespace {
constexpr char kLogSource[] = "log_win_test";
}  // namespace

namespace base::log {
namespace {

TEST(LogWinTest, RecordsGoToTheLocalAppDataLogsFolderUnderTheProgramsName) {
  wchar_t local[MAX_PATH] = {};
  ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, local),
            S_OK);
  const std::filesystem::path file = std::filesystem::path(local) / L"Halvern" / L"Tavori" /
                                     L"logs" / L"tavori_base_win_test.update_lib.log";
  BASE_LOG(kLevelFailure) << "windows log location " << GetCurrentProcessId();
  const std::string text = test::ReadFileToString(file.string());
  EXPECT_NE(text.find("windows log location " + std::to_string(GetCurrentProcessId())),
            std::string::npos)
      << file.string();
}

}  // namespace
}  // namespace base::log
