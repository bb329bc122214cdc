#include "update/update_lib/tests/library_host.h"

#include <dlfcn.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "util/crypto/crypto.h"

namespace update_test {

namespace fs = std::filesystem;

void RecordingDelegate::OnUpdateEvent(const std::string& event) {
  Json parsed = Json::parse(event, nullptr, /*allow_exceptions=*/false);
  EXPECT_FALSE(parsed.is_discarded()) << "event is not JSON: " << event;
  std::function<void(const Json&)> hook;
  {
    std::lock_guard<std::mutex> lock(mu_);
    events_.push_back(parsed);
    hook = hook_;
    changed_.notify_all();
  }
  if (hook) {
    hook(parsed);
  }
}

void RecordingDelegate::SetHook(std::function<void(const Json&)> hook) {
  std::lock_guard<std::mutex> lock(mu_);
  hook_ = std::move(hook);
}

std::vector<Json> RecordingDelegate::Events() const {
  std::lock_guard<std::mutex> lock(mu_);
  return events_;
}

std::vector<std::string> RecordingDelegate::Commands() const {
  std::vector<std::string> names;
  for (const Json& event : Events()) {
    names.push_back(event.value("command", ""));
  }
  return names;
}

size_t RecordingDelegate::Count(const std::string& command) const {
  size_t n = 0;
  for (const std::string& name : Commands()) {
    n += name == command ? 1 : 0;
  }
  return n;
}

std::optional<Json> RecordingDelegate::WaitFor(const std::string& command, size_t count,
                                               std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mu_);
  std::optional<Json> found;
  changed_.wait_for(lock, timeout, [&] {
    size_t seen = 0;
    for (const Json& event : events_) {
      if (event.value("command", "") == command && ++seen == count) {
        found = event;
        return true;
      }
    }
    return false;
  });
  return found;
}

HostEnvironment::HostEnvironment() {
  const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
  const std::string test = std::string(info->test_suite_name()) + "." + info->name();
  // A short name: Unix socket paths under the system root must stay below 108 bytes.  The test's
  // name is written beside it.
  root_ = (fs::path(testing::TempDir()) / "ulh" / util::crypto::Md5(test).substr(0, 12)).string();
  fs::remove_all(root_);
  for (const std::string& dir : {state_dir(), config_dir(), temp_dir(), system_root()}) {
    fs::create_directories(dir);
  }
  std::ofstream(root_ + "/TEST") << test << "\n";
  // The test process has no other threads yet, so changing the environment is safe.
  setenv("XDG_STATE_HOME", state_dir().c_str(), 1);
  setenv("XDG_CONFIG_HOME", config_dir().c_str(), 1);
  setenv("TMPDIR", temp_dir().c_str(), 1);
  setenv("TAVORI_SYSTEM_ROOT", system_root().c_str(), 1);
  setenv("TAVORI_LOG_LEVEL", "6", 1);
}

std::vector<LogLine> HostEnvironment::LogLines() const {
  std::vector<LogLine> lines;
  const fs::path dir = fs::path(state_dir()) / "Halvern" / "Tavori" / "logs";
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(dir, error)) {
    if (entry.path().extension() != ".log") {
      continue;
    }
    std::ifstream in(entry.path());
    std::string line;
    // "2026-12-05 18:00:00.123 PID:TID L3 unit:LINE Function: text"; the text may go on over
    // several lines.
    static const std::regex header(
        R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \d+:\d+ L(\d+) (\S+):(\d+) (\S+): (.*)$)");
    while (std::getline(in, line)) {
      std::smatch m;
      if (std::regex_match(line, m, header)) {
        lines.push_back(LogLine{std::stoi(m[1]), m[2], std::stoi(m[3]), m[4], m[5]});
      } else if (!lines.empty()) {
        lines.back().text += "\n" + line;
      }
    }
  }
  return lines;
}

bool HostEnvironment::WaitForLog(const std::string& prefix, size_t count,
                                 std::chrono::milliseconds timeout) const {
  // Records are flushed one by one; the file is read again until the records show up.
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (Find(prefix).size() < count) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

void HostEnvironment::WriteRegistry(const std::vector<std::string>& lines) const {
  fs::create_directories(system_root() + "/registry");
  std::ofstream out(system_root() + "/registry/HKEY_LOCAL_MACHINE.reg");
  out << "Windows Registry Editor Version 5.00\r\n\r\n"
      << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvern\\Tavori]\r\n";
  for (const std::string& line : lines) {
    out << line << "\r\n";
  }
}

void HostEnvironment::SetErrorFlag(Flag flag) const {
  const fs::path dir = fs::path(system_root()) / "windows" / "Temp" / "tavori" / "update";
  fs::remove_all(dir / "error_flag");
  fs::create_directories(dir);
  if (flag == Flag::kFile) {
    std::ofstream(dir / "error_flag") << "1";
  } else if (flag == Flag::kDirectory) {
    fs::create_directories(dir / "error_flag");
  }
}

std::vector<LogLine> HostEnvironment::Find(const std::string& prefix,
                                           const std::string& source) const {
  std::vector<LogLine> found;
  for (LogLine& line : LogLines()) {
    if ((source.empty() || line.source == source) && line.text.rfind(prefix, 0) == 0) {
      found.push_back(std::move(line));
    }
  }
  return found;
}

LibraryHost::LibraryHost(const std::string& path) {
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    ADD_FAILURE() << "dlopen " << path << ": " << dlerror();
    return;
  }
  do_ = reinterpret_cast<int (*)(const std::string&)>(dlsym(handle_, "DoUpdateOperation"));
  set_init_sdk_ = reinterpret_cast<void (*)(bool)>(dlsym(handle_, "SetInitTavoriSDK"));
  set_delegate_ =
      reinterpret_cast<int (*)(IUpdateEventDelegate*)>(dlsym(handle_, "SetUpdateDelegate"));
  EXPECT_NE(do_, nullptr);
  EXPECT_NE(set_init_sdk_, nullptr);
  EXPECT_NE(set_delegate_, nullptr);
}

LibraryHost::~LibraryHost() = default;

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
