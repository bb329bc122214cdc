// The privileged installer service: the POSIX stand-in for the client's local COM server that
// starts installers with rights its callers lack.
//
// It listens on a Unix stream socket that every local user may connect to, and so trusts nothing
// it is sent.  For each ExecInstall the caller hands over the installer as a descriptor it opened
// itself (the service never opens a path for a caller); the service checks that it is a regular
// file open for reading, copies it into a staging directory that only the service can write,
// hashing it on the way, then checks the MD5 text and the Authenticode publisher on that copy and
// starts the installer from the copy's descriptor.  The caller can therefore not swap or change
// the file between the check and the start.  It answers S_OK only when the installer was started.
// The socket's peer credentials name the caller for the records and the per-user limits.
//
// Everything a caller can make the service spend is bounded by ServiceConfig: connections (in
// all and per user; more wait for a bounded time, then are closed), the time a request and a
// connection may take to arrive, the installer's size, the staging directory's free space, and
// the installs running at once (in all and per user).
//
// Threads: Run() is an event loop on the calling thread that accepts connections, reads requests
// without blocking, answers the quick ones and writes every reply.  ExecInstall's slow work (copy,
// hash, verify, start) runs on a pool of at most ServiceConfig::workers threads, created when
// work is queued.  Stop() and GetStats() may be called from any thread.  |mu_| guards the work
// queue, the finished work and the per-user install counts; everything else of the loop belongs
// to the loop's thread.

#ifndef INSTALLER_SERVICE_SRC_INSTALLER_SERVICE_H_
#define INSTALLER_SERVICE_SRC_INSTALLER_SERVICE_H_

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "base/synchronization/condition_variable.h"
#include "base/synchronization/lock.h"
#include "base/thread_annotations.h"
#include "os/com.h"
#include "os/posix/scoped_fd.h"

namespace installer_service {

using HResult = os::com::HResult;

// The staging directory's place under the machine-wide root of the stand-ins.
inline constexpr char kStagingRelativePath[] = "run/installer-staging";

struct ServiceConfig {
  // The socket to listen on; its directory is created (0755) when missing.
  std::string socket_path;
  // A listening socket that the service manager made and handed over (socket activation), used
  // instead of binding |socket_path|; -1: none.  Listen() takes ownership.
  int inherited_listen_fd = -1;
  // Where installers are copied before they are checked and started; created 0700.
  std::string staging_dir;
  // PEM bundle of the code-signing roots; the system's store when the file does not exist.
  std::string trust_bundle_path;

  // Connections being served at once, in all and of one user (by peer uid).
  size_t max_connections = 64;
  size_t max_connections_per_user = 8;
  // Connections beyond those wait, accepted but unread, for at most |wait_timeout|; more than
  // these many waiting (in all, of one user) are closed at once.  Beyond that the kernel's listen
  // backlog holds callers.
  size_t max_waiting = 256;
  size_t max_waiting_per_user = 32;
  int listen_backlog = 128;
  std::chrono::milliseconds wait_timeout{std::chrono::seconds(30)};
  // Each request must arrive whole within |request_timeout| of the service starting to wait for
  // it; a connection's requests must all have arrived within |connection_timeout| of its being
  // served.  Bytes that trickle in restart neither.
  std::chrono::milliseconds request_timeout{std::chrono::seconds(15)};
  std::chrono::milliseconds connection_timeout{std::chrono::seconds(60)};

  // Threads that copy, check and start installers, and how many installs of one user run at
  // once (the others of that user wait their turn).
  size_t workers = 4;
  size_t max_installs_per_user = 2;
  // Larger installers are refused (ERROR_FILE_TOO_LARGE).
  uint64_t max_installer_bytes = uint64_t{512} << 20;
  // A copy must leave this much free in the staging file system (else ERROR_DISK_FULL).
  uint64_t staging_reserve_bytes = uint64_t{64} << 20;
  // Failures to accept or to create a worker are retried after a pause that doubles from
  // |min_backoff| up to |max_backoff|.
  std::chrono::milliseconds min_backoff{50};
  std::chrono::milliseconds max_backoff{std::chrono::seconds(2)};

  // Tests only: called on the worker thread when an install of |uid| begins its copy.
  std::function<void(uid_t uid)> on_install_started;
};

// The identity of a connected client, from SO_PEERCRED.
struct Caller {
  pid_t pid = 0;
  uid_t uid = 0;
  gid_t gid = 0;
};

class Service {
 public:
  // A snapshot of what the service holds, for tests and records.
  struct Stats {
    size_t serving = 0;  // connections with a slot
    size_t waiting = 0;  // accepted connections waiting for a slot
    size_t queued_installs = 0;
    size_t running_installs = 0;
    size_t workers = 0;
    size_t accept_failures = 0;  // since the start
  };

  explicit Service(ServiceConfig config);
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Creates the directories and the listening socket (or takes the one handed over).  False,
  // with a log record, on failure.
  bool Listen();
  // Serves until Stop(); then closes every connection and joins the workers (an install that is
  // running is finished first).
  void Run();
  // Makes Run() return.  Any thread; idempotent.
  void Stop();
  // Any thread.
  Stats GetStats() const;

 private:
  // Listen() with ServiceConfig::inherited_listen_fd.
  bool AdoptListeningSocket();
  struct Connection;
  struct Install;

  // Event loop (Run's thread).
  void Accept();
  void Admit(std::unique_ptr<Connection> connection);
  void PromoteWaiting();
  void OnReadable(Connection* connection);
  void OnRequest(Connection* connection, const std::string& payload, os::posix::ScopedFd descriptor,
                 bool extra_ancillary);
  void Reply(Connection* connection, HResult result);
  void Close(uint64_t id);
  void ExpireDeadlines();
  void CollectFinishedInstalls();
  // Starts workers while queued installs outnumber the free ones; the time of the next attempt
  // when one is needed but paused, else time_point::max().
  std::chrono::steady_clock::time_point StartWorkersIfNeeded();
  std::chrono::milliseconds NextBackoff(std::chrono::milliseconds current) const;

  // Workers.
  void WorkerLoop();
  HResult ExecInstall(const Install& install);
  HResult Stage(int source, uint64_t size, std::string* staged_path, os::posix::ScopedFd* staged,
                std::string* md5);
  HResult CheckPublisher(int staged_fd);
  static HResult Start(int staged_fd, const std::string& name, const std::string& parameters);

  const ServiceConfig config_;
  os::posix::ScopedFd listen_fd_;
  os::posix::ScopedFd staging_fd_;  // the staging directory, checked to be the service's own
  os::posix::ScopedFd wake_fd_;     // eventfd: Stop() and finished installs wake the loop
  std::atomic<bool> stopping_{false};

  // Loop thread only.
  uint64_t next_id_ = 1;
  std::map<uint64_t, std::unique_ptr<Connection>> connections_;
  std::deque<uint64_t> waiting_;  // ids of waiting connections, oldest first
  std::map<uid_t, size_t> serving_per_user_;
  std::map<uid_t, size_t> waiting_per_user_;
  std::chrono::steady_clock::time_point accept_resume_;  // accept paused until then
  std::chrono::milliseconds accept_backoff_{0};
  std::chrono::steady_clock::time_point worker_retry_;  // no new worker before then
  std::chrono::milliseconds worker_backoff_{0};
  std::vector<std::thread> workers_;
  std::atomic<size_t> serving_count_{0};
  std::atomic<size_t> waiting_count_{0};
  std::atomic<size_t> accept_failures_{0};

  mutable base::Lock mu_;
  base::ConditionVariable work_ready_;
  std::deque<std::unique_ptr<Install>> queue_ GUARDED_BY(mu_);
  std::vector<std::pair<uint64_t, HResult>> finished_ GUARDED_BY(mu_);
  std::map<uid_t, size_t> running_per_user_ GUARDED_BY(mu_);
  size_t running_ GUARDED_BY(mu_) = 0;
  size_t worker_count_ GUARDED_BY(mu_) = 0;
  bool workers_stop_ GUARDED_BY(mu_) = false;
};

// Text of an HRESULT as 0x%08X, for log records (os::com's; kept under the service's name).
using os::com::HResultText;

}  // namespace installer_service

#endif  // INSTALLER_SERVICE_SRC_INSTALLER_SERVICE_H_
