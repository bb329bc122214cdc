// The update library's interface for its host: the client application or its update process.
//
// A host loads the library, optionally calls SetInitTavoriSDK, installs an event delegate with
// SetUpdateDelegate, and then sends one JSON command per DoUpdateOperation call:
//
//   {"version": "1.0", "command": "check_upgrade", "token": 5, "parameters": {...}}
//
// Commands are "check_upgrade", "download", "cancel_download" and "install".  Each call returns
// a result code at once (0: accepted and carried out or started); what happens later reaches the
// host only as JSON events through its delegate, on the library's network thread:
//
//   {"version": "1.0", "command": "download_progress", "token": 5,
//    "parameters": {"downloaded_size": 1024, "total_size": 4096}}
//
// The host calls the three functions one at a time (it serialises its calls); they may be called
// from inside OnUpdateEvent.  No exception leaves the library.  This header is self-contained: a
// host needs nothing else of ours.  Host and library must share the standard library's layout of
// std::string, since commands and events are passed as std::string references.

#ifndef UPDATE_UPDATE_LIB_UPDATE_LIB_H_
#define UPDATE_UPDATE_LIB_UPDATE_LIB_H_

#include <string>

// Set by the library's own build to make the three functions visible; empty for hosts.
#ifndef UPDATE_LIB_EXPORT
#define UPDATE_LIB_EXPORT
#endif

// The host's event receiver.  The host creates, owns and installs it; the library never deletes
// it.
//
// The order of the two virtual functions is part of the binary interface: OnUpdateEvent must be
// the second entry of the table of virtual functions for hosts built apart from the library.
// That is why the first entry is an ordinary function and the destructor is not virtual: on the
// Itanium C++ ABI (GCC, Clang) a virtual destructor takes two entries of the table and would push
// OnUpdateEvent to the third.  Hosts delete their delegates through their own type; declaring the
// host's class final keeps -Wnon-virtual-dtor quiet.
class IUpdateEventDelegate {
 public:
  // Entry 1: never called by the library.
  virtual void OnDelegateAttached() {}

  // Entry 2: receives one event's JSON text.  Called on the library's network thread, also while
  // the host is inside a DoUpdateOperation call on another thread.  |event| lives only for the
  // call.  The host may call the library from here; it must not block waiting for a thread that
  // is itself calling into the library.
  virtual void OnUpdateEvent(const std::string& event) = 0;

 protected:
  ~IUpdateEventDelegate() = default;
};

namespace UpdateLib {

// The results of DoUpdateOperation.
inline constexpr int kResultOk = 0;
inline constexpr int kResultBadRequest = 1;  // bad envelope or parameter
inline constexpr int kResultUnknownCommand = 2;
inline constexpr int kResultInstallerNotStarted = 4;  // with the caller's rights
inline constexpr int kResultNoServiceUrl = 5;         // no remembered service URL
inline constexpr int kResultNoCheckAnswer = 8;        // no usable check answer
inline constexpr int kResultNoPackage = 9;            // the check answer lacks the package
inline constexpr int kResultStaleToken = 11;
// Or'ed into the HRESULT of a failed privileged installation (that result is
// kResultElevatedInstallFailed | HRESULT).
inline constexpr int kResultElevatedInstallFailed = 0x30000;

}  // namespace UpdateLib

extern "C" {

// Runs one command.  |request| is the whole JSON command text, UTF-8.  Returns one of the
// results above.
UPDATE_LIB_EXPORT int DoUpdateOperation(const std::string& request);

// Whether the library starts the platform SDK itself.  Counts only before the first
// SetUpdateDelegate and the first accepted DoUpdateOperation.
UPDATE_LIB_EXPORT void SetInitTavoriSDK(bool init);

// Installs |delegate| (null: events are dropped), replacing the previous one; always returns 0.
// When it returns, no event is being delivered to the previous delegate on another thread, so
// the host may delete that delegate.
UPDATE_LIB_EXPORT int SetUpdateDelegate(IUpdateEventDelegate* delegate);

}  // extern "C"

#endif  // UPDATE_UPDATE_LIB_UPDATE_LIB_H_
