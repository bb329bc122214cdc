// update_host: a minimal host of the update library, built against update_lib.h alone.
//
//   update_host [--init-sdk] STEP...
//   STEP:  send JSON                 send one command and print "result <code>"
//          wait EVENT [SECONDS]      wait until one more event named EVENT arrives (default 60 s)
//
// The library is linked at build time.  A delegate prints every event as one line,
// "event <compact JSON>", on stdout.  Exit status: 0 when every step was carried out, 3 when a
// wait timed out, 2 on bad usage.

#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "update_lib.h"

namespace {

// Prints events and counts those named like the one being waited for.  Events arrive on the
// library's network thread; |mu_| guards the count and the output.  Final, and the interface's
// destructor is protected: nothing deletes it through a base.
// NOLINTNEXTLINE(cppcoreguidelines-virtual-class-destructor)
class PrintingDelegate final : public IUpdateEventDelegate {
 public:
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
    if (parsed.is_object() && parsed.contains("command") && parsed["command"].is_string()) {
      ++seen_[parsed["command"].get<std::string>()];
      changed_.notify_all();
    }
  }

  // Waits until one more |name| event has arrived than the waits before this one consumed.
  bool WaitForNext(const std::string& name, std::chrono::seconds timeout) {
    std::unique_lock<std::mutex> lock(mu_);
    const int wanted = ++consumed_[name];
    return changed_.wait_for(lock, timeout, [&] { return seen_[name] >= wanted; });
  }

 private:
  std::mutex mu_;
  std::condition_variable changed_;
  std::map<std::string, int> seen_;      // events received, by name
  std::map<std::string, int> consumed_;  // events waited for, by name
};

int Usage() {
  std::fprintf(stderr,
               "usage: update_host [--init-sdk] STEP...\n"
               "  STEP: send JSON | wait EVENT [SECONDS]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int i = 1;
  bool init_sdk = false;
  if (i < argc && std::strcmp(argv[i], "--init-sdk") == 0) {
    init_sdk = true;
    ++i;
  }
  if (i >= argc) {
    return Usage();
  }
  // The delegate outlives every event: it is never destroyed while the library may call it.
  static auto* delegate = new PrintingDelegate();
  SetInitTavoriSDK(init_sdk);
  SetUpdateDelegate(delegate);
  while (i < argc) {
    const std::string step = argv[i++];
    if (step == "send" && i < argc) {
      const int result = DoUpdateOperation(argv[i++]);
      std::printf("result %d\n", result);
      std::fflush(stdout);
    } else if (step == "wait" && i < argc) {
      const std::string name = argv[i++];
      int seconds = 60;
      if (i < argc && std::isdigit(static_cast<unsigned char>(argv[i][0]))) {
        seconds = std::atoi(argv[i++]);
      }
      if (!delegate->WaitForNext(name, std::chrono::seconds(seconds))) {
        std::fprintf(stderr, "update_host: no %s event within %d s\n", name.c_str(), seconds);
        return 3;
      }
    } else {
      return Usage();
    }
  }
  return 0;
}
