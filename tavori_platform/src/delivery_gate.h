// The gate through which one request's notifications reach its delegate.
//
// The network thread wraps each delegate call in Enter()/Leave(); Close() (from Stop or the
// request's destructor, on any thread) shuts the gate for good.  When Close() returns, no
// delegate call of the request is running or will start: on another thread it waits for a call
// in progress; on the network thread none can be in progress except the caller's own (a
// delegate that stops or destroys its request from inside a notification), so it does not wait.
// Enter() also refuses once the process is exiting (see BeginDelivery).
//
// The mutex guards only the two flags and is never held during the delegate call.

#ifndef TAVORI_PLATFORM_SRC_DELIVERY_GATE_H_
#define TAVORI_PLATFORM_SRC_DELIVERY_GATE_H_

#include <exception>

#include "base/log/log.h"
#include "base/synchronization/condition_variable.h"
#include "base/synchronization/lock.h"
#include "base/thread_annotations.h"
#include "src/sdk_runtime.h"

namespace tavorisdk::internal {

class DeliveryGate {
 public:
  // Network thread.  Returns false (and the caller skips the call) once the gate is closed or
  // the process is exiting.
  bool Enter() {
    if (!BeginDelivery()) {
      return false;
    }
    base::AutoLock lock(mu_);
    if (closed_) {
      EndDelivery();
      return false;
    }
    inside_ = true;
    return true;
  }

  // Network thread, after a successful Enter().
  void Leave() {
    {
      base::AutoLock lock(mu_);
      inside_ = false;
      left_.Broadcast();
    }
    EndDelivery();
  }

  // Any thread.  |on_network_thread| tells whether the caller runs on the network thread.
  void Close(bool on_network_thread) {
    base::AutoLock lock(mu_);
    closed_ = true;
    if (!on_network_thread) {
      while (inside_) {
        left_.Wait(mu_);
      }
    }
  }

  bool closed() const {
    base::AutoLock lock(mu_);
    return closed_;
  }

 private:
  mutable base::Lock mu_;
  base::ConditionVariable left_;
  bool closed_ GUARDED_BY(mu_) = false;
  bool inside_ GUARDED_BY(mu_) = false;
};

// Runs a delegate call.  An exception from the delegate's code is logged and stops here: it must
// neither unwind through the network thread nor leave a gate entered.
template <typename F>
void CallDelegate(F&& call) {
  static constexpr char kLogSource[] = "tavori_platform";
  try {
    call();
  } catch (const std::exception& e) {
    BASE_LOG(base::log::kLevelFailure) << "a delegate threw: " << e.what();
  } catch (...) {
    BASE_LOG(base::log::kLevelFailure) << "a delegate threw";
  }
}

// Calls |call| through |gate|; returns whether it ran.
template <typename F>
bool DeliverThrough(DeliveryGate& gate, F&& call) {
  if (!gate.Enter()) {
    return false;
  }
  CallDelegate(call);
  gate.Leave();
  return true;
}

}  // namespace tavorisdk::internal

#endif  // TAVORI_PLATFORM_SRC_DELIVERY_GATE_H_
