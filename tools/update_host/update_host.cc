// update_host: a minimal host of the update library, built against update_lib.h alone.
//
//   update_host [--init-sdk] [--wait EVENT] [--count N] [--timeout SECONDS] COMMAND...
//
// Loads the library (linked at build time), installs a delegate that prints every event as one
// line of compact JSON on stdout, sends each COMMAND (a whole JSON command text) in order and
// prints its result as "result <code>", then waits until N events named EVENT have arrived (or the
// timeout passes).  Exit status: 0 when the wait was met (or there was nothing to wait for), 3 on
// timeout, 2 on bad usage.

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "update_lib.h"

namespace {

// Prints events and counts those named like the one being waited for.  Events arrive on the
// library's network thread; |mu_| guards the count and the output.
class PrintingDelegate final : public IUpdateEventDelegate {
 public:
  explicit PrintingDelegate(std::string wanted) : wanted_(std::move(wanted)) {}

  void OnUpdateEvent(const std::string& event) override {
    const nlohmann::json parsed = nlohmann::json::parse(event, nullptr, false);
    std::lock_guard<std::mutex> lock(mu_);
    if (parsed.is_discarded()) {
      std::printf("bad event %s\n", event.c_str());
      std::fflush(stdout);
      return;
    }
    std::printf("event %s\n", parsed.dump().c_str());
    std::fflush(stdout);
    if (!wanted_.empty() && parsed.is_object() && parsed.value("command", "") == wanted_) {
      ++seen_;
      changed_.notify_all();
    }
  }

  bool WaitFor(int count, std::chrono::seconds timeout) {
    std::unique_lock<std::mutex> lock(mu_);
    return changed_.wait_for(lock, timeout, [&] { return seen_ >= count; });
  }

 private:
  const std::string wanted_;
  std::mutex mu_;
  std::condition_variable changed_;
  int seen_ = 0;
};

int Usage() {
  std::fprintf(stderr,
               "usage: update_host [--init-sdk] [--wait EVENT] [--count N] [--timeout SECONDS] "
               "COMMAND...\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool init_sdk = false;
  std::string wait_event;
  int count = 1;
  int timeout_seconds = 60;
  std::vector<std::string> commands;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--init-sdk") {
      init_sdk = true;
    } else if (arg == "--wait" && i + 1 < argc) {
      wait_event = argv[++i];
    } else if (arg == "--count" && i + 1 < argc) {
      count = std::atoi(argv[++i]);
    } else if (arg == "--timeout" && i + 1 < argc) {
      timeout_seconds = std::atoi(argv[++i]);
    } else if (arg.rfind("--", 0) == 0) {
      return Usage();
    } else {
      commands.push_back(arg);
    }
  }
  if (commands.empty() || count < 1 || timeout_seconds < 0) {
    return Usage();
  }

  // The delegate outlives every event: it is never destroyed while the library may call it.
  static PrintingDelegate* delegate = new PrintingDelegate(wait_event);
  SetInitTavoriSDK(init_sdk);
  SetUpdateDelegate(delegate);
  for (const std::string& command : commands) {
    const int result = DoUpdateOperation(command);
    std::printf("result %d\n", result);
    std::fflush(stdout);
  }
  if (wait_event.empty()) {
    return 0;
  }
  if (!delegate->WaitFor(count, std::chrono::seconds(timeout_seconds))) {
    std::fprintf(stderr, "update_host: no %s event within %d s\n", wait_event.c_str(),
                 timeout_seconds);
    return 3;
  }
  return 0;
}
