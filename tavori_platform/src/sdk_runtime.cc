#include "src/sdk_runtime.h"

#include <atomic>
#include <shared_mutex>

#include "base/synchronization/lock.h"
#include "base/thread_annotations.h"
#include "base/threading/looper_thread.h"
#include "tavori_common/utils/meeting_info.h"

namespace tavorisdk::internal {
namespace {

// The startup parameters; never destroyed, since threads read them while the process exits.
struct ParamsSlot {
  base::Lock lock;
  SDKStartupParam params GUARDED_BY(lock);
};

ParamsSlot& Params() {
  static auto* slot = new ParamsSlot();
  return *slot;
}

std::atomic<bool> g_exiting{false};

std::shared_mutex& DeliveryMutex() {
  static auto* mutex = new std::shared_mutex();
  return *mutex;
}

}  // namespace

SDKStartupParam StartupParams() {
  ParamsSlot& slot = Params();
  base::AutoLock lock(slot.lock);
  return slot.params;
}

void SetStartupParams(const SDKStartupParam& params) {
  ParamsSlot& slot = Params();
  base::AutoLock lock(slot.lock);
  slot.params = params;
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
