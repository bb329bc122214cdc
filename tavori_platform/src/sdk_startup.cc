#include "tavorisdk/sdk_startup.h"

#include <mutex>

#include "base/log/log.h"
#include "src/sdk_runtime.h"

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
  return tavorisdk::internal::EnsureHttpStackInit();
}

int InitBeforeStartupSDK() {
  if (const int result = tavorisdk::internal::EnsureHttpStackInit(); result != tavorisdk::kSdkOk) {
    return result;
  }
  return tavorisdk::internal::CheckHttpStackFeatures();
}

int StartupSDK() {
  if (const int result = tavorisdk::internal::EnsureHttpStackInit(); result != tavorisdk::kSdkOk) {
    return result;
  }
  static std::once_flag once;
  std::call_once(once, [] {
    // Asking for the network thread starts it.
    tavorisdk::internal::OnNetworkThread();
    BASE_LOG_FUNCTION(base::log::kLevelTrace, "StartupSDK") << "StartupSDK";
  });
  return tavorisdk::kSdkOk;
}
