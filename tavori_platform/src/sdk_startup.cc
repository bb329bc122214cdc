#include "tavorisdk/sdk_startup.h"

#include <curl/curl.h>

#include <mutex>

#include "base/log/log.h"
#include "src/network_thread.h"

namespace {
constexpr char kLogSource[] = "tavori_platform";
}  // namespace

int InitSDK(const tavorisdk::SDKStartupParam* param) {
  static std::once_flag once;
  std::call_once(once, [param] {
    if (param != nullptr) {
      tavorisdk::internal::SetStartupParams(*param);
    }
    BASE_LOG_FUNCTION(base::log::kLevelTrace, "InitSDK") << "InitSDK";
  });
  return tavorisdk::internal::EnsureCurlGlobalInit();
}

int InitBeforeStartupSDK() {
  if (const int result = tavorisdk::internal::EnsureCurlGlobalInit(); result != tavorisdk::kSdkOk) {
    return result;
  }
  static const int result = [] {
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    if (info == nullptr || (info->features & CURL_VERSION_SSL) == 0) {
      BASE_LOG_FUNCTION(base::log::kLevelFailure, "InitBeforeStartupSDK")
          << "InitBeforeStartupSDK: libcurl has no TLS support";
      return tavorisdk::kSdkErrorNoTls;
    }
    BASE_LOG_FUNCTION(base::log::kLevelTrace, "InitBeforeStartupSDK")
        << "InitBeforeStartupSDK: libcurl " << info->version << ", "
        << (info->ssl_version != nullptr ? info->ssl_version : "");
    return tavorisdk::kSdkOk;
  }();
  return result;
}

int StartupSDK() {
  if (const int result = tavorisdk::internal::EnsureCurlGlobalInit(); result != tavorisdk::kSdkOk) {
    return result;
  }
  static std::once_flag once;
  std::call_once(once, [] {
    tavorisdk::internal::NetworkThread::Get();
    BASE_LOG_FUNCTION(base::log::kLevelTrace, "StartupSDK") << "StartupSDK";
  });
  return tavorisdk::kSdkOk;
}
