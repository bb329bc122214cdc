// The privileged installer service: the POSIX stand-in for the client's local COM server that
// starts installers with rights its callers lack.
//
// It listens on a Unix stream socket that every local user may connect to, and so trusts nothing
// it is sent.  For each ExecInstall it learns the caller from the socket's peer credentials, opens
// the installer once with the caller's file-system identity (a caller cannot make it read a file
// it could not read itself), copies it into a staging directory that only the service can write,
// hashing it on the way, and then checks the MD5 text and the Authenticode publisher on that copy
// and starts the installer from it.  The caller can therefore not swap or change the file between
// the check and the start.  The installer is started from the descriptor of that copy (the copy's
// name is removed once it runs).  It answers S_OK only when the installer was started.
//
// Threads: Run() accepts connections on the calling thread; each connection is served on a
// thread of its own (at most ServiceConfig::max_connections at once; more are closed at once).
// Stop() may be called from any thread (or a signal-handling thread).  |mu_| guards the set of
// connection threads.

#ifndef OS_INSTALLER_SERVICE_SRC_INSTALLER_SERVICE_H_
#define OS_INSTALLER_SERVICE_SRC_INSTALLER_SERVICE_H_

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

namespace installer_service {

using HResult = int32_t;

struct ServiceConfig {
  // The socket to listen on; its directory is created (0755) when missing.
  std::string socket_path;
  // Where installers are copied before they are checked and started; created 0700.
  std::string staging_dir;
  // PEM bundle of the code-signing roots; the system's store when the file does not exist.
  std::string trust_bundle_path;
  size_t max_connections = 16;
  // A connection that sends nothing for this long is closed.
  std::chrono::seconds idle_timeout{30};
  // Larger installers are refused.
  uint64_t max_installer_bytes = uint64_t{4} << 30;
};

// The identity of a connected client, from SO_PEERCRED.
struct Caller {
  pid_t pid = 0;
  uid_t uid = 0;
  gid_t gid = 0;
};

class Service {
 public:
  explicit Service(ServiceConfig config);
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Creates the directories and the listening socket.  False, with a log record, on failure.
  bool Listen();
  // Serves until Stop(); then closes every connection and joins their threads.
  void Run();
  // Makes Run() return.  Any thread; idempotent.
  void Stop();

  // One request of a connection (public for tests): the reply's HRESULT.  |created| tells
  // whether the connection's "create" succeeded and is updated by it.
  HResult Handle(const Caller& caller, const nlohmann::json& request, bool* created);

 private:
  void Serve(int fd);
  HResult ExecInstall(const Caller& caller, const nlohmann::json& request);

  // Opens |path| for reading as |caller| would; a HRESULT failure or the descriptor.
  HResult OpenAsCaller(const Caller& caller, const std::string& path, int* fd);
  // Copies |source| into a new file of the staging directory while hashing it.
  HResult Stage(int source, std::string* staged_path, int* staged_fd, std::string* md5);
  // The Authenticode check of the staged copy: S_OK for an accepted publisher.
  HResult CheckPublisher(int staged_fd);
  // Starts the staged installer open on |staged_fd|, named |name|, with |parameters| split by the
  // Windows command-line rules.
  HResult Start(int staged_fd, const std::string& name, const std::string& parameters);

  const ServiceConfig config_;
  int listen_fd_ = -1;
  int wake_fd_ = -1;  // eventfd that Stop() signals
  std::atomic<bool> stopping_{false};
  std::atomic<size_t> active_connections_{0};

  std::mutex mu_;
  std::list<std::thread> connections_;  // guarded by mu_
  std::list<int> connection_fds_;       // guarded by mu_; shut down by Stop()
};

// Text of an HRESULT as 0x%08X, for log records.
std::string HResultText(HResult hr);

}  // namespace installer_service

#endif  // OS_INSTALLER_SERVICE_SRC_INSTALLER_SERVICE_H_
