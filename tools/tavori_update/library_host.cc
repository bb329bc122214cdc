#include "library_host.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <csignal>

namespace tavori_update {
namespace {

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

LibraryHost::LibraryHost() {
  const sigset_t set = StopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  if (pipe2(interrupt_pipe_, O_CLOEXEC) != 0) {
    interrupt_pipe_[0] = interrupt_pipe_[1] = -1;  // Ctrl-C then only wakes Next()
  }
  signals_ = std::thread([this] { WaitForSignals(); });
  SetInitTavoriSDK(true);
  SetUpdateDelegate(this);
}

LibraryHost::~LibraryHost() {
  // After this returns no event is being delivered to us, so the object may go.
  SetUpdateDelegate(nullptr);
  {
    std::lock_guard<std::mutex> lock(mu_);
    closing_ = true;
  }
  // Process-directed: every other thread blocks the signal, so it reaches the sigwait below,
  // which sees |closing_| and ends.
  kill(getpid(), SIGTERM);
  signals_.join();
  for (int fd : interrupt_pipe_) {
    if (fd >= 0) {
      close(fd);
    }
  }
}

void LibraryHost::WaitForSignals() {
  const sigset_t set = StopSignals();
  for (;;) {
    int signal_number = 0;
    sigwait(&set, &signal_number);
    std::lock_guard<std::mutex> lock(mu_);
    if (closing_) {
      return;
    }
    interrupted_ = true;
    changed_.notify_all();
    if (interrupt_pipe_[1] >= 0) {
      const char byte = 1;
      (void)!write(interrupt_pipe_[1], &byte, 1);
    }
  }
}

int LibraryHost::Send(const std::string& command, int64_t token, const nlohmann::json& parameters) {
  const nlohmann::json envelope = {
      {"version", "1.0"}, {"command", command}, {"token", token}, {"parameters", parameters}};
  return SendText(envelope.dump());
}

int LibraryHost::SendText(const std::string& text) { return DoUpdateOperation(text); }

LibraryHost::Wake LibraryHost::Next(std::chrono::steady_clock::time_point deadline,
                                    nlohmann::json* event) {
  std::unique_lock<std::mutex> lock(mu_);
  if (!changed_.wait_until(lock, deadline, [this] { return interrupted_ || !events_.empty(); })) {
    return Wake::kTimedOut;
  }
  if (interrupted_) {
    interrupted_ = false;
    return Wake::kInterrupted;
  }
  *event = std::move(events_.front());
  events_.pop_front();
  return Wake::kEvent;
}

void LibraryHost::OnUpdateEvent(const std::string& event) {
  nlohmann::json parsed = nlohmann::json::parse(event, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded() || !parsed.is_object()) {
    return;  // the library writes objects; anything else is not an event to act on
  }
  if (tap_) {
    tap_(parsed);
  }
  std::lock_guard<std::mutex> lock(mu_);
  events_.push_back(std::move(parsed));
  changed_.notify_all();
}

}  // namespace tavori_update
