// Process-wide state of the SDK that both HTTP backends share: the start-up record, the exit
// state, the bracket around every delegate call, the default User-Agent, and the network
// thread's task interface.  The backend (network_thread.cc on libcurl, network_thread_win.cc on
// WinHTTP) supplies the thread itself and the HTTP stack's start-up; everything declared here may
// be called from any thread unless it says otherwise.

#ifndef TAVORI_PLATFORM_SRC_SDK_RUNTIME_H_
#define TAVORI_PLATFORM_SRC_SDK_RUNTIME_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "tavorisdk/sdk_startup.h"

namespace tavorisdk::internal {

// The parameters of the first InitSDK call, or the defaults.
SDKStartupParam StartupParams();
void SetStartupParams(const SDKStartupParam& params);

// "TavoriSDK/<product version>", unless the start-up record names a User-Agent.
std::string DefaultUserAgent();

// Whether the process has begun to exit (the SDK's exit handler ran).  Long-running work checks
// it and gives up.
bool IsExiting();

// Brackets every delegate call of the SDK.  BeginDelivery returns false once the process is
// exiting (the caller then skips the call); otherwise EndDelivery must follow.  The exit handler
// waits for a delivery in progress before it declares the exit (unless the exit comes from
// inside that delivery), so no notification runs once IsExiting() holds.  Network thread.
bool BeginDelivery();
void EndDelivery();

// Registers, once per process, the exit step that declares the exit (see BeginDelivery) and then
// calls |stop_network| with whether the exit runs on the network thread.  The step runs before
// the file looper drains, since the network thread posts work there.
void RegisterExitStep(std::function<void()> stop_network, std::function<bool()> on_network);

// --- The backend's part. ---

// Initialises the HTTP stack's global state once per process; kSdkOk or kSdkErrorNetworkInit.
int EnsureHttpStackInit();
// Whether the HTTP stack can do what the services need (TLS); kSdkOk or an error code.
int CheckHttpStackFeatures();

// The network thread, started on first use; it delivers every answer and notification.
using NetworkTask = std::function<void()>;
// Runs |task| on the network thread after the tasks posted before it.  Returns false once the
// thread is shutting down; the task is then kept, never run.
bool PostNetworkTask(NetworkTask task);
// Whether the caller runs on the network thread.
bool OnNetworkThread();
// Network thread only: runs |task| as soon as the current task (or HTTP stack call) returns,
// before anything else.
void RunOnNetworkSoon(NetworkTask task);
// Network thread only: runs |task| after |delay|; the id is for CancelDelayedNetworkTask.
uint64_t PostDelayedNetworkTask(std::chrono::milliseconds delay, NetworkTask task);
void CancelDelayedNetworkTask(uint64_t id);

}  // namespace tavorisdk::internal

#endif  // TAVORI_PLATFORM_SRC_SDK_RUNTIME_H_
