// The library's three exports and the dispatch of commands to the update operation.
//
// The exports run on the host's thread, one at a time.  A command's JSON envelope is checked
// here; the command itself runs in UpdateOperation, whose result is the call's result.  Requests
// refused here (bad envelope, unknown command) neither create the update operation nor start the
// platform SDK.

#include "update_lib.h"

#include <exception>

#include "base/json/json_value.h"
#include "base/log/log.h"
#include "update_operation.h"
#include "value_parsing.h"

namespace {

constexpr char kLogSource[] = "update_lib";
constexpr char kFunction[] = "DoUpdateOperation";

int Dispatch(const std::string& request) {
  using base::json::JsonValue;
  using UpdateLib::UpdateOperation;

  JsonValue root;
  if (root.ParseFromJson(request.data(), request.size(), UpdateLib::kParseMode,
                         UpdateLib::kRejectDuplicateKeys) != base::json::kParseOk) {
    BASE_LOG_FUNCTION(base::log::kLevelRefused, kFunction) << "bad command:" << request;
    return UpdateLib::kResultBadRequest;
  }
  const JsonValue version = root["version"];
  if (!version.IsString() || version.AsString() != "1.0") {
    BASE_LOG_FUNCTION(base::log::kLevelRefused, kFunction)
        << "bad version:" << version.ToStyledString();
    return UpdateLib::kResultBadRequest;
  }
  const JsonValue command = root["command"];
  if (!command.IsString()) {
    BASE_LOG_FUNCTION(base::log::kLevelRefused, kFunction)
        << "bad command:" << command.ToStyledString();
    return UpdateLib::kResultBadRequest;
  }
  // The token's type is not checked: whatever is not an integer reads as 0.
  const int64_t token = root["token"].AsInteger();
  JsonValue parameters = root["parameters"];

  const std::string name = command.AsString();
  if (name == "download") {
    UpdateOperation* operation = UpdateOperation::GetInstance();
    if (!operation->CheckToken(token)) {
      return UpdateLib::kResultStaleToken;
    }
    return operation->DownloadPackage(parameters);
  }
  if (name == "cancel_download") {
    UpdateOperation* operation = UpdateOperation::GetInstance();
    if (!operation->CheckToken(token)) {
      return UpdateLib::kResultStaleToken;
    }
    return operation->CancelDownload(parameters);
  }
  if (name == "install") {
    return UpdateOperation::GetInstance()->InstallPackage(parameters);
  }
  if (name == "check_upgrade") {
    UpdateOperation* operation = UpdateOperation::GetInstance();
    operation->SetToken(token);
    return operation->CheckUpdate(parameters);
  }
  return UpdateLib::kResultUnknownCommand;
}

}  // namespace

extern "C" {

int DoUpdateOperation(const std::string& request) {
  try {
    return Dispatch(request);
  } catch (const std::exception& e) {
    // Only resource exhaustion gets here; the host learns of it as a refused request.
    BASE_LOG_FUNCTION(base::log::kLevelFailure, kFunction) << "command failed: " << e.what();
  } catch (...) {
    BASE_LOG_FUNCTION(base::log::kLevelFailure, kFunction) << "command failed";
  }
  return UpdateLib::kResultBadRequest;
}

void SetInitTavoriSDK(bool init) { UpdateLib::UpdateOperation::SetInitSDK(init); }

int SetUpdateDelegate(IUpdateEventDelegate* delegate) {
  try {
    UpdateLib::UpdateOperation::GetInstance()->SetDelegate(delegate);
  } catch (...) {
    BASE_LOG_FUNCTION(base::log::kLevelFailure, "SetUpdateDelegate") << "failed";
  }
  return UpdateLib::kResultOk;
}

}  // extern "C"
