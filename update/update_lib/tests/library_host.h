// Test support for driving the real libupdate_lib.so the way a host does: loaded with dlopen,
// reached only through its three exports, with a delegate that records the events.
//
// The library keeps one process-wide instance, so every test that loads it must run in a
// process of its own.  ctest runs each test case as its own process; LibraryTest enforces it.

#ifndef UPDATE_UPDATE_LIB_TESTS_LIBRARY_HOST_H_
#define UPDATE_UPDATE_LIB_TESTS_LIBRARY_HOST_H_

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "base/synchronization/condition_variable.h"
#include "base/synchronization/lock.h"
#include "base/test/temp_dir.h"
#include "base/thread_annotations.h"
#include "update_lib.h"

namespace update_test {

using Json = nlohmann::json;
using namespace std::chrono_literals;

// Records every event.  Thread-safe: events arrive on the library's network thread.
// Final, and the interface's destructor is protected: nothing deletes it through a base.
// NOLINTNEXTLINE(cppcoreguidelines-virtual-class-destructor)
class RecordingDelegate final : public IUpdateEventDelegate {
 public:
  void OnUpdateEvent(const std::string& event) override;
  // Runs inside OnUpdateEvent, after the event is recorded (for hosts that call back).
  void SetHook(std::function<void(const Json&)> hook);
  std::vector<Json> Events() const;
  // The "command" of each event, in order.
  std::vector<std::string> Commands() const;
  // Waits until |count| events named |command| have arrived; returns the last of them.
  std::optional<Json> WaitFor(const std::string& command, size_t count = 1) const;
  // The same, waiting at most |timeout| (the one above waits 20 s).
  std::optional<Json> WaitFor(const std::string& command, size_t count,
                              std::chrono::milliseconds timeout) const;

 private:
  mutable base::Lock mu_;
  mutable base::ConditionVariable changed_;
  std::vector<Json> events_ GUARDED_BY(mu_);
  std::function<void(const Json&)> hook_ GUARDED_BY(mu_);
};

// The places a host's machine and user keep things, made fresh for one test in a temporary
// directory and put in the environment before the library is loaded.
class HostEnvironment {
 public:
  HostEnvironment();

  const std::string& root() const { return dir_.path(); }
  std::string config_dir() const { return root() + "/config"; }
  std::string temp_dir() const { return root() + "/tmp"; }
  std::string system_root() const { return root() + "/system"; }
  // The default download directory: <TMPDIR>/Halvern/Tavori/Temp/.
  std::string download_dir() const { return temp_dir() + "/Halvern/Tavori/Temp/"; }

  // The text of the library's log files; whether it holds |text|.
  std::string Log() const;
  bool Logged(const std::string& text) const { return Log().find(text) != std::string::npos; }
  // Waits, watching the log directory, until the log holds a record whose text starts with
  // |prefix|; false after 20 s.  For failures whose record is their only trace.
  bool WaitForLog(const std::string& prefix) const;
  // The same, waiting at most |timeout|.
  bool WaitForLog(const std::string& prefix, std::chrono::milliseconds timeout) const;

 private:
  base::test::ScopedTempDir dir_;
};

// The library, loaded with dlopen and reached through its exports only.
class LibraryHost {
 public:
  // Loads the library at |path| (the one the build made, unless given); it stays loaded.
  explicit LibraryHost(const std::string& path = UPDATE_LIB_PATH);

  int Do(const std::string& request) const { return do_(request); }
  int Do(const Json& request) const { return do_(request.dump()); }
  void SetInitSDK(bool init) const { set_init_sdk_(init); }
  int SetDelegate(IUpdateEventDelegate* delegate) const { return set_delegate_(delegate); }

 private:
  int (*do_)(const std::string&) = nullptr;
  void (*set_init_sdk_)(bool) = nullptr;
  int (*set_delegate_)(IUpdateEventDelegate*) = nullptr;
};

// A command envelope.
Json Command(const std::string& name, int64_t token, Json parameters = Json::object());

// Base fixture: a fresh environment, then the library.  Fails a second test in one process.
class LibraryTest : public testing::Test {
 protected:
  void SetUp() override;
  // Removes the delegate; that waits for any event being delivered on another thread, so that
  // nothing runs into the fixture while it is destroyed.
  void TearDown() override;

  std::unique_ptr<HostEnvironment> env_;
  std::unique_ptr<LibraryHost> host_;
  RecordingDelegate delegate_;
};

}  // namespace update_test

#endif  // UPDATE_UPDATE_LIB_TESTS_LIBRARY_HOST_H_
