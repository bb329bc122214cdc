#include "update/update_lib/update_operation.h"

#include <algorithm>
#include <exception>
#include <sstream>

#include "base/log/log.h"
#include "base/threading/looper_thread.h"
#include "os/com.h"
#include "os/folders.h"
#include "os/installer_file.h"
#include "os/module.h"
#include "os/path.h"
#include "os/process.h"
#include "os/registry.h"
#include "os/shell.h"
#include "os/trust.h"
#include "tavori_common/utils/meeting_info.h"
#include "tavori_common/utils/publisher.h"
#include "tavorisdk/sdk_startup.h"
#include "util/crypto/crypto.h"
#include "util/stringhelp/stringhelp.h"
#include "util/time/time_util.h"

namespace UpdateLib {
namespace {

constexpr char kLogSource[] = "update_operation";

using base::json::JsonValue;
using base::log::kLevelFailure;
using base::log::kLevelNote;
using base::log::kLevelRefused;
using base::log::kLevelTrace;

// The caller kinds, compared exactly.
constexpr char kAppFromClient[] = "tavoriapp";
constexpr char kAppFromUpdateProcess[] = "update_process";

// The configuration key of the service URL remembered from the client's last check.
constexpr char kCgiUrlKey[] = "update.cgi_url";

// Options of every JSON parse: the root must be an object or array; duplicate members refused.
constexpr int kParseMode = base::json::kParseStrictRoot;
constexpr bool kRejectDuplicateKeys = true;

// Option of every check request: every cache on the way must answer afresh.
constexpr int kCheckRequestOption = tavorisdk::kCGIOptionNoCache;

// The last argument of ExecInstall.
constexpr uint32_t kExecInstallMode = 1;
// Bits or'ed into the HRESULT of a failed elevated installation.
constexpr uint32_t kElevatedInstallFailure = 0x30000;

// The registry value that a silent installation leaves behind.
constexpr wchar_t kSilentInstallKey[] = L"SOFTWARE\\Halvern\\Tavori";
constexpr wchar_t kSilentInstallValue[] = L"SilentInstallVersion";
// Buffers of the Windows path and registry calls, in characters (MAX_PATH).
constexpr size_t kPathBufferChars = 260;

// The delta-update error flag, relative to the Windows directory.
constexpr wchar_t kDeltaUpdateErrorFlag[] = L"Temp\\tavori\\update\\error_flag";

// An object of this module, whose address names the module's file (GetVersionSubPath).
constexpr char kModuleAnchor = 0;

int32_t Low32(int64_t value) { return static_cast<int32_t>(static_cast<uint32_t>(value)); }

// The user's temporary root: "<temp>/Halvern/Tavori/", computed on first use and kept for the
// life of the process (computed again while it is still unknown).  Any thread.
std::string GetTempRootPath() {
  static std::mutex mutex;
  static std::string root;
  std::lock_guard<std::mutex> lock(mutex);
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

std::atomic<bool> UpdateOperation::init_sdk_{false};

UpdateOperation* UpdateOperation::GetInstance() {
  // Never destroyed: events may still arrive while the process exits.
  static UpdateOperation* instance = new UpdateOperation();
  return instance;
}

void UpdateOperation::SetInitSDK(bool init) { init_sdk_.store(init); }

UpdateOperation::UpdateOperation() {
  storage_ = std::make_unique<UpdateDatabaseStorage>();
  if (!init_sdk_.load()) {
    return;
  }
  // The record keeps the SDK's defaults; the results show only in later requests.
  auto param = std::make_unique<tavorisdk::SDKStartupParam>();
  InitSDK(param.get());
  InitBeforeStartupSDK();
  StartupSDK();
  BASE_LOG(kLevelTrace) << "init tavori sdk";
}

UpdateOperation::~UpdateOperation() {
  ResetCGIRequest();
  ResetDownloadRequest();
}

void UpdateOperation::SetDelegate(IUpdateEventDelegate* delegate) {
  std::unique_lock<std::mutex> lock(mu_);
  update_event_delegate_ = delegate;
  // Wait for deliveries on other threads, which may still use the previous delegate.  Those on
  // this thread are the caller's own (it is inside OnUpdateEvent) and cannot be waited for.
  const std::thread::id self = std::this_thread::get_id();
  delivery_done_.wait(lock, [this, self] {
    return std::all_of(delivering_threads_.begin(), delivering_threads_.end(),
                       [self](std::thread::id id) { return id == self; });
  });
}

bool UpdateOperation::CheckToken(int64_t token) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (token == token_) {
      return true;
    }
  }
  JsonValue no_parameters;
  CancelDownload(no_parameters);
  return false;
}

void UpdateOperation::SetToken(int64_t token) {
  bool replaces_run;
  {
    std::lock_guard<std::mutex> lock(mu_);
    replaces_run = token_ != 0 && token_ != token;
  }
  if (replaces_run) {
    JsonValue no_parameters;
    CancelDownload(no_parameters);
  }
  std::lock_guard<std::mutex> lock(mu_);
  token_ = token;
}

int UpdateOperation::GetCommandParam(const char* key, const JsonValue& parameters,
                                     std::string* value) {
  const JsonValue member = parameters[key != nullptr ? key : ""];
  if (key != nullptr && member.IsString()) {
    *value = member.AsString();
    return 0;
  }
  BASE_LOG(kLevelRefused) << "bad  " << (key != nullptr ? key : "nullptr") << ":"
                          << parameters.ToStyledString();
  return 1;
}

int UpdateOperation::GetCommandParam(const char* key, const JsonValue& parameters, int64_t* value) {
  const JsonValue member = parameters[key != nullptr ? key : ""];
  if (key != nullptr && member.IsInteger()) {
    *value = member.AsInteger();
    return 0;
  }
  BASE_LOG(kLevelRefused) << "bad  " << (key != nullptr ? key : "nullptr") << ":"
                          << parameters.ToStyledString();
  return 1;
}

int UpdateOperation::GetCommandParam(const char* key, const JsonValue& parameters, int32_t* value) {
  const JsonValue member = parameters[key != nullptr ? key : ""];
  if (key != nullptr && member.IsInteger()) {
    // The low 32 bits, as the host's 64-bit JSON integer is narrowed.
    *value = static_cast<int32_t>(static_cast<uint32_t>(member.AsInteger()));
    return 0;
  }
  BASE_LOG(kLevelRefused) << "bad  " << (key != nullptr ? key : "nullptr") << ":"
                          << parameters.ToStyledString();
  return 1;
}

int UpdateOperation::CancelDownload(JsonValue& /*parameters*/) {
  BASE_LOG(kLevelTrace) << "CancelDownload";
  ResetDownloadRequest();
  return 0;
}

void UpdateOperation::ResetDownloadRequest() {
  std::unique_ptr<tavorisdk::DownloadServiceRequest> request;
  {
    std::lock_guard<std::mutex> lock(mu_);
    request = std::move(download_request_);
  }
  if (request) {
    request->Stop(0);
    request.reset();
  }
}

void UpdateOperation::ResetCGIRequest() {
  std::unique_ptr<tavorisdk::ICGIRequest> request;
  {
    std::lock_guard<std::mutex> lock(mu_);
    request = std::move(cgi_request_);
  }
  request.reset();
}

void UpdateOperation::FillEventHeader(JsonValue& event, const std::string& name) {
  int64_t token;
  {
    std::lock_guard<std::mutex> lock(mu_);
    token = token_;
  }
  event.SetJsonObject("version", "1.0");
  event.SetJsonObject("command", name);
  event.SetJsonObject("token", token);
}

void UpdateOperation::CallEventDelegate(JsonValue& event) {
  // The text ends at its first zero byte, as a C string would.
  const std::string styled = event.ToStyledString();
  const std::string text(styled.c_str());
  const std::thread::id self = std::this_thread::get_id();
  IUpdateEventDelegate* delegate;
  {
    std::lock_guard<std::mutex> lock(mu_);
    delegate = update_event_delegate_;
    if (delegate != nullptr) {
      delivering_threads_.push_back(self);
    }
  }
  if (delegate == nullptr) {
    BASE_LOG(kLevelFailure) << "update_event_delegate is nullptr";
    return;
  }
  try {
    delegate->OnUpdateEvent(text);
  } catch (...) {
    // The host's exception must not unwind through the SDK's thread.
    BASE_LOG(kLevelFailure) << "update event delegate threw";
  }
  std::lock_guard<std::mutex> lock(mu_);
  delivering_threads_.erase(
      std::find(delivering_threads_.begin(), delivering_threads_.end(), self));
  delivery_done_.notify_all();
}

void UpdateOperation::NotifyUpdateFinished() {
  JsonValue event;
  FillEventHeader(event, "update_finished");
  CallEventDelegate(event);
}

std::string UpdateOperation::AppFrom() {
  std::lock_guard<std::mutex> lock(mu_);
  return app_from_;
}

// --- The check request ---

int UpdateOperation::CheckUpdate(JsonValue& parameters) {
  BASE_LOG(kLevelTrace) << parameters.ToStyledString();
  std::string app_from;
  if (GetCommandParam("app_from", parameters, &app_from) != 0) {
    return 1;
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    app_from_ = app_from;
  }

  std::string cgi_url;
  if (app_from == kAppFromUpdateProcess) {
    if (!storage_->GetConfiguration(kCgiUrlKey, cgi_url)) {
      BASE_LOG(kLevelFailure) << "get check update params failed.";
      return 5;
    }
  } else if (app_from == kAppFromClient) {
    int32_t from_where = 0;
    if (GetCommandParam("from_where", parameters, &from_where) != 0) {
      return 1;
    }
    {
      std::lock_guard<std::mutex> lock(mu_);
      from_where_ = from_where;
    }
    if (GetCommandParam("cgi_url", parameters, &cgi_url) != 0) {
      return 1;
    }
    // Remembered for later unattended runs; the check does not wait for the write.
    UpdateDatabaseStorage* storage = storage_.get();
    base::threading::LooperThread::FileLooper()->PostTask(
        [storage, cgi_url] { storage->SetUpdateConfig(kCgiUrlKey, cgi_url); }, FROM_HERE);
  }

  int32_t enable_patch = 0;
  if (GetCommandParam("enable_patch", parameters, &enable_patch) != 0) {
    return 1;
  }
  std::string url;
  if (const int result = BuildCGIUrl(&url, cgi_url, enable_patch); result != 0) {
    return result;
  }

  tavorisdk::ICGIService* service = nullptr;
  QueryCGIService(&service);
  // The previous check, if it is still outstanding, is cancelled before the new one goes out, so
  // that its answer cannot be taken for the new one's.
  ResetCGIRequest();
  std::unique_ptr<tavorisdk::ICGIRequest> request = tavorisdk::CreateCGIRequest();
  request->SetRequestUrl(url.c_str())->SetRequestOption(kCheckRequestOption);
  std::unique_ptr<tavorisdk::ICGIRequest> replaced;
  {
    std::lock_guard<std::mutex> lock(mu_);
    replaced = std::move(cgi_request_);
    cgi_request_ = std::move(request);
    if (service != nullptr) {
      service->SendRequest(cgi_request_.get(), static_cast<tavorisdk::ICGIResponseDelegate*>(this));
    }
  }
  if (service == nullptr) {
    BASE_LOG(kLevelFailure) << "no cgi service";
  }
  return 0;
}

int UpdateOperation::BuildCGIUrl(std::string* url, const std::string& cgi_url,
                                 int32_t enable_patch) {
  BASE_LOG(kLevelTrace) << "enbale_patch:" << enable_patch;
  int32_t patch = enable_patch;
  if (patch == 1) {
    patch = GetDeltaUpdateErrorFlag();
    BASE_LOG(kLevelTrace) << "patch:" << patch;
  }

  std::string origin;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (app_from_ == kAppFromUpdateProcess) {
      origin = "&from=1";
    } else if (from_where_ == 1 || from_where_ == 4 || from_where_ == 5) {
      origin = "&from=2";
    } else if (from_where_ == 3) {
      origin = "&from=1";
    }
  }

  const uint64_t timestamp = util::time::GetServerTimestamp(util::time::kClockMilliseconds);
  const std::string version = tavori_common::utils::meeting_info::GetProductVersion();
  std::ostringstream text;
  text << cgi_url << "&time=" << timestamp << origin << "&appver=" << version
       << "&enable_patch=" << patch;
  *url = text.str();
  BASE_LOG(kLevelTrace) << "[pu] cgi url " << *url;
  return 0;
}

// --- The check answer ---

void UpdateOperation::OnResponse(tavorisdk::ICGIRequest* /*request*/, int32_t status,
                                 const std::string* response) {
  JsonValue event;
  FillEventHeader(event, "cgi_response");
  JsonValue parameters(base::json::JsonType::kObject);
  parameters.SetJsonObject("err_code", 0);
  bool outstanding;
  {
    std::lock_guard<std::mutex> lock(mu_);
    outstanding = cgi_request_ != nullptr;
  }
  if (!outstanding) {
    parameters.SetJsonObject("err_code", 1);
    BASE_LOG(kLevelFailure) << "cgi_request_ is nullptr";
  }
  if (response != nullptr) {
    parameters.SetJsonObject("response_data", *response);
    BASE_LOG(kLevelTrace) << "response data " << *response;
  } else {
    parameters.SetJsonObject("response_data", "");
    BASE_LOG(kLevelTrace) << "response data null";
  }
  parameters.SetJsonObject("cgi_err_code", status);
  ResetCGIRequest();

  if (status != 200 || response == nullptr || response->empty()) {
    return;
  }
  JsonValue answer;
  if (answer.ParseFromJson(response->data(), response->size(), kParseMode, kRejectDuplicateKeys) !=
      base::json::kParseOk) {
    BASE_LOG(kLevelFailure) << "parse json error!";
    return;
  }
  event.SetJsonObject("parameters", parameters);

  const std::string app_from = AppFrom();
  if (app_from == kAppFromUpdateProcess && IsNewVersionSilentInstalled(answer)) {
    BASE_LOG(kLevelTrace) << "already silent installed new ver.";
    NotifyUpdateFinished();
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    cgi_response_ = *response;
  }
  const JsonValue policy = answer["upgrade_policy"];
  if (!policy.IsInteger()) {
    return;
  }
  const int32_t strategy = Low32(policy.AsInteger());
  {
    std::lock_guard<std::mutex> lock(mu_);
    upgrade_strategy_ = strategy;
  }
  BASE_LOG(kLevelTrace) << "upgrade_strategy_:" << strategy;

  const bool client = app_from == kAppFromClient;
  const bool unattended = app_from == kAppFromUpdateProcess;
  switch (strategy) {
    case 0:
    case 1:
    case 4:
    case 5:
    case 6:
    case 7:
      if (client) {
        CallEventDelegate(event);
      } else if (unattended) {
        NotifyUpdateFinished();
      }
      if (strategy == 0) {
        BASE_LOG(kLevelTrace) << "no need upgrade";
      }
      break;
    case 2:
    case 3:
    case 8:
      if (client) {
        CallEventDelegate(event);
      } else if (unattended) {
        JsonValue no_parameters;
        DownloadPackage(no_parameters);
      }
      break;
    default:
      BASE_LOG(kLevelFailure) << "unknown upgrade policy";
      if (unattended) {
        NotifyUpdateFinished();
      }
      break;
  }
}

bool UpdateOperation::IsNewVersionSilentInstalled(JsonValue response) {
  const JsonValue offered = response["version"];
  if (!offered.IsString()) {
    return false;
  }
  std::string installed;
  if (!GetSilentInstalledVersion(&installed)) {
    return false;
  }
  const int32_t comparison = CompareVersion(installed, offered.AsString());
  return comparison == 0 || comparison == 1;
}

int32_t UpdateOperation::CompareVersion(const std::string& installed, const std::string& offered) {
  const std::vector<std::string> mine = util::stringhelp::Split(installed, ".");
  const std::vector<std::string> theirs = util::stringhelp::Split(offered, ".");
  if (mine.size() != theirs.size() || mine.size() != 4) {
    return 2;
  }
  // Digits, with at most a leading minus sign.
  auto numeric = [](const std::string& piece) {
    if (piece.empty()) {
      return false;
    }
    for (size_t i = 0; i < piece.size(); ++i) {
      const char c = piece[i];
      if (!((c >= '0' && c <= '9') || (c == '-' && i == 0))) {
        return false;
      }
    }
    return true;
  };
  for (size_t i = 0; i < 4; ++i) {
    if (!numeric(mine[i]) || !numeric(theirs[i])) {
      return 2;
    }
    int32_t a = 0;
    int32_t b = 0;
    std::istringstream(mine[i]) >> a;
    std::istringstream(theirs[i]) >> b;
    if (a > b) {
      return 1;
    }
    if (a < b) {
      return -1;
    }
  }
  return 0;
}

// --- Install-state probes ---

int32_t UpdateOperation::GetDeltaUpdateErrorFlag() {
  os::Result<std::wstring> windows = os::GetWindowsDirectory();
  if (!windows.ok()) {
    BASE_LOG(kLevelRefused) << "GetWindowsDirectoryW failed, error:" << windows.error();
    return 0;
  }
  std::wstring path = windows.value();
  // As on Windows, a path that does not fit is left as it was; the directory then exists.
  (void)os::PathAppend(&path, kDeltaUpdateErrorFlag);
  if (os::PathFileExists(path)) {
    BASE_LOG(kLevelTrace) << "path update error flag exists";
    return 0;
  }
  BASE_LOG(kLevelTrace) << "path update error flag not exists";
  return 1;
}

bool UpdateOperation::GetSilentInstalledVersion(std::string* version) {
  os::Result<std::wstring> value = os::RegGetString(
      os::RegistryRoot::kLocalMachine, kSilentInstallKey, kSilentInstallValue, kPathBufferChars);
  if (!value.ok()) {
    BASE_LOG(kLevelRefused) << "get SilentInstallVersion failed, error:" << value.error();
    return false;
  }
  const std::wstring& text = value.value();
  *version = util::stringhelp::UnicodeToUtf8(std::wstring_view(text).substr(0, text.find(L'\0')));
  BASE_LOG(kLevelTrace) << "Silent install version:" << *version;
  return true;
}

// --- The download ---

int UpdateOperation::DownloadPackage(JsonValue& parameters) {
  // Whatever follows, a download that is still running ends here.
  ResetDownloadRequest();

  std::string response;
  int32_t strategy;
  {
    std::lock_guard<std::mutex> lock(mu_);
    response = cgi_response_;
    strategy = upgrade_strategy_;
  }
  JsonValue answer;
  if (answer.ParseFromJson(response.data(), response.size(), kParseMode, kRejectDuplicateKeys) !=
      base::json::kParseOk) {
    BASE_LOG(kLevelRefused) << "bad cgi response:" << response;
    return 8;
  }
  const JsonValue size = answer["size"];
  if (!size.IsInteger()) {
    BASE_LOG(kLevelRefused) << "package size is not int";
    return 9;
  }
  const JsonValue md5 = answer["md5"];
  if (!md5.IsString()) {
    BASE_LOG(kLevelRefused) << "package md5 is not string";
    return 9;
  }
  const std::string package_md5 = md5.AsString();
  {
    std::lock_guard<std::mutex> lock(mu_);
    package_md5_ = package_md5;
  }
  std::string target;
  if (const JsonValue path = parameters["download_path"]; path.IsString()) {
    target = path.AsString();
  }
  const JsonValue url = answer["package_url"];
  if (!url.IsString()) {
    BASE_LOG(kLevelRefused) << "package url is not string";
    return 9;
  }
  const std::string package_url = url.AsString();

  std::string private_root;  // set for the default target only
  if (target.empty()) {
    // The default file name ends in the URL's last four bytes (as a rule its extension); they
    // must not lead out of the download directory.
    if (package_url.size() < 4) {
      BASE_LOG(kLevelRefused) << "package url too short for a file name: " << package_url;
      return 9;
    }
    const std::string suffix = package_url.substr(package_url.size() - 4);
    if (suffix.find_first_of(std::string("/\\\0", 3)) != std::string::npos) {
      BASE_LOG(kLevelRefused) << "package url does not end in a file name: " << package_url;
      return 9;
    }
    const std::string directory = GetDownloadTempDir();
    if (directory.empty()) {
      BASE_LOG(kLevelFailure) << "no temporary directory for the download";
      return 9;
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
  if (strategy == 2 || strategy == 3) {
    // Forced updates: the download is urgent.
    request->SetUrgent(true);
  }
  if (!private_root.empty()) {
    request->SetPrivateRoot(private_root.c_str());
  }

  std::unique_ptr<tavorisdk::DownloadServiceRequest> replaced;
  {
    std::lock_guard<std::mutex> lock(mu_);
    replaced = std::move(download_request_);
    download_request_ = std::move(request);
    download_request_->Start(this);
  }
  if (replaced) {
    replaced->Stop(0);
  }
  return 0;
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

// --- Installation ---

int UpdateOperation::InstallPackage(JsonValue& parameters) {
  std::string install_param;
  std::string package_path;
  std::string package_md5;
  int64_t elevate = 0;
  if (GetCommandParam("install_param", parameters, &install_param) != 0 ||
      GetCommandParam("package_path", parameters, &package_path) != 0 ||
      GetCommandParam("package_md5", parameters, &package_md5) != 0 ||
      GetCommandParam("elevate_privilege", parameters, &elevate) != 0) {
    return 1;
  }
  const std::wstring wide_parameters = util::stringhelp::StringToWString(install_param);
  const std::wstring wide_path = util::stringhelp::StringToWString(package_path);
  const std::wstring wide_md5 = util::stringhelp::StringToWString(package_md5);
  if (elevate == 1) {
    int32_t exec_code = 0;
    if (!InstallPackageWithElevationPrivilege(wide_path, wide_parameters, wide_md5, &exec_code)) {
      return static_cast<int32_t>(static_cast<uint32_t>(exec_code) | kElevatedInstallFailure);
    }
    return 0;
  }
  return InstallPackageWithNormalPrivilege(wide_path, wide_parameters) ? 0 : 4;
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
  if (result > 32) {
    BASE_LOG(kLevelTrace) << "shell execute success";
    return true;
  }
  BASE_LOG(kLevelRefused) << "shell execute failed, path:" << util::stringhelp::UnicodeToUtf8(path)
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
      L"update_process" + L" /FileDelete=" + util::stringhelp::StringToWString(package_path) +
      L" /S /Language=";
  std::string package_md5;
  {
    std::lock_guard<std::mutex> lock(mu_);
    package_md5 = package_md5_;
  }
  JsonValue parameters(base::json::JsonType::kObject);
  parameters.SetJsonObject("install_param", util::stringhelp::UnicodeToUtf8(command_line));
  parameters.SetJsonObject("package_path", package_path);
  parameters.SetJsonObject("elevate_privilege", 1);
  parameters.SetJsonObject("package_md5", package_md5);
  InstallPackage(parameters);
  NotifyUpdateFinished();
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
