// Temporary: handlers whose components are being built.  Removed as they land.
#include "update/update_lib/update_operation.h"

namespace UpdateLib {
using base::json::JsonValue;
int UpdateOperation::CheckUpdate(JsonValue&) { return 0; }
int UpdateOperation::DownloadPackage(JsonValue&) {
  ResetDownloadRequest();
  return 8;
}
int UpdateOperation::InstallPackage(JsonValue&) { return 1; }
void UpdateOperation::OnResponse(tavorisdk::ICGIRequest*, int32_t, const std::string*) {}
void UpdateOperation::OnDownloadStart(tavorisdk::DownloadServiceRequest*) {}
void UpdateOperation::OnDownloadProgress(tavorisdk::DownloadServiceRequest*, int64_t, int64_t) {}
void UpdateOperation::OnDownloadFinish(tavorisdk::DownloadServiceRequest*, int32_t, const char*) {}
}  // namespace UpdateLib
