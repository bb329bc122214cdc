// Driver of the library's benchmarks (scripts/bench; not a test).  Loads libupdate_lib.so with
// dlopen, as a host does, and reaches it through its three exports only.  It links nothing of
// the project and no HTTP library, so that "first" pays for everything the library loads.
//
//   library_bench checks URL COUNT
//       one check that is not timed (the SDK starts), then COUNT checks one after another, each
//       timed from "check_upgrade" to its "cgi_response"; prints "per_check_us <median>" and
//       "mean_check_us <mean>" (the median stands while other processes take the cores).
//   library_bench dispatch COUNT
//       COUNT commands that the dispatch refuses (an unknown command); prints "per_call_ns".
//   library_bench first URL
//       the first command of a process: from before dlopen to the first check's "cgi_response";
//       prints "first_ms", and when dlopen, the delegate and the command's call had returned.
//   library_bench idle URL SETTLE_S WINDOW_S
//       one check, SETTLE_S seconds for the writes it started, then counts the context switches
//       (voluntary and not) of every thread but this one over WINDOW_S seconds; prints
//       "wakeups_per_min" and "thread <id> <name> <switches>" for each thread that woke.
//
// The library's places (XDG_*, TMPDIR, TAVORI_SYSTEM_ROOT) come from the environment the
// caller sets.

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "update_lib.h"

namespace {

using Clock = std::chrono::steady_clock;

// Bound on the wait for one answer: a check that takes longer is a failure, not a figure.
constexpr auto kAnswerTimeout = std::chrono::seconds(10);

// Counts "cgi_response" events.  OnUpdateEvent runs on the library's network thread, the waits
// on the main thread; mu_ guards the count.
// NOLINTNEXTLINE(cppcoreguidelines-virtual-class-destructor)
class AnswerCounter final : public IUpdateEventDelegate {
 public:
  void OnUpdateEvent(const std::string& event) override {
    if (event.find("\"cgi_response\"") == std::string::npos) {
      return;
    }
    std::lock_guard<std::mutex> lock(mu_);
    ++answers_;
    changed_.notify_all();
  }
  // Whether |count| answers have arrived within the bound.
  bool WaitFor(int count) {
    std::unique_lock<std::mutex> lock(mu_);
    return changed_.wait_for(lock, kAnswerTimeout, [&] { return answers_ >= count; });
  }

 private:
  std::mutex mu_;
  std::condition_variable changed_;
  int answers_ = 0;
};

// The library's exports, looked up once.
struct Library {
  int (*do_update_operation)(const std::string&) = nullptr;
  void (*set_init_sdk)(bool) = nullptr;
  int (*set_update_delegate)(IUpdateEventDelegate*) = nullptr;
};

bool Load(Library* library) {
  void* handle = dlopen(UPDATE_LIB_PATH, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    std::fprintf(stderr, "dlopen: %s\n", dlerror());
    return false;
  }
  library->do_update_operation =
      reinterpret_cast<int (*)(const std::string&)>(dlsym(handle, "DoUpdateOperation"));
  library->set_init_sdk = reinterpret_cast<void (*)(bool)>(dlsym(handle, "SetInitTavoriSDK"));
  library->set_update_delegate =
      reinterpret_cast<int (*)(IUpdateEventDelegate*)>(dlsym(handle, "SetUpdateDelegate"));
  return library->do_update_operation != nullptr && library->set_init_sdk != nullptr &&
         library->set_update_delegate != nullptr;
}

AnswerCounter& Counter() {
  static AnswerCounter counter;  // outlives every event
  return counter;
}

bool Attach(Library* library) {
  if (!Load(library)) {
    return false;
  }
  library->set_init_sdk(true);
  library->set_update_delegate(&Counter());
  return true;
}

std::string CheckCommand(const std::string& url, int token) {
  return R"({"version":"1.0","command":"check_upgrade","token":)" + std::to_string(token) +
         R"(,"parameters":{"app_from":"tavoriapp","from_where":0,"enable_patch":0,"cgi_url":")" +
         url + R"("}})";
}

// Sends check number |token| and waits for its answer (answers are counted from 1).
bool Check(const Library& library, const std::string& url, int token) {
  if (library.do_update_operation(CheckCommand(url, token)) != UpdateLib::kResultOk) {
    std::fprintf(stderr, "check_upgrade refused\n");
    return false;
  }
  if (!Counter().WaitFor(token)) {
    std::fprintf(stderr, "no cgi_response for check %d\n", token);
    return false;
  }
  return true;
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double Median(std::vector<double> values) {
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

int Checks(const std::string& url, int count) {
  Library library;
  if (!Attach(&library) || !Check(library, url, 1)) {
    return 1;
  }
  std::vector<double> micros;
  micros.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    const auto start = Clock::now();
    if (!Check(library, url, i + 2)) {
      return 1;
    }
    micros.push_back(SecondsSince(start) * 1e6);
  }
  const double mean = std::accumulate(micros.begin(), micros.end(), 0.0) / count;
  std::printf("per_check_us %.2f\nmean_check_us %.2f\n", Median(micros), mean);
  return 0;
}

int Dispatch(int count) {
  Library library;
  if (!Load(&library)) {
    return 1;
  }
  const std::string refused =
      R"({"version":"1.0","command":"no_such_command","token":1,"parameters":{}})";
  int unexpected = 0;
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    unexpected += library.do_update_operation(refused) != UpdateLib::kResultUnknownCommand;
  }
  const double seconds = SecondsSince(start);
  if (unexpected != 0) {
    std::fprintf(stderr, "the unknown command was not refused as such\n");
    return 1;
  }
  std::printf("per_call_ns %.1f\n", seconds * 1e9 / count);
  return 0;
}

int First(const std::string& url) {
  const auto start = Clock::now();
  Library library;
  if (!Load(&library)) {
    return 1;
  }
  const double loaded = SecondsSince(start);
  library.set_init_sdk(true);
  library.set_update_delegate(&Counter());
  const double attached = SecondsSince(start);
  if (library.do_update_operation(CheckCommand(url, 1)) != UpdateLib::kResultOk) {
    std::fprintf(stderr, "check_upgrade refused\n");
    return 1;
  }
  const double returned = SecondsSince(start);
  if (!Counter().WaitFor(1)) {
    std::fprintf(stderr, "no cgi_response\n");
    return 1;
  }
  std::printf("first_ms %.3f\nloaded_ms %.3f\nattached_ms %.3f\ncommand_returned_ms %.3f\n",
              SecondsSince(start) * 1e3, loaded * 1e3, attached * 1e3, returned * 1e3);
  return 0;
}

// Context switches so far of every thread of this process but the calling one, by thread id.
std::map<std::string, long> OtherThreadSwitches() {
  const std::string self = std::to_string(gettid());
  std::map<std::string, long> switches;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    const std::string tid = task.path().filename();
    if (tid == self) {
      continue;
    }
    std::ifstream status(task.path() / "status");
    std::string line;
    long total = 0;
    while (std::getline(status, line)) {
      if (line.starts_with("voluntary_ctxt_switches:") ||
          line.starts_with("nonvoluntary_ctxt_switches:")) {
        total += std::strtol(line.c_str() + line.find(':') + 1, nullptr, 10);
      }
    }
    switches[tid] = total;
  }
  return switches;
}

std::string ThreadName(const std::string& tid) {
  std::ifstream comm("/proc/self/task/" + tid + "/comm");
  std::string name;
  std::getline(comm, name);
  return name.empty() ? tid : name;
}

int Idle(const std::string& url, double settle_s, double window_s) {
  Library library;
  if (!Attach(&library) || !Check(library, url, 1)) {
    return 1;
  }
  // The idle window is what is measured here, not a wait for an event.
  std::this_thread::sleep_for(std::chrono::duration<double>(settle_s));
  const auto before = OtherThreadSwitches();
  std::this_thread::sleep_for(std::chrono::duration<double>(window_s));
  const auto after = OtherThreadSwitches();
  long total = 0;
  std::string lines;
  for (const auto& [tid, switches] : after) {
    const auto it = before.find(tid);
    const long woke = switches - (it == before.end() ? 0 : it->second);
    if (woke > 0) {
      total += woke;
      lines += "thread " + tid + " " + ThreadName(tid) + " " + std::to_string(woke) + "\n";
    }
  }
  std::printf("wakeups_per_min %.1f\n%s", static_cast<double>(total) * 60.0 / window_s,
              lines.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "checks" && argc == 4) {
    return Checks(argv[2], std::max(1, std::atoi(argv[3])));
  }
  if (mode == "dispatch" && argc == 3) {
    return Dispatch(std::max(1, std::atoi(argv[2])));
  }
  if (mode == "first" && argc == 3) {
    return First(argv[2]);
  }
  if (mode == "idle" && argc == 5) {
    return Idle(argv[2], std::atof(argv[3]), std::max(1.0, std::atof(argv[4])));
  }
  std::fprintf(stderr,
               "usage: %s checks URL COUNT | dispatch COUNT | first URL | "
               "idle URL SETTLE_S WINDOW_S\n",
               argv[0]);
  return 2;
}
