// UpdateOperation's run: the check request, the update service's answer and its upgrade policy,
// and the comparison of the offered version with the one installed silently.

#include <algorithm>
#include <iterator>
#include <sstream>

#include "base/log/log.h"
#include "base/threading/looper_thread.h"
#include "tavori_common/utils/meeting_info.h"
#include "update_operation.h"
#include "util/stringhelp/stringhelp.h"
#include "util/time/time_util.h"
#include "value_parsing.h"

namespace UpdateLib {
namespace {

constexpr char kLogSource[] = "update_operation";

using base::json::JsonValue;
using base::log::kLevelFailure;
using base::log::kLevelTrace;

// Option of every check request: every cache on the way must answer afresh.
constexpr int kCheckRequestOption = tavorisdk::kCGIOptionNoCache;

// The answer of the update service that carries the check answer.
constexpr int32_t kHttpOk = 200;

}  // namespace

int UpdateOperation::CheckUpdate(JsonValue& parameters) {
  BASE_LOG(kLevelTrace) << parameters.ToStyledString();
  std::string app_from;
  if (GetCommandParam("app_from", parameters, &app_from) != kResultOk) {
    return kResultBadRequest;
  }
  {
    base::AutoLock lock(mu_);
    app_from_ = app_from;
  }

  std::string cgi_url;
  if (app_from == kAppFromUpdateProcess) {
    if (!storage_->GetConfiguration(kCgiUrlKey, cgi_url)) {
      BASE_LOG(kLevelFailure) << "get check update params failed.";
      return kResultNoServiceUrl;
    }
  } else if (app_from == kAppFromClient) {
    int32_t from_where = 0;
    if (GetCommandParam("from_where", parameters, &from_where) != kResultOk) {
      return kResultBadRequest;
    }
    {
      base::AutoLock lock(mu_);
      from_where_ = from_where;
    }
    if (GetCommandParam("cgi_url", parameters, &cgi_url) != kResultOk) {
      return kResultBadRequest;
    }
    // Remembered for later unattended runs; the check does not wait for the write.
    RememberCgiUrl(cgi_url);
  }

  int32_t enable_patch = 0;
  if (GetCommandParam("enable_patch", parameters, &enable_patch) != kResultOk) {
    return kResultBadRequest;
  }
  std::string url;
  if (const int result = BuildCGIUrl(&url, cgi_url, enable_patch); result != kResultOk) {
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
    base::AutoLock lock(mu_);
    replaced = std::move(cgi_request_);
    cgi_request_ = std::move(request);
    if (service != nullptr) {
      service->SendRequest(cgi_request_.get(), static_cast<tavorisdk::ICGIResponseDelegate*>(this));
    }
  }
  if (service == nullptr) {
    BASE_LOG(kLevelFailure) << "no cgi service";
  }
  return kResultOk;
}

void UpdateOperation::RememberCgiUrl(const std::string& url) {
  {
    base::AutoLock lock(mu_);
    pending_cgi_url_ = url;
    if (cgi_url_write_queued_) {
      return;  // the queued write will record this URL
    }
    cgi_url_write_queued_ = true;
  }
  // The instance is never destroyed, so the task may keep |this|.
  base::threading::LooperThread::FileLooper()->PostTask(
      [this] {
        std::string latest;
        {
          base::AutoLock lock(mu_);
          latest = std::move(pending_cgi_url_);
          pending_cgi_url_.clear();
          cgi_url_write_queued_ = false;
        }
        // A client checks with the same URL again and again: only a changed one costs a
        // transaction and its flush to disk.
        std::string stored;
        if (!storage_->GetConfiguration(kCgiUrlKey, stored) || stored != latest) {
          storage_->SetUpdateConfig(kCgiUrlKey, latest);
        }
      },
      FROM_HERE);
}

int UpdateOperation::BuildCGIUrl(std::string* url, const std::string& cgi_url,
                                 int32_t enable_patch) {
  BASE_LOG(kLevelTrace) << "enbale_patch:" << enable_patch;
  int32_t patch = enable_patch;
  if (patch == kPatchAsked) {
    patch = GetDeltaUpdateErrorFlag();
    BASE_LOG(kLevelTrace) << "patch:" << patch;
  }

  int32_t origin = 0;  // none
  {
    base::AutoLock lock(mu_);
    if (app_from_ == kAppFromUpdateProcess || from_where_ == kFromWhereUnattendedOrigin) {
      origin = kOriginUnattended;
    } else if (std::ranges::find(kFromWhereClientOrigins, from_where_) !=
               std::end(kFromWhereClientOrigins)) {
      origin = kOriginClient;
    }
  }

  const uint64_t timestamp = util::time::GetServerTimestamp(util::time::kClockMilliseconds);
  const std::string version = tavori_common::utils::meeting_info::GetProductVersion();
  std::ostringstream text;
  text << cgi_url << "&time=" << timestamp;
  if (origin != 0) {
    text << "&from=" << origin;
  }
  text << "&appver=" << version << "&enable_patch=" << patch;
  *url = text.str();
  BASE_LOG(kLevelTrace) << "[pu] cgi url " << *url;
  return kResultOk;
}

// --- The check answer ---

void UpdateOperation::OnResponse(tavorisdk::ICGIRequest* /*request*/, int32_t status,
                                 const std::string* response) {
  JsonValue event;
  FillEventHeader(event, "cgi_response");
  JsonValue parameters(base::json::JsonType::kObject);
  parameters.SetJsonObject("err_code", kCheckAnswerOk);
  bool outstanding;
  {
    base::AutoLock lock(mu_);
    outstanding = cgi_request_ != nullptr;
  }
  if (!outstanding) {
    parameters.SetJsonObject("err_code", kCheckAnswerNotOutstanding);
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

  if (status != kHttpOk || response == nullptr || response->empty()) {
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
    base::AutoLock lock(mu_);
    cgi_response_ = *response;
  }
  const JsonValue policy = answer["upgrade_policy"];
  if (!policy.IsInteger()) {
    return;
  }
  const int32_t strategy = Low32(policy.AsInteger());
  {
    base::AutoLock lock(mu_);
    upgrade_strategy_ = strategy;
  }
  BASE_LOG(kLevelTrace) << "upgrade_strategy_:" << strategy;

  const bool client = app_from == kAppFromClient;
  const bool unattended = app_from == kAppFromUpdateProcess;
  if (!IsKnownPolicy(strategy)) {
    BASE_LOG(kLevelFailure) << "unknown upgrade policy";
    if (unattended) {
      NotifyUpdateFinished();
    }
  } else if (client) {
    CallEventDelegate(event);
  } else if (unattended && IsDownloadPolicy(strategy)) {
    JsonValue no_parameters;
    DownloadPackage(no_parameters);
  } else if (unattended) {
    NotifyUpdateFinished();
  }
  if (strategy == kPolicyNoUpgrade) {
    BASE_LOG(kLevelTrace) << "no need upgrade";
  }
}

bool UpdateOperation::IsNewVersionSilentInstalled(const JsonValue& response) {
  const JsonValue offered = response["version"];
  if (!offered.IsString()) {
    return false;
  }
  std::string installed;
  if (!GetSilentInstalledVersion(&installed)) {
    return false;
  }
  const int32_t comparison = CompareVersion(installed, offered.AsString());
  return comparison == kVersionEqual || comparison == kVersionNewer;
}

int32_t UpdateOperation::CompareVersion(const std::string& installed, const std::string& offered) {
  const std::vector<std::string> mine = util::stringhelp::Split(installed, ".");
  const std::vector<std::string> theirs = util::stringhelp::Split(offered, ".");
  if (mine.size() != theirs.size() || mine.size() != kVersionPieces) {
    return kVersionMalformed;
  }
  for (size_t i = 0; i < kVersionPieces; ++i) {
    if (!IsNumericText(mine[i], false) || !IsNumericText(theirs[i], false)) {
      return kVersionMalformed;
    }
    int32_t a = 0;
    int32_t b = 0;
    std::istringstream(mine[i]) >> a;
    std::istringstream(theirs[i]) >> b;
    if (a > b) {
      return kVersionNewer;
    }
    if (a < b) {
      return kVersionOlder;
    }
  }
  return kVersionEqual;
}

}  // namespace UpdateLib
