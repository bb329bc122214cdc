// The service's event loop: listening, accepting within the per-user limits, waiting callers,
// deadlines, reading frames and writing replies.  Everything here runs on Run()'s thread, except
// Stop() and GetStats().

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <system_error>

#include "base/log/log.h"
#include "src/installer_service.h"
#include "src/service_internal.h"

namespace installer_service {
namespace {

constexpr char kLogSource[] = "installer_service";

namespace protocol = os::installer_protocol;
using base::log::kLevelFailure;
using base::log::kLevelNote;
using base::log::kLevelRefused;
using Json = nlohmann::json;
using os::posix::ScopedFd;

// Connections accepted per turn of the loop, so that a flood cannot starve the others.
constexpr int kAcceptsPerTurn = 64;
// The loop wakes at least this often even when nothing is due.
constexpr long long kMaxPollMs = 60'000;
// The socket is for every local user; the staging directory for the service alone.
constexpr mode_t kSocketMode = 0666;
constexpr mode_t kStagingMode = 0700;

}  // namespace

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
      fchmod(staging_fd_.get(), kStagingMode) != 0) {
    BASE_LOG(kLevelFailure) << "cannot use the staging directory " << config_.staging_dir << ": "
                            << (errno != 0 ? std::strerror(errno) : "not the service's own");
    return false;
  }
  wake_fd_.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (config_.inherited_listen_fd >= 0) {
    return AdoptListeningSocket();
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
  if (!listen_fd_.valid() || !wake_fd_.valid() ||
      bind(listen_fd_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
      chmod(config_.socket_path.c_str(), kSocketMode) != 0 ||
      listen(listen_fd_.get(), config_.listen_backlog) != 0) {
    BASE_LOG(kLevelFailure) << "cannot listen on " << config_.socket_path << ": "
                            << std::strerror(errno);
    return false;
  }
  BASE_LOG(kLevelNote) << "listening on " << config_.socket_path;
  return true;
}

bool Service::AdoptListeningSocket() {
  // Only a listening Unix stream socket will do: anything else handed over is a configuration
  // error, not something to serve on.
  listen_fd_.reset(config_.inherited_listen_fd);
  int listening = 0;
  int domain = 0;
  int type = 0;
  socklen_t size = sizeof(int);
  const int fd = listen_fd_.get();
  const bool usable =
      wake_fd_.valid() && getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 &&
      listening == 1 && getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &size) == 0 &&
      domain == AF_UNIX && getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) == 0 &&
      type == SOCK_STREAM;
  const int flags = usable ? fcntl(fd, F_GETFL) : -1;
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0 ||
      fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
    BASE_LOG(kLevelFailure) << "the socket handed over is not a listening Unix stream socket";
    return false;
  }
  BASE_LOG(kLevelNote) << "listening on the socket handed over (" << config_.socket_path << ")";
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
  base::AutoLock lock(mu_);
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
      timeout_ms = static_cast<int>(std::clamp<long long>(left, 0, kMaxPollMs));
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
    base::AutoLock lock(mu_);
    workers_stop_ = true;
    queue_.clear();
  }
  work_ready_.Broadcast();
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
      OnRequest(connection, frame.payload, std::move(frame.descriptor), frame.extra_ancillary);
      return;
    }
  }
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
    base::AutoLock lock(mu_);
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

}  // namespace installer_service
