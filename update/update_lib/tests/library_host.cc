#include "library_host.h"

#include <dlfcn.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "base/test/file_contents.h"

namespace update_test {

namespace fs = std::filesystem;

void RecordingDelegate::OnUpdateEvent(const std::string& event) {
  Json parsed = Json::parse(event, nullptr, /*allow_exceptions=*/false);
  EXPECT_FALSE(parsed.is_discarded()) << "event is not JSON: " << event;
  std::function<void(const Json&)> hook;
  {
    base::AutoLock lock(mu_);
    events_.push_back(parsed);
    hook = hook_;
    changed_.Broadcast();
  }
  if (hook) {
    hook(parsed);
  }
}

void RecordingDelegate::SetHook(std::function<void(const Json&)> hook) {
  base::AutoLock lock(mu_);
  hook_ = std::move(hook);
}

std::vector<Json> RecordingDelegate::Events() const {
  base::AutoLock lock(mu_);
  return events_;
}

std::vector<std::string> RecordingDelegate::Commands() const {
  std::vector<std::string> names;
  for (const Json& event : Events()) {
    names.push_back(event.value("command", ""));
  }
  return names;
}

std::optional<Json> RecordingDelegate::WaitFor(const std::string& command, size_t count) const {
  return WaitFor(command, count, 20s);
}

std::optional<Json> RecordingDelegate::WaitFor(const std::string& command, size_t count,
                                               std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  base::AutoLock lock(mu_);
  for (bool timed_out = false;; timed_out = !changed_.WaitUntil(mu_, deadline)) {
    size_t seen = 0;
    for (const Json& event : events_) {
      if (event.value("command", "") == command && ++seen == count) {
        return event;
      }
    }
    if (timed_out) {
      return std::nullopt;
    }
  }
}

HostEnvironment::HostEnvironment() {
  for (const std::string& dir : {config_dir(), temp_dir(), system_root()}) {
    fs::create_directories(dir);
  }
  // The test process has no other threads yet, so changing the environment is safe.
  setenv("XDG_STATE_HOME", (root() + "/state").c_str(), 1);
  setenv("XDG_CONFIG_HOME", config_dir().c_str(), 1);
  setenv("TMPDIR", temp_dir().c_str(), 1);
  setenv("TAVORI_SYSTEM_ROOT", system_root().c_str(), 1);
  setenv("TAVORI_LOG_LEVEL", "6", 1);
}

std::string HostEnvironment::Log() const {
  std::string text;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(root() + "/state/Halvern/Tavori/logs", error)) {
    if (entry.path().extension() == ".log") {
      text += base::test::ReadFileToString(entry.path().string());
    }
  }
  return text;
}

bool HostEnvironment::WaitForLog(const std::string& prefix) const {
  return WaitForLog(prefix, 20s);
}

bool HostEnvironment::WaitForLog(const std::string& prefix,
                                 std::chrono::milliseconds timeout) const {
  // The library has written records before (it logs as it starts), so the directory exists.
  const int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  inotify_add_watch(fd, (root() + "/state/Halvern/Tavori/logs").c_str(), IN_MODIFY | IN_CREATE);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  bool found = Logged(prefix);
  while (!found && std::chrono::steady_clock::now() < deadline) {
    pollfd changed{fd, POLLIN, 0};
    poll(&changed, 1, 1000);
    char events[4096];
    while (read(fd, events, sizeof(events)) > 0) {
    }
    found = Logged(prefix);
  }
  close(fd);
  return found;
}

LibraryHost::LibraryHost(const std::string& path) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    ADD_FAILURE() << "dlopen " << path << ": " << dlerror();
    return;
  }
  do_ = reinterpret_cast<int (*)(const std::string&)>(dlsym(handle, "DoUpdateOperation"));
  set_init_sdk_ = reinterpret_cast<void (*)(bool)>(dlsym(handle, "SetInitTavoriSDK"));
  set_delegate_ =
      reinterpret_cast<int (*)(IUpdateEventDelegate*)>(dlsym(handle, "SetUpdateDelegate"));
  EXPECT_TRUE(do_ != nullptr && set_init_sdk_ != nullptr && set_delegate_ != nullptr);
}

Json Command(const std::string& name, int64_t token, Json parameters) {
  return Json{{"version", "1.0"}, {"command", name}, {"token", token}, {"parameters", parameters}};
}

void LibraryTest::SetUp() {
  static int tests_in_this_process = 0;
  ASSERT_EQ(++tests_in_this_process, 1)
      << "tests that load the update library need a process each; run them through ctest "
         "or with --gtest_filter naming one test";
  env_ = std::make_unique<HostEnvironment>();
  host_ = std::make_unique<LibraryHost>();
}

void LibraryTest::TearDown() {
  if (host_) {
    host_->SetDelegate(nullptr);
  }
}

}  // namespace update_test
