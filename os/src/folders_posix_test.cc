#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
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
    ScopedEnv tmp("TMPDIR", "/bad\xff/utf8");  // refused, not converted into another name
    EXPECT_EQ(Value(GetTempDirectory()), "error 1113");
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

class PrivateDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tavori_folders_test_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string dir_;
};

TEST_F(PrivateDirectoryTest, DefaultTemporaryDirectoryIsPerUserAndCreatedPrivate) {
  ScopedEnv tmp("TMPDIR", nullptr);
  ScopedEnv home("HOME", dir_.c_str());
  {
    ScopedEnv cache("XDG_CACHE_HOME", nullptr);
    EXPECT_EQ(Value(GetTempDirectory()), dir_ + "/.cache/tmp/");
  }
  struct stat info {};
  ASSERT_EQ(stat((dir_ + "/.cache/tmp").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  ScopedEnv cache("XDG_CACHE_HOME", (dir_ + "/xdg").c_str());
  EXPECT_EQ(Value(GetTempDirectory()), dir_ + "/xdg/tmp/");
}

// What another local user may have left where a private directory is wanted.
TEST_F(PrivateDirectoryTest, OnlyARealDirectoryOfTheUserThatNobodyElseWritesIsPrivate) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root: one case hands a directory to another user (uid 65534)";
  }
  const struct {
    const char* name;
    std::function<void(const std::string& path)> prepare;
    ErrorCode expected;
  } cases[] = {
      {"missing: created", [](const std::string&) {}, kErrorSuccess},
      {"ours, readable by others", [](const std::string& p) { mkdir(p.c_str(), 0755); },
       kErrorSuccess},
      {"writable by the group",
       [](const std::string& p) {
         mkdir(p.c_str(), 0700);
         chmod(p.c_str(), 0770);
       },
       kErrorAccessDenied},
      {"writable by everyone, sticky",
       [](const std::string& p) {
         mkdir(p.c_str(), 0700);
         chmod(p.c_str(), 01777);
       },
       kErrorAccessDenied},
      {"a link to a private directory",
       [this](const std::string& p) {
         mkdir((dir_ + "/real").c_str(), 0700);
         symlink((dir_ + "/real").c_str(), p.c_str());
       },
       kErrorAccessDenied},
      {"a file", [](const std::string& p) { std::ofstream(p) << "x"; }, kErrorAccessDenied},
      {"another user's",
       [](const std::string& p) {
         mkdir(p.c_str(), 0700);
         ASSERT_EQ(chown(p.c_str(), 65534, 65534), 0);
       },
       kErrorAccessDenied},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir_ + "/Halvern";
    c.prepare(path);
    EXPECT_EQ(EnsurePrivateDirectory(Utf8ToWide(path + "/")), c.expected);
    if (c.expected == kErrorSuccess) {
      struct stat info {};
      ASSERT_EQ(lstat(path.c_str(), &info), 0);
      EXPECT_TRUE(S_ISDIR(info.st_mode));
      EXPECT_EQ(info.st_mode & 022, 0u);
    }
    std::filesystem::remove_all(path);
    std::filesystem::remove_all(dir_ + "/real");
  }
  EXPECT_EQ(EnsurePrivateDirectory(Utf8ToWide(dir_ + "/missing/Halvern")), kErrorFileNotFound);
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
