#include "src/sdk_runtime.h"

#include <atomic>
#include <mutex>
#include <shared_mutex>

#include "base/threading/looper_thread.h"
#include "tavori_common/utils/meeting_info.h"

namespace tavorisdk::internal {
namespace {

std::mutex& ParamsMutex() {
  static std::mutex mutex;
  return mutex;
}

SDKStartupParam& Params() {
  static auto* params = new SDKStartupParam();
  return *params;
}

std::atomic<bool> g_exiting{false};

std::shared_mutex& DeliveryMutex() {
  static auto* mutex = new std::shared_mutex();
  return *mutex;
}

}  // namespace

SDKStartupParam StartupParams() {
  std::lock_guard<std::mutex> lock(ParamsMutex());
  return Params();
}

void SetStartupParams(const SDKStartupParam& params) {
  std::lock_guard<std::mutex> lock(ParamsMutex());
  Params() = params;
}

std::string DefaultUserAgent() {
  const SDKStartupParam params = StartupParams();
  if (!params.user_agent.empty()) {
    return params.user_agent;
  }
  return "TavoriSDK/" + tavori_common::utils::meeting_info::GetProductVersion();
}

bool IsExiting() { return g_exiting.load(); }

bool BeginDelivery() {
  DeliveryMutex().lock_shared();
  if (g_exiting.load()) {
    DeliveryMutex().unlock_shared();
    return false;
  }
  return true;
}

void EndDelivery() { DeliveryMutex().unlock_shared(); }

void RegisterExitStep(std::function<void()> stop_network, std::function<bool()> on_network) {
  static std::once_flag once;
  std::call_once(once, [&] {
    base::threading::LooperThread::RunBeforeFileLooperExit(
        [stop = std::move(stop_network), on = std::move(on_network)] {
          if (on()) {
            g_exiting = true;  // exit() from inside a notification: that one is the last
          } else {
            std::unique_lock<std::shared_mutex> no_delivery(DeliveryMutex());
            g_exiting = true;
          }
          stop();
        });
  });
}

}  // namespace tavorisdk::internal
