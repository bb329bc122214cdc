// UpdateOperation: construction, the token rules, command parameters, the release of requests
// and the delivery of events to the host.  The check, the download, the installation and the
// probes of the machine's state are in update_operation_{check,download,install,probes}.cc.

#include "update_operation.h"

#include <algorithm>
#include <exception>
#include <type_traits>

#include "base/log/log.h"
#include "tavorisdk/sdk_startup.h"
#include "value_parsing.h"

namespace UpdateLib {
namespace {

constexpr char kLogSource[] = "update_operation";

using base::json::JsonValue;
using base::log::kLevelFailure;
using base::log::kLevelRefused;
using base::log::kLevelTrace;

}  // namespace

std::atomic<bool> UpdateOperation::init_sdk_{false};

UpdateOperation* UpdateOperation::GetInstance() {
  // Never destroyed: events may still arrive while the process exits.
  static auto* instance = new UpdateOperation();
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
  base::AutoLock lock(mu_);
  update_event_delegate_ = delegate;
  // Wait for deliveries on other threads, which may still use the previous delegate.  Those on
  // this thread are the caller's own (it is inside OnUpdateEvent) and cannot be waited for.
  const std::thread::id self = std::this_thread::get_id();
  while (!std::all_of(delivering_threads_.begin(), delivering_threads_.end(),
                      [self](std::thread::id id) { return id == self; })) {
    delivery_done_.Wait(mu_);
  }
}

bool UpdateOperation::CheckToken(int64_t token) {
  {
    base::AutoLock lock(mu_);
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
    base::AutoLock lock(mu_);
    replaces_run = token_ != 0 && token_ != token;
  }
  if (replaces_run) {
    JsonValue no_parameters;
    CancelDownload(no_parameters);
  }
  base::AutoLock lock(mu_);
  token_ = token;
}

template <typename T>
int UpdateOperation::GetCommandParam(const char* key, const JsonValue& parameters, T* value) {
  const JsonValue member = parameters[key != nullptr ? key : ""];
  if (key != nullptr) {
    if constexpr (std::is_same_v<T, std::string>) {
      if (member.IsString()) {
        *value = member.AsString();
        return kResultOk;
      }
    } else if (member.IsInteger()) {
      if constexpr (std::is_same_v<T, int32_t>) {
        *value = Low32(member.AsInteger());  // as the host's 64-bit JSON integer is narrowed
      } else {
        *value = member.AsInteger();
      }
      return kResultOk;
    }
  }
  BASE_LOG(kLevelRefused) << "bad  " << (key != nullptr ? key : "nullptr") << ":"
                          << parameters.ToStyledString();
  return kResultBadRequest;
}

template int UpdateOperation::GetCommandParam(const char*, const JsonValue&, std::string*);
template int UpdateOperation::GetCommandParam(const char*, const JsonValue&, int64_t*);
template int UpdateOperation::GetCommandParam(const char*, const JsonValue&, int32_t*);

int UpdateOperation::CancelDownload(JsonValue& /*parameters*/) {
  BASE_LOG(kLevelTrace) << "CancelDownload";
  ResetDownloadRequest();
  return kResultOk;
}

void UpdateOperation::ResetDownloadRequest() {
  std::unique_ptr<tavorisdk::DownloadServiceRequest> request;
  {
    base::AutoLock lock(mu_);
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
    base::AutoLock lock(mu_);
    request = std::move(cgi_request_);
  }
  request.reset();
}

void UpdateOperation::FillEventHeader(JsonValue& event, const std::string& name) {
  int64_t token;
  {
    base::AutoLock lock(mu_);
    token = token_;
  }
  event.SetJsonObject("version", "1.0");
  event.SetJsonObject("command", name);
  event.SetJsonObject("token", token);
}

void UpdateOperation::CallEventDelegate(JsonValue& event) {
  // The text ends at its first zero byte, as a C string would.
  const std::string styled = event.ToStyledString();
  const std::string text = styled.substr(0, styled.find('\0'));
  const std::thread::id self = std::this_thread::get_id();
  IUpdateEventDelegate* delegate;
  {
    base::AutoLock lock(mu_);
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
  base::AutoLock lock(mu_);
  delivering_threads_.erase(
      std::find(delivering_threads_.begin(), delivering_threads_.end(), self));
  delivery_done_.Broadcast();
}

void UpdateOperation::NotifyUpdateFinished() {
  JsonValue event;
  FillEventHeader(event, "update_finished");
  CallEventDelegate(event);
}

std::string UpdateOperation::AppFrom() {
  base::AutoLock lock(mu_);
  return app_from_;
}

}  // namespace UpdateLib
