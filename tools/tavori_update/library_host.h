// tavori-update's side of the update library: installs itself as the library's event delegate,
// sends commands, and lets the command-line thread wait for events, for Ctrl-C, or for a deadline.
//
// Threads: the library delivers events on its network thread (OnUpdateEvent); Ctrl-C and SIGTERM
// are taken by a thread of this class with sigwait.  Both only queue what they saw; |mu_| guards
// the queue.  Everything else runs on the thread that made the object, which must be the only
// thread that calls the library.  The library is reached through update_lib.h alone.

#ifndef TOOLS_TAVORI_UPDATE_LIBRARY_HOST_H_
#define TOOLS_TAVORI_UPDATE_LIBRARY_HOST_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "update_lib.h"

namespace tavori_update {

// Final, and the interface's destructor is protected: nothing deletes it through a base.
// NOLINTNEXTLINE(cppcoreguidelines-virtual-class-destructor)
class LibraryHost final : public IUpdateEventDelegate {
 public:
  // Blocks SIGINT and SIGTERM in the calling thread (so in every thread it starts later; call it
  // before anything starts threads), starts the library with its SDK and installs the delegate.
  LibraryHost();
  // Removes the delegate (the library then delivers nothing more) and stops the signal thread.
  ~LibraryHost();
  LibraryHost(const LibraryHost&) = delete;
  LibraryHost& operator=(const LibraryHost&) = delete;

  // Sends one command; returns the library's result code.
  static int Send(const std::string& command, int64_t token, const nlohmann::json& parameters);
  static int SendText(const std::string& text);

  enum class Wake { kEvent, kInterrupted, kTimedOut };
  // Waits for the next event (into |event|), a Ctrl-C or SIGTERM, or |deadline|.  An interruption
  // is reported once.
  Wake Next(std::chrono::steady_clock::time_point deadline, nlohmann::json* event);

  // Called for every event as it arrives, on the library's thread, before it is queued (the JSON
  // bridge prints from here so that events and results keep their order).  Set before the first
  // command.
  void set_event_tap(std::function<void(const nlohmann::json&)> tap) { tap_ = std::move(tap); }

  // Becomes readable at the first Ctrl-C or SIGTERM (for poll() beside another descriptor).
  int interrupt_fd() const { return interrupt_pipe_[0]; }

  // Network thread.
  void OnUpdateEvent(const std::string& event) override;

 private:
  void WaitForSignals();

  std::function<void(const nlohmann::json&)> tap_;
  std::mutex mu_;
  std::condition_variable changed_;
  std::deque<nlohmann::json> events_;  // guarded by mu_
  bool interrupted_ = false;           // guarded by mu_
  bool closing_ = false;               // guarded by mu_
  int interrupt_pipe_[2] = {-1, -1};
  std::thread signals_;
};

}  // namespace tavori_update

#endif  // TOOLS_TAVORI_UPDATE_LIBRARY_HOST_H_
