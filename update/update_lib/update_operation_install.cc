// UpdateOperation's installation: "install" with the caller's rights (after the publisher check)
// or through the privileged installer, and the update process's installation of the package it
// downloaded.

#include "base/log/log.h"
#include "os/com.h"
#include "os/installer_file.h"
#include "os/process.h"
#include "os/shell.h"
#include "os/trust.h"
#include "tavori_common/utils/publisher.h"
#include "update_operation.h"
#include "util/stringhelp/stringhelp.h"

namespace UpdateLib {
namespace {

constexpr char kLogSource[] = "update_operation";

using base::json::JsonValue;
using base::log::kLevelRefused;
using base::log::kLevelTrace;

// The last argument of ExecInstall.
constexpr uint32_t kExecInstallMode = 1;

}  // namespace

// The simple display name of the certificate that validly signed the opened installer |file|, or
// "" when the file is not open or not validly signed or any step fails.  Any thread; no state.
std::wstring GetFileSignerName(const os::InstallerFile& file) {
  return os::GetVerifiedSignerName(file);
}

// Whether the opened installer |file| is validly signed by one of the accepted publishers,
// compared exactly (case and blanks count).
bool IsInstallerPublisherAccepted(const os::InstallerFile& file) {
  return tavori_common::utils::publisher::IsAcceptedPublisher(GetFileSignerName(file));
}

// --- Installation ---

int UpdateOperation::InstallPackage(JsonValue& parameters) {
  std::string install_param;
  std::string package_path;
  std::string package_md5;
  int64_t elevate = 0;
  if (GetCommandParam("install_param", parameters, &install_param) != kResultOk ||
      GetCommandParam("package_path", parameters, &package_path) != kResultOk ||
      GetCommandParam("package_md5", parameters, &package_md5) != kResultOk ||
      GetCommandParam("elevate_privilege", parameters, &elevate) != kResultOk) {
    return kResultBadRequest;
  }
  const std::wstring wide_parameters = util::stringhelp::StringToWString(install_param);
  const std::wstring wide_path = util::stringhelp::StringToWString(package_path);
  const std::wstring wide_md5 = util::stringhelp::StringToWString(package_md5);
  if (elevate == kElevate) {
    int32_t exec_code = 0;
    if (!InstallPackageWithElevationPrivilege(wide_path, wide_parameters, wide_md5, &exec_code)) {
      return static_cast<int32_t>(static_cast<uint32_t>(exec_code) |
                                  static_cast<uint32_t>(kResultElevatedInstallFailed));
    }
    return kResultOk;
  }
  return InstallPackageWithNormalPrivilege(wide_path, wide_parameters) ? kResultOk
                                                                       : kResultInstallerNotStarted;
}

bool UpdateOperation::InstallPackageWithNormalPrivilege(const std::wstring& path,
                                                        const std::wstring& parameters) {
  // Opened once and held until the start: the publisher is checked on, and the shell starts, this
  // open file, so that nobody can swap the file under its name between the check and the start.
  // A file that cannot be opened fails the publisher check.
  const os::InstallerFile installer = os::InstallerFile::Open(path);
  if (!IsInstallerPublisherAccepted(installer)) {
    BASE_LOG(kLevelRefused) << "verify failed.";
    return false;
  }
  const uintptr_t result = os::ShellExecute(installer, parameters);
  if (os::ShellStartSucceeded(result)) {
    BASE_LOG(kLevelTrace) << "shell execute success";
    return true;
  }
  BASE_LOG(kLevelRefused) << "shell execute failed, path:"
                          << util::stringhelp::UnicodeToUtf8(path)
                          // The result is ShellExecute's HINSTANCE, logged as the pointer it is.
                          // NOLINTNEXTLINE(performance-no-int-to-ptr)
                          << "ret:" << reinterpret_cast<const void*>(result);
  return false;
}

bool UpdateOperation::InstallPackageWithElevationPrivilege(const std::wstring& path,
                                                           const std::wstring& parameters,
                                                           const std::wstring& md5,
                                                           int32_t* exec_code) {
  os::com::Initialize();
  std::unique_ptr<os::com::PrivilegedInstaller> installer;
  os::com::HResult result = os::com::CreatePrivilegedInstaller(
      os::com::kPrivilegedInstallerClassId, os::com::kPrivilegedInstallerInterfaceId, &installer);
  if (!os::com::Failed(result) && !installer) {
    result = os::com::kEPointer;
  }
  if (os::com::Failed(result)) {
    BASE_LOG(kLevelRefused) << "create instance failed:" << result;
    *exec_code = result;
    return false;
  }
  const uint32_t session_id = os::GetCurrentSessionId();
  result = installer->ExecInstall(path, parameters, md5, session_id, kExecInstallMode);
  BASE_LOG(kLevelTrace) << "install path: " << util::stringhelp::UnicodeToUtf8(path)
                        << " exec code:" << result;
  *exec_code = result;
  installer.reset();
  if (result == os::com::kSOk) {
    BASE_LOG(kLevelTrace) << "install package success";
    return true;
  }
  BASE_LOG(kLevelRefused) << "install package failed";
  return false;
}

void UpdateOperation::InstallPackageInternal(const std::string& package_path) {
  std::wstring app_path;
  if (!GetAppPath(&app_path)) {
    BASE_LOG(kLevelRefused) << "Get app path error!";
    return;
  }
  std::wstring version_path;
  if (!GetVersionSubPath(&version_path)) {
    BASE_LOG(kLevelRefused) << "Get version sub path error!";
    return;
  }
  // Nothing is quoted: the installer parses these switches itself.
  const std::wstring command_line =
      L"/BaseRootPath=" + app_path + L" /BaseSubPath=" + version_path + L" /StartBy=" +
      util::stringhelp::StringToWString(kAppFromUpdateProcess) + L" /FileDelete=" +
      util::stringhelp::StringToWString(package_path) + L" /S /Language=";
  std::string package_md5;
  {
    base::AutoLock lock(mu_);
    package_md5 = package_md5_;
  }
  JsonValue parameters(base::json::JsonType::kObject);
  parameters.SetJsonObject("install_param", util::stringhelp::UnicodeToUtf8(command_line));
  parameters.SetJsonObject("package_path", package_path);
  parameters.SetJsonObject("elevate_privilege", kElevate);
  parameters.SetJsonObject("package_md5", package_md5);
  InstallPackage(parameters);
  NotifyUpdateFinished();
}

}  // namespace UpdateLib
