// The OS layer's Win32 backend under Wine: paths and their MAX_PATH limits, folders, the module,
// registry values written with reg.exe, the trust verdicts on the signing code's sample
// installers, the installer's share mode and its start through the shell, and the COM path
// without a registered server.  Wine's WinVerifyTrust does not judge whether a root is trusted, so
// the untrusted-root cases stay in the POSIX tests.

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "os/com.h"
#include "os/folders.h"
#include "os/installer_file.h"
#include "os/module.h"
#include "os/path.h"
#include "os/registry.h"
#include "os/shell.h"
#include "os/trust.h"

namespace os {
namespace {

namespace fs = std::filesystem;

// Started through the shell by the test below: "--tavori-signal=<event name>" sets that event.
const bool kSignalRole = [] {
  const std::wstring line = ::GetCommandLineW();
  const size_t at = line.find(L"--tavori-signal=");
  if (at == std::wstring::npos) {
    return false;
  }
  const std::wstring name = line.substr(at + 16, line.find(L' ', at) - at - 16);
  HANDLE event = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str());
  ::ExitProcess(event != nullptr && ::SetEvent(event) ? 0 : 1);
}();

// A fresh directory in the user's temporary directory, removed with its contents.
class TempDir {
 public:
  TempDir()
      : path_(fs::temp_directory_path() /
              ("os_win_test_" + std::to_string(::GetCurrentProcessId()) + "_" +
               std::to_string(::GetTickCount64()))) {
    fs::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::wstring Child(const std::wstring& name) const { return (path_ / name).wstring(); }

 private:
  fs::path path_;
};

TEST(OsWinTest, PathHelpersAndTheirMaxPathLimit) {
  const struct {
    std::wstring path, more, appended;  // "" when PathAppend must fail
  } appends[] = {
      {L"C:\\Client", L"1.2.3.4", L"C:\\Client\\1.2.3.4"},
      {L"C:\\Client\\", L"\\Temp\\tavori", L"C:\\Client\\Temp\\tavori"},
      {L"C:\\" + std::wstring(250, L'a'), std::wstring(5, L'b'),
       L"C:\\" + std::wstring(250, L'a') + L"\\bbbbb"},                 // 259 characters: fits
      {L"C:\\" + std::wstring(250, L'a'), std::wstring(6, L'b'), L""},  // 260: does not
  };
  for (const auto& c : appends) {
    std::wstring path = c.path;
    EXPECT_EQ(PathAppend(&path, c.more), !c.appended.empty()) << c.more.size();
    EXPECT_EQ(path, c.appended.empty() ? c.path : c.appended);
  }
  std::wstring exe = L"C:\\Client\\Host.exe";
  EXPECT_TRUE(PathRemoveFileSpec(&exe));
  EXPECT_EQ(exe, L"C:\\Client");
  std::wstring root = L"C:\\";
  EXPECT_FALSE(PathRemoveFileSpec(&root));
  EXPECT_EQ(root, L"C:\\");
  EXPECT_EQ(PathFindFileName(L"C:\\Client\\1.2.3.4"), L"1.2.3.4");
}

TEST(OsWinTest, FoldersModuleAndTheFlagFile) {
  const Result<std::wstring> windows = GetWindowsDirectory();
  ASSERT_TRUE(windows.ok()) << windows.error();
  EXPECT_EQ(::lstrcmpiW(windows.value().c_str(), L"C:\\windows"), 0);
  const Result<std::wstring> temp = GetTempDirectory();
  ASSERT_TRUE(temp.ok());
  EXPECT_EQ(temp.value().back(), L'\\');
  for (const Result<std::wstring>& folder :
       {GetRoamingAppDataDirectory(), GetUserStateDirectory()}) {
    ASSERT_TRUE(folder.ok());
    EXPECT_TRUE(PathFileExists(folder.value())) << folder.value();
  }
  const Result<ModuleHandle> module =
      GetModuleHandleFromAddress(reinterpret_cast<const void*>(&GetModuleFileName));
  ASSERT_TRUE(module.ok());
  const Result<std::wstring> exe = GetModuleFileName(module.value());
  ASSERT_TRUE(exe.ok());
  EXPECT_EQ(PathFindFileName(exe.value()), L"os_win_test.exe");
  EXPECT_EQ(GetModuleFileName(nullptr).value(), exe.value());  // a static test program

  // Only existence counts: a directory named like the flag is a flag.
  TempDir dir;
  const std::wstring flag = dir.Child(L"error_flag");
  EXPECT_FALSE(PathFileExists(flag));
  fs::create_directory(flag);
  EXPECT_TRUE(PathFileExists(flag));
  EXPECT_FALSE(PathFileExists(L""));

  // The private directory: made for the user alone, accepted again; a file in its place is not.
  const std::wstring private_dir = dir.Child(L"Halvern");
  EXPECT_EQ(EnsurePrivateDirectory(private_dir), kErrorSuccess);
  EXPECT_TRUE(fs::is_directory(private_dir));
  EXPECT_EQ(EnsurePrivateDirectory(private_dir + L"\\"), kErrorSuccess);
  std::ofstream(fs::path(dir.Child(L"file"))).put('x');
  EXPECT_EQ(EnsurePrivateDirectory(dir.Child(L"file")), kErrorAccessDenied);
  // (A directory that others may write to is refused on Windows by its DACL; Wine derives a
  // file's DACL from its Unix mode, so that case is tested on POSIX only.)
}

TEST(OsWinTest, RegistryStringsWrittenWithRegExe) {
  const std::wstring key = L"SOFTWARE\\Halvern\\TavoriOsWinTest";
  const struct {
    const wchar_t* add;  // reg.exe add arguments after the value name; null: not written
    size_t buffer_chars;
    ErrorCode error;
    std::wstring value;
  } cases[] = {
      {L"/t REG_SZ /d 3.2.0.1", 260, kErrorSuccess, L"3.2.0.1"},
      {L"/t REG_SZ /d \"\"", 260, kErrorSuccess, L""},
      {L"/t REG_DWORD /d 7", 260, kErrorUnsupportedType, L""},
      {L"/t REG_SZ /d 1234567890", 10, kErrorMoreData, L""},  // 11 with its NUL
      {L"/t REG_SZ /d 123456789", 10, kErrorSuccess, L"123456789"},
      {nullptr, 260, kErrorFileNotFound, L""},
  };
  int index = 0;
  for (const auto& c : cases) {
    const std::wstring name = L"Value" + std::to_wstring(index++);
    if (c.add != nullptr) {
      const std::wstring command =
          L"reg add HKLM\\" + key + L" /v " + name + L" " + c.add + L" /f >NUL";
      ASSERT_EQ(::_wsystem(command.c_str()), 0) << command;
    }
    const Result<std::wstring> read =
        RegGetString(RegistryRoot::kLocalMachine, key, name, c.buffer_chars);
    EXPECT_EQ(read.error(), c.error) << name;
    if (read.ok()) {
      EXPECT_EQ(read.value(), c.value) << name;
    }
  }
  ::_wsystem((L"reg delete HKLM\\" + key + L" /f >NUL").c_str());
}

std::wstring Sample(const wchar_t* name) {
  return fs::path(TAVORI_WIN_TRUST_SAMPLES).wstring() + L"\\" + name;
}

TEST(OsWinTest, TrustVerdictsOnSignedUnsignedAndTamperedInstallers) {
  const struct {
    const wchar_t* sample;
    std::wstring signer;
  } cases[] = {
      {L"signed.exe", L"Halvern Technology (Ostervik) Company Limited"},
      {L"other-publisher.exe", L"Halvern Technology (Ostervik) Company"},
      {L"unsigned.exe", L""},
      {L"tampered.exe", L""},
      {L"missing.exe", L""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(GetVerifiedSignerName(InstallerFile::Open(Sample(c.sample))), c.signer) << c.sample;
  }
}

TEST(OsWinTest, OpenedInstallerCannotBeChangedAndStartsThroughTheShell) {
  TempDir dir;
  const std::wstring installer = dir.Child(L"installer.exe");
  ASSERT_TRUE(fs::copy_file(GetModuleFileName(nullptr).value(), installer));
  {
    const InstallerFile file = InstallerFile::Open(installer);
    ASSERT_TRUE(file.is_open());
    // While it is held: no writer, no rename, no delete.
    HANDLE writer = ::CreateFileW(installer.c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(::MoveFileW(installer.c_str(), dir.Child(L"other.exe").c_str()));
    EXPECT_FALSE(::DeleteFileW(installer.c_str()));

    const std::wstring event_name = L"os_win_test_" + std::to_wstring(::GetCurrentProcessId());
    HANDLE started = ::CreateEventW(nullptr, TRUE, FALSE, event_name.c_str());
    ASSERT_NE(started, nullptr);
    EXPECT_TRUE(ShellStartSucceeded(ShellExecute(file, L"--tavori-signal=" + event_name)));
    EXPECT_EQ(::WaitForSingleObject(started, 60000), WAIT_OBJECT_0);
    ::CloseHandle(started);
  }
  EXPECT_EQ(ShellExecute(InstallerFile::Open(dir.Child(L"missing.exe")), L""),
            kShellErrorFileNotFound);
  EXPECT_EQ(ShellExecute(InstallerFile::Open(dir.Child(L"no\\such\\dir.exe")), L""),
            kShellErrorPathNotFound);
}

TEST(OsWinTest, PrivilegedInstallerWithoutARegisteredServer) {
  EXPECT_FALSE(com::Failed(com::Initialize()));
  std::unique_ptr<com::PrivilegedInstaller> instance;
  EXPECT_EQ(com::CreatePrivilegedInstaller(com::kPrivilegedInstallerClassId,
                                           com::kPrivilegedInstallerInterfaceId, &instance),
            com::kRegdbEClassNotReg);
  EXPECT_EQ(instance, nullptr);
}

}  // namespace
}  // namespace os
