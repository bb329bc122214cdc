#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/test/temp_dir.h"
#include "os/folders.h"
#include "os/utf.h"

namespace os {
namespace {

// Sets (or, given null, unsets) an environment variable and restores it when it goes.  Tests in
// this file run before any thread of ours starts, so changing the environment is safe.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = getenv(name)) {
      old_ = old;
    }
    (void)(value != nullptr ? setenv(name, value, 1) : unsetenv(name));
  }
  ~ScopedEnv() { (void)(old_ ? setenv(name_, old_->c_str(), 1) : unsetenv(name_)); }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// A directory with exactly |mode|, whatever the umask.
void MakeDir(const std::string& path, mode_t mode) {
  mkdir(path.c_str(), 0700);
  chmod(path.c_str(), mode);
}

TEST(FoldersPosixTest, StandInLocationsFollowTheEnvironment) {
  const base::test::ScopedTempDir home_dir;
  const std::string& home = home_dir.path();
  const ScopedEnv home_env("HOME", home.c_str());
  const std::string xdg = home + "/xdg";
  const std::string deep = "/" + std::string(kMaxPath, 'd');
  const struct {
    std::vector<std::pair<const char*, const char*>> environment;
    std::function<Result<std::wstring>()> location;
    std::string expected;
  } cases[] = {
      {{{"TAVORI_SYSTEM_ROOT", "/srv/root/"}}, GetWindowsDirectory, "/srv/root/windows"},
      {{{"TAVORI_SYSTEM_ROOT", nullptr}}, GetWindowsDirectory, "/var/lib/tavori/windows"},
      {{{"TAVORI_SYSTEM_ROOT", deep.c_str()}},
       GetWindowsDirectory,
       "error " + std::to_string(kErrorInsufficientBuffer)},
      {{{"TMPDIR", "/scratch//"}}, GetTempDirectory, "/scratch/"},
      // Refused, not converted into another name.
      {{{"TMPDIR", "/bad\xff/utf8"}},
       GetTempDirectory,
       "error " + std::to_string(kErrorNoUnicodeTranslation)},
      // Per user, created private.
      {{{"TMPDIR", nullptr}, {"XDG_CACHE_HOME", nullptr}}, GetTempDirectory, home + "/.cache/tmp/"},
      {{{"TMPDIR", nullptr}, {"XDG_CACHE_HOME", xdg.c_str()}}, GetTempDirectory, xdg + "/tmp/"},
      {{{"XDG_CONFIG_HOME", "/cfg"}}, GetRoamingAppDataDirectory, "/cfg"},
      {{{"XDG_CONFIG_HOME", nullptr}}, GetRoamingAppDataDirectory, home + "/.config"},
      {{{"XDG_STATE_HOME", "relative/ignored"}}, GetUserStateDirectory, home + "/.local/state"},
  };
  for (const auto& c : cases) {
    std::vector<std::unique_ptr<ScopedEnv>> environment;
    for (const auto& [name, value] : c.environment) {
      environment.push_back(std::make_unique<ScopedEnv>(name, value));
    }
    const Result<std::wstring> got = c.location();
    EXPECT_EQ(got.ok() ? WideToUtf8(got.value()) : "error " + std::to_string(got.error()),
              c.expected);
  }
  struct stat info {};
  ASSERT_EQ(stat((home + "/.cache/tmp").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
}

// What another local user may have left where a private directory is wanted.
TEST(FoldersPosixTest, OnlyARealDirectoryOfTheUserThatNobodyElseWritesIsPrivate) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root: one case hands a directory to another user (uid 65534)";
  }
  const base::test::ScopedTempDir dir;
  const std::string path = dir.Child("Halvern");
  const struct {
    const char* name;
    std::function<void()> prepare;
    ErrorCode expected;
  } cases[] = {
      {"missing: created", [] {}, kErrorSuccess},
      {"ours, readable by others", [&] { MakeDir(path, 0755); }, kErrorSuccess},
      {"writable by the group", [&] { MakeDir(path, 0770); }, kErrorAccessDenied},
      {"writable by everyone, sticky", [&] { MakeDir(path, 01777); }, kErrorAccessDenied},
      {"a link to a private directory",
       [&] {
         mkdir(dir.Child("real").c_str(), 0700);
         symlink(dir.Child("real").c_str(), path.c_str());
       },
       kErrorAccessDenied},
      {"a file", [&] { std::ofstream(path) << "x"; }, kErrorAccessDenied},
      {"another user's",
       [&] {
         MakeDir(path, 0700);
         ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
       },
       kErrorAccessDenied},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.prepare();
    EXPECT_EQ(EnsurePrivateDirectory(Utf8ToWide(path + "/")), c.expected);
    struct stat info {};
    if (c.expected == kErrorSuccess) {
      ASSERT_EQ(lstat(path.c_str(), &info), 0);
      EXPECT_TRUE(S_ISDIR(info.st_mode));
      EXPECT_EQ(info.st_mode & 022, 0u);
    }
    std::filesystem::remove_all(path);
    std::filesystem::remove_all(dir.Child("real"));
  }
  EXPECT_EQ(EnsurePrivateDirectory(Utf8ToWide(dir.Child("missing/Halvern"))), kErrorFileNotFound);
}

}  // namespace
}  // namespace os
