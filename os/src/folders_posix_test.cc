#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "os/folders.h"
#include "os/utf.h"

namespace os {
namespace {

// Sets an environment variable for one test and restores it afterwards.  Tests in this file run
// before any thread of ours starts, so changing the environment is safe.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = getenv(name)) {
      old_ = old;
      had_old_ = true;
    }
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (had_old_) {
      setenv(name_, old_.c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::string old_;
  bool had_old_ = false;
};

std::string Value(const Result<std::wstring>& result) {
  return result.ok() ? WideToUtf8(result.value()) : "error " + std::to_string(result.error());
}

TEST(FoldersPosixTest, StandInLocationsFollowTheEnvironment) {
  ScopedEnv home("HOME", "/home/u");
  {
    ScopedEnv root("TAVORI_SYSTEM_ROOT", "/srv/root/");
    EXPECT_EQ(Value(GetWindowsDirectory()), "/srv/root/windows");
  }
  {
    ScopedEnv root("TAVORI_SYSTEM_ROOT", nullptr);
    EXPECT_EQ(Value(GetWindowsDirectory()), "/var/lib/tavori/windows");
  }
  {
    ScopedEnv tmp("TMPDIR", "/scratch//");
    EXPECT_EQ(Value(GetTempDirectory()), "/scratch/");
  }
  {
    ScopedEnv tmp("TMPDIR", "");
    EXPECT_EQ(Value(GetTempDirectory()), "/tmp/");
  }
  {
    ScopedEnv config("XDG_CONFIG_HOME", "/cfg");
    ScopedEnv state("XDG_STATE_HOME", "relative/ignored");
    EXPECT_EQ(Value(GetRoamingAppDataDirectory()), "/cfg");
    EXPECT_EQ(Value(GetUserStateDirectory()), "/home/u/.local/state");
  }
  {
    ScopedEnv config("XDG_CONFIG_HOME", nullptr);
    EXPECT_EQ(Value(GetRoamingAppDataDirectory()), "/home/u/.config");
  }
}

TEST(FoldersPosixTest, LocationsBeyondMaxPathFailWithInsufficientBuffer) {
  const std::string deep = "/" + std::string(kMaxPath, 'd');
  ScopedEnv root("TAVORI_SYSTEM_ROOT", deep.c_str());
  const Result<std::wstring> dir = GetWindowsDirectory();
  ASSERT_FALSE(dir.ok());
  EXPECT_EQ(dir.error(), kErrorInsufficientBuffer);
}

}  // namespace
}  // namespace os
