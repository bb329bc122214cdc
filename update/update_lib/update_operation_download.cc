// UpdateOperation's download of the package that the last check answer offered, and the
// notifications of the download request.

#include "base/log/log.h"
#include "base/synchronization/lock.h"
#include "os/folders.h"
#include "os/path.h"
#include "update_operation.h"
#include "util/crypto/crypto.h"
#include "util/stringhelp/stringhelp.h"
#include "value_parsing.h"

namespace UpdateLib {
namespace {

constexpr char kLogSource[] = "update_operation";

using base::json::JsonValue;
using base::log::kLevelFailure;
using base::log::kLevelRefused;
using base::log::kLevelTrace;

// The default file name ends in this many bytes of the package URL (as a rule its extension).
constexpr size_t kUrlSuffixBytes = 4;

// The user's temporary root: "<temp>/Halvern/Tavori/", computed on first use and kept for the
// life of the process (computed again while it is still unknown).  Any thread.
std::string GetTempRootPath() {
  static base::Lock mutex;
  static std::string root;
  base::AutoLock lock(mutex);
  if (root.empty()) {
    os::Result<std::wstring> temp = os::GetTempDirectory();
    if (!temp.ok()) {
      BASE_LOG(kLevelFailure) << "no temporary directory, error:" << temp.error();
      return root;
    }
    std::wstring path = temp.value();
    if (os::PathAppend(&path, L"\\Halvern\\Tavori\\")) {
      root = util::stringhelp::UnicodeToUtf8(path);
    }
  }
  return root;
}

// The part of the temporary root that belongs to this user alone, "<temp>/Halvern/": the
// temporary directory may be shared with other users, so the download creates it private and
// checks it before every use (SetPrivateRoot).  "" when the temporary directory is unknown.
std::string GetPrivateTempDir() {
  const std::string last = std::string("Tavori") + static_cast<char>(os::kPathSeparator);
  const std::string root = GetTempRootPath();
  return root.ends_with(last) ? root.substr(0, root.size() - last.size()) : std::string();
}

// The default download directory: "<temp root>/Temp/", or "" when the temporary directory is
// unknown.  Not created here: the download creates it below the private directory once that
// passed its check.
std::string GetDownloadTempDir() {
  const std::string root = GetTempRootPath();
  return root.empty() ? std::string() : root + "Temp" + static_cast<char>(os::kPathSeparator);
}

}  // namespace

// --- The download ---

int UpdateOperation::DownloadPackage(JsonValue& parameters) {
  // Whatever follows, a download that is still running ends here.
  ResetDownloadRequest();

  std::string response;
  int32_t strategy;
  {
    base::AutoLock lock(mu_);
    response = cgi_response_;
    strategy = upgrade_strategy_;
  }
  JsonValue answer;
  if (answer.ParseFromJson(response.data(), response.size(), kParseMode, kRejectDuplicateKeys) !=
      base::json::kParseOk) {
    BASE_LOG(kLevelRefused) << "bad cgi response:" << response;
    return kResultNoCheckAnswer;
  }
  const JsonValue size = answer["size"];
  if (!size.IsInteger()) {
    BASE_LOG(kLevelRefused) << "package size is not int";
    return kResultNoPackage;
  }
  const JsonValue md5 = answer["md5"];
  if (!md5.IsString()) {
    BASE_LOG(kLevelRefused) << "package md5 is not string";
    return kResultNoPackage;
  }
  const std::string package_md5 = md5.AsString();
  {
    base::AutoLock lock(mu_);
    package_md5_ = package_md5;
  }
  std::string target;
  if (const JsonValue path = parameters["download_path"]; path.IsString()) {
    target = path.AsString();
  }
  const JsonValue url = answer["package_url"];
  if (!url.IsString()) {
    BASE_LOG(kLevelRefused) << "package url is not string";
    return kResultNoPackage;
  }
  const std::string package_url = url.AsString();

  std::string private_root;  // set for the default target only
  if (target.empty()) {
    // The default file name ends in the URL's last four bytes (as a rule its extension); they
    // must not lead out of the download directory.
    if (package_url.size() < kUrlSuffixBytes) {
      BASE_LOG(kLevelRefused) << "package url too short for a file name: " << package_url;
      return kResultNoPackage;
    }
    const std::string suffix = package_url.substr(package_url.size() - kUrlSuffixBytes);
    if (suffix.find_first_of(std::string("/\\\0", 3)) != std::string::npos) {
      BASE_LOG(kLevelRefused) << "package url does not end in a file name: " << package_url;
      return kResultNoPackage;
    }
    const std::string directory = GetDownloadTempDir();
    if (directory.empty()) {
      BASE_LOG(kLevelFailure) << "no temporary directory for the download";
      return kResultNoPackage;
    }
    target = directory + util::crypto::Md5(package_url) + suffix;
    private_root = GetPrivateTempDir();
  }

  std::unique_ptr<tavorisdk::DownloadServiceRequest> request = tavorisdk::CreateDownloadRequest();
  request->SetUrl(package_url.c_str());
  request->SetMd5(package_md5.c_str());
  request->SetSavePath(target.c_str());
  request->SetFileSize(size.AsInteger());
  request->SetSpeedLimit(0);
  request->SetUrgent(false);
  if (IsForcedPolicy(strategy)) {
    request->SetUrgent(true);
  }
  if (!private_root.empty()) {
    request->SetPrivateRoot(private_root.c_str());
  }

  std::unique_ptr<tavorisdk::DownloadServiceRequest> replaced;
  {
    base::AutoLock lock(mu_);
    replaced = std::move(download_request_);
    download_request_ = std::move(request);
    download_request_->Start(this);
  }
  if (replaced) {
    replaced->Stop(0);
  }
  return kResultOk;
}

void UpdateOperation::OnDownloadStart(tavorisdk::DownloadServiceRequest* /*request*/) {
  if (AppFrom() != kAppFromClient) {
    return;
  }
  JsonValue event;
  FillEventHeader(event, "download_start");
  CallEventDelegate(event);
}

void UpdateOperation::OnDownloadProgress(tavorisdk::DownloadServiceRequest* /*request*/,
                                         int64_t downloaded, int64_t total) {
  if (AppFrom() != kAppFromClient) {
    return;
  }
  JsonValue event;
  FillEventHeader(event, "download_progress");
  JsonValue parameters(base::json::JsonType::kObject);
  parameters.SetJsonObject("downloaded_size", downloaded);
  parameters.SetJsonObject("total_size", total);
  event.SetJsonObject("parameters", parameters);
  CallEventDelegate(event);
}

void UpdateOperation::OnDownloadFinish(tavorisdk::DownloadServiceRequest* /*request*/,
                                       int32_t error, const char* path) {
  const std::string app_from = AppFrom();
  BASE_LOG(kLevelTrace) << "download finish,app_from_:" << app_from;
  // Released from inside its own notification.
  ResetDownloadRequest();
  const std::string file = path != nullptr ? path : "";
  if (app_from == kAppFromClient) {
    JsonValue event;
    FillEventHeader(event, "download_finish");
    JsonValue parameters(base::json::JsonType::kObject);
    parameters.SetJsonObject("err_code", error);
    parameters.SetJsonObject("path", file);
    event.SetJsonObject("parameters", parameters);
    CallEventDelegate(event);
  } else if (app_from == kAppFromUpdateProcess) {
    if (error == 0) {
      InstallPackageInternal(file);
    } else {
      NotifyUpdateFinished();
    }
  }
}

}  // namespace UpdateLib
