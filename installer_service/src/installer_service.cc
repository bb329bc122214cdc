#include "src/installer_service.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "authenticode/authenticode.h"
#include "base/log/log.h"
#include "os/com.h"
#include "os/installer_protocol.h"
#include "os/posix/spawn.h"
#include "os/result.h"
#include "os/shell.h"
#include "os/utf.h"
#include "tavori_common/utils/publisher.h"
#include "util/crypto/crypto.h"
#include "util/stringhelp/stringhelp.h"

namespace installer_service {
namespace {

constexpr char kLogSource[] = "installer_service";

namespace protocol = os::installer_protocol;
using base::log::kLevelFailure;
using base::log::kLevelNote;
using base::log::kLevelRefused;
using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;
using os::posix::ScopedFd;

constexpr HResult kSOk = 0;
constexpr HResult kENotImpl = static_cast<HResult>(0x80004001);
constexpr HResult kENoInterface = static_cast<HResult>(0x80004002);
constexpr HResult kEUnexpected = static_cast<HResult>(0x8000FFFF);
constexpr HResult kEInvalidArg = static_cast<HResult>(0x80070057);
constexpr HResult kRegdbEClassNotReg = static_cast<HResult>(0x80040154);
constexpr HResult kCryptEHashValue = static_cast<HResult>(0x80091007);
constexpr uint32_t kErrorFileTooLarge = 223;
constexpr uint32_t kErrorDiskFull = 112;
constexpr uint32_t kErrorReadFault = 30;

// Trust verdicts, as WinVerifyTrust reports them.
constexpr HResult kTrustESubjectFormUnknown = static_cast<HResult>(0x800B0003);
constexpr HResult kTrustESubjectNotTrusted = static_cast<HResult>(0x800B0004);
constexpr HResult kTrustENoSignature = static_cast<HResult>(0x800B0100);
constexpr HResult kTrustEBadDigest = static_cast<HResult>(0x80096010);
constexpr HResult kNteBadSignature = static_cast<HResult>(0x80090006);
constexpr HResult kNteBadAlgId = static_cast<HResult>(0x80090008);
constexpr HResult kCertEExpired = static_cast<HResult>(0x800B0101);
constexpr HResult kCertEUntrustedRoot = static_cast<HResult>(0x800B0109);
constexpr HResult kCertEWrongUsage = static_cast<HResult>(0x800B0110);

// The one mode ExecInstall knows: start the installer and answer once it runs.
constexpr uint32_t kModeStart = 1;

constexpr size_t kMaxPathBytes = 4096;
constexpr size_t kMaxParameterBytes = 32 * 1024;
// Connections accepted per turn of the loop, so that a flood cannot starve the others.
constexpr int kAcceptsPerTurn = 64;

HResult FromWin32(uint32_t error) {
  return error == 0 ? kSOk : static_cast<HResult>(0x80070000u | (error & 0xFFFFu));
}

HResult FromErrno(int error) { return FromWin32(os::ErrorFromErrno(error)); }

// How many |per_user| counts for |uid|; a user with none has no entry.
size_t CountOf(const std::map<uid_t, size_t>& per_user, uid_t uid) {
  const auto it = per_user.find(uid);
  return it == per_user.end() ? 0 : it->second;
}

// Takes one off |uid|'s count, dropping the entry at zero.
void Forget(std::map<uid_t, size_t>* per_user, uid_t uid) {
  const auto it = per_user->find(uid);
  if (it != per_user->end() && --it->second == 0) {
    per_user->erase(it);
  }
}

}  // namespace

std::string HResultText(HResult hr) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", static_cast<uint32_t>(hr));
  return text;
}

// One accepted connection.  Loop thread only.
struct Service::Connection {
  enum class State {
    kWaiting,  // accepted, waiting for a slot of its user; not read
    kReading,  // has a slot; reading its next request
    kWorking,  // its ExecInstall is queued or running; not read
  };

  uint64_t id = 0;
  ScopedFd fd;
  Caller caller;
  State state = State::kWaiting;
  Clock::time_point wait_deadline;
  Clock::time_point request_deadline;
  Clock::time_point connection_deadline;
  Clock::time_point working_since;
  bool created = false;  // "create" succeeded
  protocol::FrameReader reader;
};

// One ExecInstall handed to the workers; owned by the queue, then by the worker running it.
struct Service::Install {
  uint64_t connection_id = 0;
  Caller caller;
  std::string path;
  std::string parameters;
  std::string md5;
  uint32_t session_id = 0;
  ScopedFd installer;  // the descriptor the caller sent
};

Service::Service(ServiceConfig config) : config_(std::move(config)) {}

Service::~Service() { Stop(); }

bool Service::Listen() {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path socket_path(config_.socket_path);
  fs::create_directories(socket_path.parent_path(), error);
  fs::create_directories(config_.staging_dir, error);
  // The staging directory must be a directory of the service's own (not a link to one), which
  // nobody else may enter.
  staging_fd_.reset(
      open(config_.staging_dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st {};
  if (!staging_fd_.valid() || fstat(staging_fd_.get(), &st) != 0 || st.st_uid != geteuid() ||
      fchmod(staging_fd_.get(), 0700) != 0) {
    BASE_LOG(kLevelFailure) << "cannot use the staging directory " << config_.staging_dir << ": "
                            << (errno != 0 ? std::strerror(errno) : "not the service's own");
    return false;
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (config_.socket_path.size() >= sizeof(address.sun_path)) {
    BASE_LOG(kLevelFailure) << "socket path too long: " << config_.socket_path;
    return false;
  }
  std::memcpy(address.sun_path, config_.socket_path.c_str(), config_.socket_path.size() + 1);
  // A socket left by an earlier run is replaced; anything else at that place is not touched.
  if (lstat(config_.socket_path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
    unlink(config_.socket_path.c_str());
  }
  listen_fd_.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  wake_fd_.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!listen_fd_.valid() || !wake_fd_.valid() ||
      bind(listen_fd_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
      chmod(config_.socket_path.c_str(), 0666) != 0 ||
      listen(listen_fd_.get(), config_.listen_backlog) != 0) {
    BASE_LOG(kLevelFailure) << "cannot listen on " << config_.socket_path << ": "
                            << std::strerror(errno);
    return false;
  }
  BASE_LOG(kLevelNote) << "listening on " << config_.socket_path;
  return true;
}

void Service::Stop() {
  if (stopping_.exchange(true)) {
    return;
  }
  if (wake_fd_.valid()) {
    const uint64_t one = 1;
    (void)!write(wake_fd_.get(), &one, sizeof(one));
  }
}

Service::Stats Service::GetStats() const {
  Stats stats;
  stats.serving = serving_count_.load();
  stats.waiting = waiting_count_.load();
  stats.accept_failures = accept_failures_.load();
  std::lock_guard<std::mutex> lock(mu_);
  stats.queued_installs = queue_.size();
  stats.running_installs = running_;
  stats.workers = worker_count_;
  return stats;
}

void Service::Run() {
  std::vector<pollfd> fds;
  std::vector<uint64_t> ids;  // the connection polled at fds[i + first_connection]
  while (!stopping_.load()) {
    const Clock::time_point worker_retry = StartWorkersIfNeeded();
    const Clock::time_point now = Clock::now();
    fds.clear();
    ids.clear();
    fds.push_back({wake_fd_.get(), POLLIN, 0});
    const bool accepting = now >= accept_resume_;
    if (accepting) {
      fds.push_back({listen_fd_.get(), POLLIN, 0});
    }
    const size_t first_connection = fds.size();
    // The next moment something expires or a pause ends.
    Clock::time_point wake_at = worker_retry;
    if (!accepting) {
      wake_at = std::min(wake_at, accept_resume_);
    }
    for (const auto& [id, connection] : connections_) {
      if (connection->state == Connection::State::kReading) {
        fds.push_back({connection->fd.get(), POLLIN, 0});
        ids.push_back(id);
        wake_at =
            std::min({wake_at, connection->request_deadline, connection->connection_deadline});
      } else if (connection->state == Connection::State::kWaiting) {
        // Only a hang-up is of interest: a caller that gave up frees its place at once.
        fds.push_back({connection->fd.get(), POLLRDHUP, 0});
        ids.push_back(id);
        wake_at = std::min(wake_at, connection->wait_deadline);
      }
    }
    int timeout_ms = -1;
    if (wake_at != Clock::time_point::max()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(wake_at - now).count();
      timeout_ms = static_cast<int>(std::clamp<long long>(left, 0, 60'000));
    }
    if (poll(fds.data(), fds.size(), timeout_ms) < 0) {
      if (errno == EINTR) {
        continue;
      }
      // Only a broken argument makes poll fail otherwise; pause rather than spin.
      BASE_LOG(kLevelFailure) << "poll failed: " << std::strerror(errno);
      pollfd none{};
      poll(&none, 0, static_cast<int>(config_.max_backoff.count()));
      continue;
    }
    if ((fds[0].revents & POLLIN) != 0) {
      uint64_t count;
      (void)!read(wake_fd_.get(), &count, sizeof(count));
    }
    CollectFinishedInstalls();
    if (accepting && (fds[1].revents & POLLIN) != 0) {
      Accept();
    }
    for (size_t i = 0; i < ids.size(); ++i) {
      const short revents = fds[first_connection + i].revents;
      if (revents == 0) {
        continue;
      }
      auto it = connections_.find(ids[i]);
      if (it == connections_.end()) {
        continue;
      }
      if (it->second->state == Connection::State::kReading) {
        OnReadable(it->second.get());
      } else if (it->second->state == Connection::State::kWaiting) {
        Close(ids[i]);
      }
    }
    ExpireDeadlines();
    PromoteWaiting();
  }

  // Queued installs are dropped; running ones finish, then their workers end.
  {
    std::lock_guard<std::mutex> lock(mu_);
    workers_stop_ = true;
    queue_.clear();
  }
  work_ready_.notify_all();
  for (std::thread& worker : workers_) {
    worker.join();
  }
  workers_.clear();
  connections_.clear();
  waiting_.clear();
  serving_per_user_.clear();
  waiting_per_user_.clear();
  serving_count_ = 0;
  waiting_count_ = 0;
}

std::chrono::milliseconds Service::NextBackoff(std::chrono::milliseconds current) const {
  return current.count() == 0 ? config_.min_backoff : std::min(current * 2, config_.max_backoff);
}

void Service::Accept() {
  for (int i = 0; i < kAcceptsPerTurn; ++i) {
    ScopedFd fd(accept4(listen_fd_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!fd.valid()) {
      const int error = errno;
      if (error == EINTR || error == ECONNABORTED) {
        continue;
      }
      if (error == EAGAIN || error == EWOULDBLOCK) {
        accept_backoff_ = std::chrono::milliseconds(0);
        return;
      }
      // Out of descriptors or memory (EMFILE, ENFILE, ENOMEM, ENOBUFS) or anything else: the
      // callers stay in the listen backlog until the pause is over.
      ++accept_failures_;
      accept_backoff_ = NextBackoff(accept_backoff_);
      accept_resume_ = Clock::now() + accept_backoff_;
      BASE_LOG(kLevelFailure) << "accept failed: " << std::strerror(error) << "; pausing "
                              << accept_backoff_.count() << " ms";
      return;
    }
    accept_backoff_ = std::chrono::milliseconds(0);
    ucred credentials{};
    socklen_t size = sizeof(credentials);
    if (getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) {
      continue;  // closed: a caller that cannot be named is not served
    }
    // A caller that has hung up already (a burst of connect and close) takes no place.
    pollfd hangup{fd.get(), POLLRDHUP, 0};
    if (poll(&hangup, 1, 0) == 1 && (hangup.revents & (POLLHUP | POLLRDHUP | POLLERR)) != 0) {
      continue;
    }
    auto connection = std::make_unique<Connection>();
    connection->id = next_id_++;
    connection->fd = std::move(fd);
    connection->caller = Caller{credentials.pid, credentials.uid, credentials.gid};
    Admit(std::move(connection));
  }
}

void Service::Admit(std::unique_ptr<Connection> connection) {
  const Clock::time_point now = Clock::now();
  const uid_t uid = connection->caller.uid;
  const uint64_t id = connection->id;
  if (serving_count_ < config_.max_connections &&
      CountOf(serving_per_user_, uid) < config_.max_connections_per_user &&
      CountOf(waiting_per_user_, uid) == 0) {
    connection->state = Connection::State::kReading;
    connection->connection_deadline = now + config_.connection_timeout;
    connection->request_deadline = now + config_.request_timeout;
    ++serving_per_user_[uid];
    ++serving_count_;
  } else if (waiting_count_ < config_.max_waiting &&
             CountOf(waiting_per_user_, uid) < config_.max_waiting_per_user) {
    connection->state = Connection::State::kWaiting;
    connection->wait_deadline = now + config_.wait_timeout;
    ++waiting_per_user_[uid];
    ++waiting_count_;
    waiting_.push_back(id);
  } else {
    BASE_LOG(kLevelRefused) << "too many connections of uid " << uid << "; pid "
                            << connection->caller.pid << " refused";
    return;  // closed with |connection|
  }
  connections_.emplace(id, std::move(connection));
}

void Service::PromoteWaiting() {
  const Clock::time_point now = Clock::now();
  for (auto it = waiting_.begin();
       it != waiting_.end() && serving_count_ < config_.max_connections;) {
    Connection* connection = connections_.at(*it).get();
    const uid_t uid = connection->caller.uid;
    if (CountOf(serving_per_user_, uid) >= config_.max_connections_per_user) {
      ++it;
      continue;
    }
    it = waiting_.erase(it);
    Forget(&waiting_per_user_, uid);
    --waiting_count_;
    connection->state = Connection::State::kReading;
    connection->connection_deadline = now + config_.connection_timeout;
    connection->request_deadline = now + config_.request_timeout;
    ++serving_per_user_[uid];
    ++serving_count_;
  }
}

void Service::Close(uint64_t id) {
  auto it = connections_.find(id);
  if (it == connections_.end()) {
    return;
  }
  const uid_t uid = it->second->caller.uid;
  if (it->second->state == Connection::State::kWaiting) {
    waiting_.erase(std::find(waiting_.begin(), waiting_.end(), id));
    Forget(&waiting_per_user_, uid);
    --waiting_count_;
  } else {
    Forget(&serving_per_user_, uid);
    --serving_count_;
  }
  connections_.erase(it);
}

void Service::ExpireDeadlines() {
  const Clock::time_point now = Clock::now();
  std::vector<uint64_t> expired;
  for (const auto& [id, connection] : connections_) {
    if ((connection->state == Connection::State::kReading &&
         (now >= connection->request_deadline || now >= connection->connection_deadline)) ||
        (connection->state == Connection::State::kWaiting && now >= connection->wait_deadline)) {
      expired.push_back(id);
    }
  }
  for (uint64_t id : expired) {
    const Connection& connection = *connections_.at(id);
    BASE_LOG(kLevelRefused) << (connection.state == Connection::State::kWaiting
                                    ? "waited too long for a slot"
                                    : "request did not arrive in time")
                            << ": uid " << connection.caller.uid << " pid "
                            << connection.caller.pid;
    Close(id);
  }
}

void Service::OnReadable(Connection* connection) {
  using Result = protocol::FrameReader::Result;
  switch (connection->reader.Read(connection->fd.get())) {
    case Result::kIncomplete:
      return;
    case Result::kClosed:
    case Result::kError:
      Close(connection->id);
      return;
    case Result::kTooLarge: {
      // The rest of the frame cannot be skipped safely: answer and end the connection.
      const uint64_t id = connection->id;
      Reply(connection, kEInvalidArg);
      Close(id);
      return;
    }
    case Result::kFrame: {
      protocol::FrameReader::Frame frame = connection->reader.Take();
      OnRequest(connection, std::move(frame.payload), std::move(frame.descriptor),
                frame.extra_ancillary);
      return;
    }
  }
}

void Service::OnRequest(Connection* connection, std::string payload, ScopedFd descriptor,
                        bool extra_ancillary) {
  const Caller& caller = connection->caller;
  const Json request = Json::parse(payload, nullptr, /*allow_exceptions=*/false);
  if (!request.is_object() || !request.contains("type") || !request["type"].is_string()) {
    BASE_LOG(kLevelRefused) << "malformed request from uid " << caller.uid << " pid " << caller.pid;
    Reply(connection, kEInvalidArg);
    return;
  }
  const std::string type = request["type"].get<std::string>();
  const bool exec_install = type == "exec_install";
  // Exactly one descriptor comes with ExecInstall, and nothing with anything else.
  if (extra_ancillary || descriptor.valid() != exec_install) {
    BASE_LOG(kLevelRefused) << "request \"" << type << "\" from uid " << caller.uid << " pid "
                            << caller.pid << " came with "
                            << (extra_ancillary      ? "unexpected ancillary data"
                                : descriptor.valid() ? "a descriptor"
                                                     : "no descriptor");
    Reply(connection, kEInvalidArg);
    return;
  }
  if (type == "create") {
    const Json clsid = request.value("clsid", Json());
    const Json iid = request.value("iid", Json());
    HResult result = kSOk;
    if (!clsid.is_string() ||
        clsid.get<std::string>() != os::com::GuidText(os::com::kPrivilegedInstallerClassId)) {
      result = kRegdbEClassNotReg;
    } else if (!iid.is_string() ||
               iid.get<std::string>() !=
                   os::com::GuidText(os::com::kPrivilegedInstallerInterfaceId)) {
      result = kENoInterface;
    } else {
      connection->created = true;
    }
    Reply(connection, result);
    return;
  }
  if (!exec_install) {
    Reply(connection, kENotImpl);
    return;
  }
  if (!connection->created) {
    Reply(connection, kEUnexpected);
    return;
  }
  auto text = [&request](const char* key, size_t limit, std::string* out) {
    auto it = request.find(key);
    if (it == request.end() || !it->is_string()) {
      return false;
    }
    *out = it->get<std::string>();
    return out->size() <= limit && out->find('\0') == std::string::npos;
  };
  auto number = [&request](const char* key, uint32_t* out) {
    auto it = request.find(key);
    if (it == request.end() || !it->is_number_unsigned() || it->get<uint64_t>() > UINT32_MAX) {
      return false;
    }
    *out = static_cast<uint32_t>(it->get<uint64_t>());
    return true;
  };
  auto install = std::make_unique<Install>();
  install->connection_id = connection->id;
  install->caller = caller;
  uint32_t mode = 0;
  // The session is recorded; the installer runs as the service, which is the point of asking it.
  if (!text("path", kMaxPathBytes, &install->path) ||
      !text("parameters", kMaxParameterBytes, &install->parameters) ||
      !text("md5", 64, &install->md5) || !number("session_id", &install->session_id) ||
      !number("mode", &mode) || install->path.empty() || install->path.front() != '/' ||
      !util::crypto::IsMd5Text(install->md5) || mode != kModeStart) {
    BASE_LOG(kLevelRefused) << "bad ExecInstall request from uid " << caller.uid << " pid "
                            << caller.pid;
    Reply(connection, kEInvalidArg);
    return;
  }
  install->installer = std::move(descriptor);
  connection->state = Connection::State::kWorking;
  connection->working_since = Clock::now();
  {
    std::lock_guard<std::mutex> lock(mu_);
    queue_.push_back(std::move(install));
  }
  work_ready_.notify_all();
}

void Service::Reply(Connection* connection, HResult result) {
  // Sockets are non-blocking: a caller that does not read its replies is dropped, not waited for.
  if (protocol::WriteFrame(connection->fd.get(), Json{{"hresult", result}}.dump()) !=
      protocol::IoStatus::kOk) {
    Close(connection->id);
    return;
  }
  connection->request_deadline = Clock::now() + config_.request_timeout;
}

void Service::CollectFinishedInstalls() {
  std::vector<std::pair<uint64_t, HResult>> finished;
  {
    std::lock_guard<std::mutex> lock(mu_);
    finished.swap(finished_);
  }
  for (const auto& [id, result] : finished) {
    auto it = connections_.find(id);
    if (it == connections_.end()) {
      continue;
    }
    Connection* connection = it->second.get();
    connection->state = Connection::State::kReading;
    // The time spent installing does not count against the connection.
    connection->connection_deadline += Clock::now() - connection->working_since;
    Reply(connection, result);
  }
}

Clock::time_point Service::StartWorkersIfNeeded() {
  std::lock_guard<std::mutex> lock(mu_);
  const Clock::time_point now = Clock::now();
  // Workers not running an install are waiting for one or about to.
  while (worker_count_ < config_.workers && worker_count_ - running_ < queue_.size()) {
    if (now < worker_retry_) {
      return worker_retry_;
    }
    try {
      workers_.emplace_back([this] { WorkerLoop(); });
    } catch (const std::system_error& error) {
      // Out of threads (another user may be exhausting them): the installs wait in the queue.
      worker_backoff_ = NextBackoff(worker_backoff_);
      worker_retry_ = now + worker_backoff_;
      BASE_LOG(kLevelFailure) << "cannot start a worker: " << error.what() << "; retrying in "
                              << worker_backoff_.count() << " ms";
      return worker_retry_;
    }
    ++worker_count_;
    worker_backoff_ = std::chrono::milliseconds(0);
  }
  return Clock::time_point::max();
}

void Service::WorkerLoop() {
  std::unique_lock<std::mutex> lock(mu_);
  while (!workers_stop_) {
    // The oldest install whose user has a free place; the others of a busy user wait.
    auto it = std::find_if(queue_.begin(), queue_.end(), [this](const auto& install) {
      return CountOf(running_per_user_, install->caller.uid) < config_.max_installs_per_user;
    });
    if (it == queue_.end()) {
      work_ready_.wait(lock);
      continue;
    }
    std::unique_ptr<Install> install = std::move(*it);
    queue_.erase(it);
    const uid_t uid = install->caller.uid;
    ++running_;
    ++running_per_user_[uid];
    lock.unlock();
    const HResult result = ExecInstall(*install);
    const uint64_t id = install->connection_id;
    install.reset();  // closes the caller's descriptor
    lock.lock();
    --running_;
    Forget(&running_per_user_, uid);
    finished_.emplace_back(id, result);
    const uint64_t one = 1;
    (void)!write(wake_fd_.get(), &one, sizeof(one));
    // An install of this user that waited may run now.
    work_ready_.notify_all();
  }
}

HResult Service::ExecInstall(const Install& install) {
  const Caller& caller = install.caller;
  BASE_LOG(kLevelNote) << "ExecInstall from uid " << caller.uid << " pid " << caller.pid
                       << " session " << install.session_id << ": " << install.path;
  if (config_.on_install_started) {
    config_.on_install_started(caller.uid);
  }
  // The descriptor must be a regular file that the caller opened for reading.
  const int source = install.installer.get();
  struct stat st {};
  const int flags = fcntl(source, F_GETFL);
  if (fstat(source, &st) != 0 || !S_ISREG(st.st_mode) || flags < 0 || (flags & O_PATH) != 0 ||
      (flags & O_ACCMODE) == O_WRONLY) {
    BASE_LOG(kLevelRefused) << "not a regular file open for reading: " << install.path;
    return kEInvalidArg;
  }
  const auto size = static_cast<uint64_t>(st.st_size);
  if (size > config_.max_installer_bytes) {
    BASE_LOG(kLevelRefused) << "installer too large (" << size << " bytes): " << install.path;
    return FromWin32(kErrorFileTooLarge);
  }
  struct statvfs space {};
  if (fstatvfs(staging_fd_.get(), &space) != 0) {
    return FromErrno(errno);
  }
  const uint64_t free_bytes = static_cast<uint64_t>(space.f_bavail) * space.f_frsize;
  if (free_bytes < size || free_bytes - size < config_.staging_reserve_bytes) {
    BASE_LOG(kLevelFailure) << "too little space to stage " << install.path << " (" << size
                            << " bytes, " << free_bytes << " free)";
    return FromWin32(kErrorDiskFull);
  }

  std::string staged_path;
  ScopedFd staged;
  std::string actual_md5;
  HResult hr = Stage(source, size, &staged_path, &staged, &actual_md5);
  if (hr != kSOk) {
    BASE_LOG(kLevelFailure) << "cannot stage " << install.path << ": " << HResultText(hr);
    return hr;
  }
  if (actual_md5 != util::stringhelp::ToLowerAscii(install.md5)) {
    BASE_LOG(kLevelRefused) << "md5 mismatch for " << install.path << ": " << actual_md5;
    hr = kCryptEHashValue;
  } else {
    hr = CheckPublisher(staged.get());
    if (hr != kSOk) {
      BASE_LOG(kLevelRefused) << "publisher refused for " << install.path << ": "
                              << HResultText(hr);
    }
  }
  if (hr == kSOk) {
    hr = Start(staged.get(), std::filesystem::path(install.path).filename().string(),
               install.parameters);
  }
  // A started installer runs from its descriptor; the copy's name is not needed any more.
  unlinkat(staging_fd_.get(), staged_path.c_str(), 0);
  if (hr != kSOk) {
    return hr;
  }
  BASE_LOG(kLevelNote) << "installer started: " << install.path;
  return kSOk;
}

HResult Service::Stage(int source, uint64_t size, std::string* staged_path, ScopedFd* staged,
                       std::string* md5) {
  unsigned char random[12];
  if (getrandom(random, sizeof(random), 0) != static_cast<ssize_t>(sizeof(random))) {
    return FromErrno(errno);
  }
  std::string name = "installer-";
  for (unsigned char byte : random) {
    char hex[3];
    std::snprintf(hex, sizeof(hex), "%02x", byte);
    name += hex;
  }
  ScopedFd out(openat(staging_fd_.get(), name.c_str(),
                      O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0700));
  if (!out.valid()) {
    return FromErrno(errno);
  }
  auto fail = [&](HResult hr) {
    unlinkat(staging_fd_.get(), name.c_str(), 0);
    return hr;
  };
  util::crypto::Md5Hasher hasher;
  std::vector<char> buffer(std::min<uint64_t>(uint64_t{1} << 20, std::max<uint64_t>(size, 4096)));
  // Read from the start whatever the descriptor's offset; a file that grows while it is read is
  // still bounded by the size limit.
  uint64_t total = 0;
  while (true) {
    const ssize_t n = pread(source, buffer.data(), buffer.size(), static_cast<off_t>(total));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      return fail(FromErrno(errno));
    }
    if (n == 0) {
      break;
    }
    total += static_cast<uint64_t>(n);
    if (total > config_.max_installer_bytes) {
      return fail(FromWin32(kErrorFileTooLarge));
    }
    hasher.Update(buffer.data(), static_cast<size_t>(n));
    for (ssize_t written = 0; written < n;) {
      const ssize_t w = write(out.get(), buffer.data() + written, static_cast<size_t>(n - written));
      if (w < 0 && errno == EINTR) {
        continue;
      }
      if (w < 0) {
        return fail(FromErrno(errno));
      }
      written += w;
    }
  }
  *md5 = hasher.Finish();
  *staged_path = name;
  *staged = std::move(out);
  return kSOk;
}

HResult Service::CheckPublisher(int staged_fd) {
  // The bundle is read afresh for every installer: an administrator may change it.
  std::unique_ptr<authenticode::TrustStore> trust;
  struct stat st {};
  if (stat(config_.trust_bundle_path.c_str(), &st) == 0) {
    std::string error;
    trust = authenticode::TrustStore::LoadPemFile(config_.trust_bundle_path, &error);
    if (!trust) {
      // A broken bundle trusts nothing rather than falling back to the system's roots.
      BASE_LOG(kLevelFailure) << "cannot load " << config_.trust_bundle_path << ": " << error;
      return kCertEUntrustedRoot;
    }
  } else {
    trust = authenticode::TrustStore::SystemDefault();
  }
  const authenticode::VerifyResult result = authenticode::VerifyDescriptor(staged_fd, *trust);
  if (!result.ok()) {
    BASE_LOG(kLevelRefused) << "signature: " << authenticode::StatusName(result.status) << ": "
                            << result.detail;
  }
  switch (result.status) {
    case authenticode::Status::kOk:
      if (tavori_common::utils::publisher::IsAcceptedPublisher(
              os::Utf8ToWide(result.signer_name))) {
        return kSOk;
      }
      BASE_LOG(kLevelRefused) << "publisher not accepted: " << result.signer_name;
      return kTrustESubjectNotTrusted;
    case authenticode::Status::kFileUnreadable:
      return FromWin32(kErrorReadFault);
    case authenticode::Status::kNotPe:
      return kTrustESubjectFormUnknown;
    case authenticode::Status::kNoSignature:
    case authenticode::Status::kMalformedSignature:
      return kTrustENoSignature;
    case authenticode::Status::kUnsupportedDigest:
      return kNteBadAlgId;
    case authenticode::Status::kImageHashMismatch:
      return kTrustEBadDigest;
    case authenticode::Status::kSignatureInvalid:
      return kNteBadSignature;
    case authenticode::Status::kUntrustedChain:
      return kCertEUntrustedRoot;
    case authenticode::Status::kCertificateExpired:
      return kCertEExpired;
    case authenticode::Status::kWrongKeyUsage:
      return kCertEWrongUsage;
  }
  return kTrustESubjectNotTrusted;
}

HResult Service::Start(int staged_fd, const std::string& name, const std::string& parameters) {
  std::vector<std::string> arguments;
  for (const std::wstring& argument : os::SplitCommandLine(os::Utf8ToWide(parameters))) {
    arguments.push_back(os::WideToUtf8(argument));
  }
  os::posix::SpawnOptions options;
  options.working_directory = "/";
  const uintptr_t result =
      os::posix::StartProgramFromDescriptor(staged_fd, name, arguments, options);
  if (result > 32) {
    return kSOk;
  }
  BASE_LOG(kLevelFailure) << "cannot start " << name << ": shell error " << result;
  // The shell's failures are Win32 error numbers (2 file not found, 5 access denied, ...); 0
  // stands for any other failure.
  return FromWin32(result == 0 ? kErrorReadFault : static_cast<uint32_t>(result));
}

}  // namespace installer_service
