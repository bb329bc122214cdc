// UpdateOperation: the one object per process that carries the library's update runs.
//
// It remembers who started the current run ("tavoriapp", the client application, or
// "update_process", the unattended update process) and with which token, holds the outstanding
// check request and download request of the platform SDK, keeps the last answer of the update
// service, owns the configuration store, receives the SDK's answers and download notifications,
// and turns every outcome the host must learn about into a JSON event for the host's delegate.
//
// Threads and consistency.  Commands (CheckUpdate, DownloadPackage, CancelDownload,
// InstallPackage, SetToken, CheckToken, SetDelegate) run on the host's thread, one at a time;
// the SDK's answer and notifications (OnResponse, OnDownload*) run on the SDK's network thread,
// and events are delivered to the host on that thread; the store write of the service URL runs
// on the base library's file looper.  A host may send a command from inside an event, so a
// command can also run on the network thread.
//
// All members that more than one thread touches are guarded by |mu_|.  |mu_| is held only for
// short sections that read or write members.  It is never held while calling out:
//   - not while the host's delegate runs (a host may call back into the library from there);
//   - not while a request is stopped or destroyed: Stop and the destructors wait for a
//     notification of that request that is running on the network thread, and that
//     notification may itself be waiting for |mu_|.
// Requests are therefore swapped out of their members under |mu_| and stopped and destroyed
// after it is released.  Starting a request (Start, SendRequest) happens under |mu_| right as it
// is published, which is safe because the SDK never blocks or calls a delegate from inside
// those calls; it keeps another thread from destroying the request between the two steps.
//
// The instance is created on first use and never destroyed (the library has no shutdown call).

#ifndef UPDATE_UPDATE_LIB_UPDATE_OPERATION_H_
#define UPDATE_UPDATE_LIB_UPDATE_OPERATION_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/json/json_value.h"
#include "base/synchronization/condition_variable.h"
#include "base/synchronization/lock.h"
#include "base/thread_annotations.h"
#include "tavorisdk/cgi_service.h"
#include "tavorisdk/download_service.h"
#include "update_configuration.h"
#include "update_lib.h"

namespace os {
class InstallerFile;
}  // namespace os

namespace UpdateLib {

// The caller kinds of "app_from", compared exactly: the client application, which supplies the
// service URL, and the unattended update process, which uses the one the client left behind.
inline constexpr char kAppFromClient[] = "tavoriapp";
inline constexpr char kAppFromUpdateProcess[] = "update_process";

// The configuration key of the service URL remembered from the client's last check.
inline constexpr char kCgiUrlKey[] = "update.cgi_url";

// The check URL's "&from=" parameter: unattended checks and client checks started from
// kFromWhereUnattendedOrigin report kOriginUnattended; those started from one of
// kFromWhereClientOrigins report kOriginClient; other "from_where" values report nothing.
inline constexpr int32_t kOriginUnattended = 1;
inline constexpr int32_t kOriginClient = 2;
inline constexpr int32_t kFromWhereUnattendedOrigin = 3;
inline constexpr int32_t kFromWhereClientOrigins[] = {1, 4, 5};

// "enable_patch": only kPatchAsked asks for a patch, and then the error flag decides whether the
// check URL says kPatchAllowed or kPatchRefused.
inline constexpr int32_t kPatchAsked = 1;
inline constexpr int32_t kPatchAllowed = 1;
inline constexpr int32_t kPatchRefused = 0;
// "elevate_privilege": only this value installs through the privileged installer.
inline constexpr int64_t kElevate = 1;

// The service's "upgrade_policy".  The library tells three kinds apart: the forced updates,
// downloaded urgently; kPolicyDownload, downloaded at normal priority; and the rest up to
// kPolicyLast (kPolicyNoUpgrade among them), which leave the decision to the host.  In an
// unattended run the first two kinds start the download at once; the rest end the run.
enum UpgradePolicy : int32_t {
  kPolicyNoUpgrade = 0,
  kPolicyForcedFirst = 2,
  kPolicyForcedLast = 3,
  kPolicyDownload = 8,
  kPolicyLast = 8,
};
constexpr bool IsForcedPolicy(int32_t policy) {
  return policy >= kPolicyForcedFirst && policy <= kPolicyForcedLast;
}
constexpr bool IsDownloadPolicy(int32_t policy) {
  return IsForcedPolicy(policy) || policy == kPolicyDownload;
}
constexpr bool IsKnownPolicy(int32_t policy) {
  return policy >= kPolicyNoUpgrade && policy <= kPolicyLast;
}

// "err_code" of the "cgi_response" event: 0, or 1 when no check request was outstanding as the
// answer arrived.
inline constexpr int32_t kCheckAnswerOk = 0;
inline constexpr int32_t kCheckAnswerNotOutstanding = 1;

// The simple display name of the certificate that validly signed the opened installer |file|
// (Authenticode, no revocation checks), or "" when the file is not open or not validly signed or
// any step fails.  Any thread; no state.
std::wstring GetFileSignerName(const os::InstallerFile& file);

// The publisher check of installers started with the caller's rights: whether the opened file is
// validly signed by one of the maker's two accepted names, compared exactly.  Any thread.
bool IsInstallerPublisherAccepted(const os::InstallerFile& file);

class UpdateOperation : public tavorisdk::IDownloadResponseDelegate,
                        public tavorisdk::ICGITypedResponseDelegate<std::string> {
 public:
  // The process-wide instance, created on first use (reading the start-up flag then).
  static UpdateOperation* GetInstance();
  // Whether the instance, when it is created, starts the platform SDK.
  static void SetInitSDK(bool init);

  UpdateOperation(const UpdateOperation&) = delete;
  UpdateOperation& operator=(const UpdateOperation&) = delete;
  ~UpdateOperation() override;

  // --- Commands (host's thread) ---

  // Installs the host's delegate; returns once no other thread delivers to the previous one.
  void SetDelegate(IUpdateEventDelegate* delegate);
  // Token rules.  CheckToken: true when |token| is the current token; otherwise cancels the
  // running download and returns false.  SetToken: makes |token| current, cancelling the
  // running download first when a different non-zero token was current.
  bool CheckToken(int64_t token);
  void SetToken(int64_t token);

  // The commands' results are those of update_lib.h (kResult...).
  // "check_upgrade": ok, bad request (a parameter), or no remembered service URL.
  int CheckUpdate(base::json::JsonValue& parameters);
  // "download": ok (started), no usable stored answer, or the answer lacks the package.
  int DownloadPackage(base::json::JsonValue& parameters);
  // "cancel_download": stops the running download, if any; always ok.
  int CancelDownload(base::json::JsonValue& parameters);
  // "install": ok (started), bad request, installer not started with the caller's rights, or
  // kResultElevatedInstallFailed | HRESULT when the privileged installer failed.
  int InstallPackage(base::json::JsonValue& parameters);

  // Reads member |key| of |parameters| into |value| when it has the wanted type (T is
  // std::string, int64_t, or int32_t for the low 32 bits of an integer) and returns
  // kResultOk; otherwise logs and returns kResultBadRequest, leaving |value| untouched.
  template <typename T>
  int GetCommandParam(const char* key, const base::json::JsonValue& parameters, T* value);

  // Builds the check URL: |cgi_url| followed by the time, origin, version and patch parameters.
  // Always returns 0.
  int BuildCGIUrl(std::string* url, const std::string& cgi_url, int32_t enable_patch);

  // kVersionNewer when the installed version |installed| is newer than |offered|, kVersionOlder
  // when older, kVersionEqual when equal, kVersionMalformed when either is not four
  // dot-separated numbers.
  static constexpr int32_t kVersionOlder = -1;
  static constexpr int32_t kVersionEqual = 0;
  static constexpr int32_t kVersionNewer = 1;
  static constexpr int32_t kVersionMalformed = 2;
  static constexpr size_t kVersionPieces = 4;
  static int32_t CompareVersion(const std::string& installed, const std::string& offered);
  // Whether the version offered by |response| is already installed silently (equal or newer).
  static bool IsNewVersionSilentInstalled(const base::json::JsonValue& response);

  // Install-state probes, read afresh on every call.  kPatchAllowed when the delta-update error
  // flag file is absent, kPatchRefused when it exists or cannot be looked for.
  static int32_t GetDeltaUpdateErrorFlag();
  static bool GetSilentInstalledVersion(std::string* version);

  // The directory of the host's executable, and the name of the directory holding this library.
  static bool GetAppPath(std::wstring* path);
  static bool GetVersionSubPath(std::wstring* path);

  // The update process's installation of a downloaded package (network thread).
  void InstallPackageInternal(const std::string& package_path);
  // Opens the installer at |path| once, checks its publisher on the open file and starts that same
  // file with the caller's rights; true when it started.
  static bool InstallPackageWithNormalPrivilege(const std::wstring& path,
                                                const std::wstring& parameters);
  static bool InstallPackageWithElevationPrivilege(const std::wstring& path,
                                                   const std::wstring& parameters,
                                                   const std::wstring& md5, int32_t* exec_code);

  // --- SDK notifications (network thread) ---

  void OnResponse(tavorisdk::ICGIRequest* request, int32_t status,
                  const std::string* response) override;
  void OnDownloadStart(tavorisdk::DownloadServiceRequest* request) override;
  void OnDownloadProgress(tavorisdk::DownloadServiceRequest* request, int64_t downloaded,
                          int64_t total) override;
  using tavorisdk::IDownloadResponseDelegate::OnDownloadFinish;
  void OnDownloadFinish(tavorisdk::DownloadServiceRequest* request, int32_t error,
                        const char* path) override;

  // --- Events (any thread) ---

  // Sets "version", "command" (|name|) and "token" (the current token) of |event|.
  void FillEventHeader(base::json::JsonValue& event, const std::string& name);
  // Hands |event| to the host's delegate on the calling thread, or drops it with a record when
  // there is none.
  void CallEventDelegate(base::json::JsonValue& event);
  // Sends "update_finished".
  void NotifyUpdateFinished();

  // Stops and releases the download request / the check request, if any.
  void ResetDownloadRequest();
  void ResetCGIRequest();

  UpdateDatabaseStorage* storage() { return storage_.get(); }

 private:
  UpdateOperation();

  // Copies of members, taken under |mu_|.
  std::string AppFrom();
  // Has the store remember |url| as the service URL, on the file looper (any thread).
  void RememberCgiUrl(const std::string& url);

  // Process-wide: whether the instance starts the platform SDK (read once, by the constructor).
  static std::atomic<bool> init_sdk_;

  base::Lock mu_;
  // Signalled when a delivery to the host's delegate ends.
  base::ConditionVariable delivery_done_;
  // Threads that are inside the host's delegate right now (a thread may appear more than once
  // when the host sends commands from inside events).
  std::vector<std::thread::id> delivering_threads_ GUARDED_BY(mu_);

  // The destructor releases the requests before anything else.  All members are guarded by
  // |mu_| except |storage_|, which is set once by the constructor and is thread-safe itself.
  IUpdateEventDelegate* update_event_delegate_ GUARDED_BY(mu_) = nullptr;
  std::unique_ptr<tavorisdk::DownloadServiceRequest> download_request_ GUARDED_BY(mu_);
  std::unique_ptr<tavorisdk::ICGIRequest> cgi_request_ GUARDED_BY(mu_);
  // The configuration store: set once by the constructor, thread-safe itself.
  std::unique_ptr<UpdateDatabaseStorage> storage_;
  int32_t from_where_ GUARDED_BY(mu_) = 0;
  int32_t upgrade_strategy_ GUARDED_BY(mu_) = 0;
  int64_t token_ GUARDED_BY(mu_) = 0;
  std::string app_from_ GUARDED_BY(mu_);
  std::string cgi_response_ GUARDED_BY(mu_);
  std::string package_md5_ GUARDED_BY(mu_);
  // The service URL that the queued store write records, and whether that write is queued:
  // checks that come faster than the store writes share one queued write, which records the
  // latest URL, so that a host's checks cannot pile up writes (and memory) on the file looper.
  std::string pending_cgi_url_ GUARDED_BY(mu_);
  bool cgi_url_write_queued_ GUARDED_BY(mu_) = false;
};

}  // namespace UpdateLib

#endif  // UPDATE_UPDATE_LIB_UPDATE_OPERATION_H_
