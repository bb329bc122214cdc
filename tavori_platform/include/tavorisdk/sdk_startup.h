// Start-up of the platform SDK.
//
// The SDK works without these calls: its services start what they need on first
// use.  Calling them starts the SDK early, on the caller's thread, so that the
// first request does not pay for it.  Each function is idempotent and may be
// called from any thread; only the first InitSDK's parameters count.  They
// return kSdkOk or one of the kSdkError* codes.

#ifndef TAVORISDK_SDK_STARTUP_H_
#define TAVORISDK_SDK_STARTUP_H_

#include <string>

namespace tavorisdk {

inline constexpr int kSdkOk = 0;
inline constexpr int kSdkErrorNetworkInit = 1;  // the HTTP stack could not be initialised
inline constexpr int kSdkErrorNoTls = 2;        // the HTTP stack has no TLS support

// The start-up record.  A default-constructed record is the SDK's normal
// configuration.
struct SDKStartupParam {
  // Sent as User-Agent with every request; empty means "TavoriSDK/<product
  // version>".
  std::string user_agent;
  // Certificate bundle to verify TLS servers against; empty means the system's
  // store.
  std::string ca_bundle_path;
  // How many connections the network thread keeps open to one host at most.
  int max_connections_per_host = 4;
};

}  // namespace tavorisdk

// Records |param| (null: defaults) and initialises the HTTP stack's global
// state.
int InitSDK(const tavorisdk::SDKStartupParam* param);
// Checks that the HTTP stack can do what the services need (TLS, proxies).
int InitBeforeStartupSDK();
// Starts the SDK's network thread.
int StartupSDK();

#endif  // TAVORISDK_SDK_STARTUP_H_
