// UpdateOperation's probes of the machine: the install state (the delta-update error flag, the
// silently installed version), read afresh on every call, and the application's paths.

#include "base/log/log.h"
#include "os/folders.h"
#include "os/module.h"
#include "os/path.h"
#include "os/registry.h"
#include "update_operation.h"
#include "util/stringhelp/stringhelp.h"

namespace UpdateLib {
namespace {

constexpr char kLogSource[] = "update_operation";

using base::log::kLevelFailure;
using base::log::kLevelRefused;
using base::log::kLevelTrace;

// The registry value that a silent installation leaves behind.
constexpr wchar_t kSilentInstallKey[] = L"SOFTWARE\\Halvern\\Tavori";
constexpr wchar_t kSilentInstallValue[] = L"SilentInstallVersion";
// Buffers of the Windows path and registry calls, in characters (MAX_PATH).
constexpr size_t kPathBufferChars = 260;

// The delta-update error flag, relative to the Windows directory.
constexpr wchar_t kDeltaUpdateErrorFlag[] = L"Temp\\tavori\\update\\error_flag";

// An object of this module, whose address names the module's file (GetVersionSubPath).
constexpr char kModuleAnchor = 0;

}  // namespace

// --- Install-state probes ---

int32_t UpdateOperation::GetDeltaUpdateErrorFlag() {
  os::Result<std::wstring> windows = os::GetWindowsDirectory();
  if (!windows.ok()) {
    BASE_LOG(kLevelRefused) << "GetWindowsDirectoryW failed, error:" << windows.error();
    return kPatchRefused;
  }
  std::wstring path = windows.value();
  // As on Windows, a path that does not fit is left as it was; the directory then exists.
  (void)os::PathAppend(&path, kDeltaUpdateErrorFlag);
  if (os::PathFileExists(path)) {
    BASE_LOG(kLevelTrace) << "path update error flag exists";
    return kPatchRefused;
  }
  BASE_LOG(kLevelTrace) << "path update error flag not exists";
  return kPatchAllowed;
}

bool UpdateOperation::GetSilentInstalledVersion(std::string* version) {
  os::Result<std::wstring> value = os::RegGetString(
      os::RegistryRoot::kLocalMachine, kSilentInstallKey, kSilentInstallValue, kPathBufferChars);
  if (!value.ok()) {
    BASE_LOG(kLevelRefused) << "get SilentInstallVersion failed, error:" << value.error();
    return false;
  }
  const std::wstring_view text = value.value();
  *version = util::stringhelp::UnicodeToUtf8(text.substr(0, text.find(L'\0')));
  BASE_LOG(kLevelTrace) << "Silent install version:" << *version;
  return true;
}

// --- Application paths ---

bool UpdateOperation::GetAppPath(std::wstring* path) {
  os::Result<std::wstring> executable = os::GetModuleFileName(nullptr);
  if (!executable.ok()) {
    BASE_LOG(kLevelFailure) << "GetModuleFileNameW failed, error:" << executable.error();
    return false;
  }
  std::wstring directory = executable.value();
  if (!os::PathRemoveFileSpec(&directory)) {
    return false;
  }
  *path = directory;
  return true;
}

bool UpdateOperation::GetVersionSubPath(std::wstring* path) {
  os::Result<os::ModuleHandle> module = os::GetModuleHandleFromAddress(&kModuleAnchor);
  if (!module.ok()) {
    BASE_LOG(kLevelFailure) << "GetModuleHandleEx failed, error:" << module.error();
    return false;
  }
  os::Result<std::wstring> file = os::GetModuleFileName(module.value());
  if (!file.ok()) {
    BASE_LOG(kLevelFailure) << "GetModuleFileNameW failed, error:" << file.error();
    return false;
  }
  std::wstring directory = file.value();
  if (!os::PathRemoveFileSpec(&directory)) {
    return false;
  }
  *path = std::wstring(os::PathFindFileName(directory));
  return true;
}

}  // namespace UpdateLib
