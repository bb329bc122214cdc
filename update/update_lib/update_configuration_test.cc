#include "update_configuration.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/test/child_process.h"
#include "base/test/log_capture.h"
#include "base/test/temp_dir.h"
#include "util/crypto/crypto.h"

namespace UpdateLib {
namespace {

namespace fs = std::filesystem;
using base::test::ScopedLogCapture;
using base::variant::Variant;

// The store reads $XDG_CONFIG_HOME once per process, so the whole process shares one folder,
// set before the first store is made (child processes inherit it).  It is open to the other
// user that some tests run as, and its name holds the characters an SQLite URI takes for its own.
class ConfigHome : public ::testing::Environment {
 public:
  void SetUp() override {
    dir_ = std::make_unique<base::test::ScopedTempDir>();
    const std::string home = dir_->Child("c ?#%25");
    fs::create_directory(home);
    chmod(dir_->path().c_str(), 0755);
    chmod(home.c_str(), 0755);
    setenv("XDG_CONFIG_HOME", home.c_str(), 1);
  }
  void TearDown() override { dir_.reset(); }

 private:
  std::unique_ptr<base::test::ScopedTempDir> dir_;
};
::testing::Environment* const kConfigHome = ::testing::AddGlobalTestEnvironment(new ConfigHome);
std::string DbDir() {
  return std::getenv("XDG_CONFIG_HOME") + std::string("/Halvern/Tavori/Global/Database");
}
std::string DbPath() { return DbDir() + "/5cb754b0a0cc102b9a45265c7ba70233.db"; }

// The store's records as "level function: text".
std::vector<std::string> StoreRecords(const ScopedLogCapture& capture) {
  std::vector<std::string> found;
  for (const base::test::CapturedRecord& record : capture.records()) {
    if (record.source == "update_configuration") {
      found.push_back(std::to_string(record.level) + " " + record.function + ": " + record.text);
    }
  }
  return found;
}

// A second connection to the store's file, for preparing and looking at raw rows.  Opening it
// on a missing file creates the table at |version|.
class RawFile : public base::database::SQLiteOpenHelper {
 public:
  explicit RawFile(int version = kConfigurationDbVersion) {
    fs::create_directories(DbDir());
    EXPECT_TRUE(OpenOrCreate(DbPath(), version, "", false, nullptr));
  }
  // Runs |sql| with |key| (Base64) bound to its parameters; the first row's columns joined by " ".
  std::string Sql(const std::string& sql, const std::string& key = "") {
    auto statement = GetDatabase()->CompileStatement(sql);
    for (int i = 1;
         statement != nullptr && statement->BindString(i, util::crypto::Encode64(key));) {
      ++i;
    }
    auto cursor = statement != nullptr ? statement->Query() : nullptr;
    std::string row;
    if (cursor != nullptr && cursor->MoveToNext()) {
      for (int i = 0; i < cursor->GetColumnCount(); ++i) {
        row += (i > 0 ? " " : "") + cursor->GetColumnString(i);
      }
    }
    return row;
  }
  void Insert(const std::string& key, const std::string& text, int type) {
    Sql("INSERT INTO user_configuration VALUES (?, '" + util::crypto::Encode64(text) + "', " +
            std::to_string(type) + ")",
        key);
  }
  // "<text> <type>" stored for |key|.
  std::string Row(const std::string& key) {
    const std::string row =
        Sql("SELECT value, value_type FROM user_configuration WHERE key = ?", key);
    return util::crypto::Decode64(row.substr(0, row.find(' '))) + row.substr(row.find(' '));
  }
  std::string Rows() { return Sql("SELECT count(*) FROM user_configuration"); }

 protected:
  void OnCreate(std::shared_ptr<base::database::SQLiteDatabase> db) override {
    UpdateDatabaseStorage::CreateConfigurationTable(db);
  }
  void OnUpgrade(std::shared_ptr<base::database::SQLiteDatabase> /*database*/, int /*old_version*/,
                 int /*new_version*/) override {}
};

Variant Map(const std::vector<std::pair<std::string, Variant>>& entries) {
  Variant map(Variant::Map{});
  for (const auto& [key, value] : entries) {
    map.Set(key, value);
  }
  return map;
}

// Each test starts without a database file.
class UpdateConfigurationTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::remove_all(DbDir()); }
};

TEST_F(UpdateConfigurationTest, TypedValuesAreStoredInTheirTextFormsAndReadBack) {
  const struct {
    Variant value;
    std::string row;
    Variant read;
  } cases[] = {
      {Variant(true), "1 1", Variant(true)},
      {Variant("https://a.example/cgi?x=1&y=\"2\""), "https://a.example/cgi?x=1&y=\"2\" 2",
       Variant("https://a.example/cgi?x=1&y=\"2\"")},
      {Variant(std::string("ab\0cd", 5)), "ab 2", Variant("ab")},
      {Variant(INT64_MIN), "-9223372036854775808 3", Variant(INT64_MIN)},
      {Variant(-1234.5678919, false), "-1234.567892 4", Variant(-1234.567892, false)},
  };
  UpdateDatabaseStorage storage;
  RawFile raw;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value.ToString());
    ASSERT_TRUE(storage.Set("test.key", c.value));
    EXPECT_EQ(raw.Row("test.key"), c.row);
    const Variant request("test.key");
    Variant result;
    ASSERT_TRUE(storage.GetConfiguration(&request, &result));
    EXPECT_EQ(result, c.read);
  }
  // Writes replace the row of their exact key; the string form reads strings only.
  ASSERT_TRUE(storage.Set("Test.key", Variant("other")));
  EXPECT_EQ(raw.Rows(), "2");
  std::string value = "default";
  EXPECT_FALSE(storage.GetConfiguration("test.key", value));
  EXPECT_EQ(value, "default");
  storage.SetUpdateConfig("test.key", "http://two");
  EXPECT_TRUE(storage.GetConfiguration("test.key", value));
  EXPECT_EQ(value, "http://two");
}

TEST_F(UpdateConfigurationTest, RefusedWritesAndReads) {
  UpdateDatabaseStorage storage;
  ASSERT_TRUE(storage.Set("present.key", Variant("v")));
  RawFile().Insert("odd.key", "1", 9);  // a row of an unknown type
  const Variant present = Map({{"key", Variant("present.key")}});
  const Variant absent = Map({{"key", Variant("absent.key")}, {"def_value", Variant(true)}});
  const Variant odd("odd.key");
  const Variant integer(int64_t{3});
  Variant occupied("old");
  Variant empty;
  const std::function<bool()> calls[] = {
      [&] { return storage.GetConfiguration(nullptr, &empty); },
      [&] { return storage.GetConfiguration(&integer, &empty); },
      [&] { return storage.GetConfiguration(&present, &occupied); },
      [&] { return storage.GetConfiguration(&absent, &empty); },
      [&] { return storage.GetConfiguration(&odd, &empty); },
      [&] { return storage.Set("x.y", Map({})); },
      // The last entry decides: an illegal key.
      [&] {
        return storage.SetUpdateConfig(Map({{"a.b", Variant("x")}, {"zz", Variant("y")}}));
      },
  };
  for (const auto& call : calls) {
    EXPECT_FALSE(call());
  }
  EXPECT_EQ(occupied, Variant("old"));
  EXPECT_TRUE(empty.IsNull());
  // An illegal key or a null value that is not the last entry does not decide the result.
  EXPECT_TRUE(storage.SetUpdateConfig(Map({{"", Variant("x")}, {"c.d", Variant(1.5, false)}})));
  EXPECT_TRUE(storage.SetUpdateConfig(Map({{"e.f", Variant()}, {"g.h", Variant(false)}})));
  EXPECT_TRUE(storage.SetUpdateConfig(Map({})));
  // Only the legal, typed entries were stored, and no transaction was left open.
  EXPECT_EQ(RawFile().Rows(), "5");

  // Without the table, writes and reads fail.
  RawFile().Sql("DROP TABLE user_configuration");
  EXPECT_FALSE(storage.Set("a.b", Variant("v")));
  EXPECT_FALSE(storage.GetConfiguration(&present, &empty));
}

TEST_F(UpdateConfigurationTest, StoredTextsAreRebuiltByTheirTypeCode) {
  const struct {
    int type = 0;
    const char* text = nullptr;
    std::optional<Variant> value;  // none: refused
  } cases[] = {
      {1, "1", Variant(true)},           {1, "yes", Variant(false)},
      {2, "007", Variant("007")},        {3, "-12.9", Variant(int64_t{-12})},
      {3, "1e5", Variant(int64_t{0})},   {4, "-12.5", Variant(-12.5, false)},
      {4, "1.2.3", Variant(0.0, false)}, {3, "+1", Variant(int64_t{0})},
      {4, " 1", Variant(0.0, false)},    {4, "-", Variant(0.0, false)},
      {4, ".5", Variant(0.5, false)},    {0, "1", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.type) + " " + c.text);
    Variant result;
    EXPECT_EQ(UpdateDatabaseStorage::ConvertStringToVariantType(c.type, "k.k", c.text, &result),
              c.value.has_value());
    EXPECT_EQ(result, c.value.value_or(Variant()));
  }
}

TEST_F(UpdateConfigurationTest, OlderAndNewerFilesKeepTheirRows) {
  for (int version : {1, 3}) {
    SCOPED_TRACE(version);
    SetUp();
    RawFile(version).Insert("update.cgi_url", "http://kept", 2);
    UpdateDatabaseStorage storage;
    std::string value;
    EXPECT_TRUE(storage.GetConfiguration("update.cgi_url", value));
    EXPECT_EQ(value, "http://kept");
    EXPECT_TRUE(storage.Set("new.key", Variant(int64_t{1})));
    EXPECT_EQ(RawFile().Rows(), "2");
  }
}

// Child role: stores a value, then dies at once the way a killed process does.
const bool kKilledRole = base::test::RunChildRoleIfAsked("killed", [](const std::string& arg) {
  UpdateDatabaseStorage storage;
  if (!storage.Set("kill.key", Variant(arg))) {
    return 1;
  }
  std::raise(SIGKILL);
  return 2;
});

TEST_F(UpdateConfigurationTest, AProcessKilledAfterAWriteLosesNothing) {
  ASSERT_EQ(base::test::WaitForChild(base::test::SpawnChild("killed", "committed")), 128 + SIGKILL);
  std::string value;
  EXPECT_TRUE(UpdateDatabaseStorage().GetConfiguration("kill.key", value));
  EXPECT_EQ(value, "committed");
}

TEST_F(UpdateConfigurationTest, AConfigurationFolderBeyondMaxPathOpensNothing) {
  setenv("XDG_CONFIG_HOME", ("/" + std::string(300, 'c')).c_str(), 1);
  ScopedLogCapture capture;
  UpdateDatabaseStorage storage;
  EXPECT_FALSE(storage.Set("a.b", Variant("v")));
  EXPECT_EQ(StoreRecords(capture)[1],
            "1 OpenOrCreateDb: open/create db failed: 5cb754b0a0cc102b9a45265c7ba70233.db");
}

// A store on a file it cannot write (|readable|: one it may still read): the exit code is a bit
// set of what went wrong, 65 when this user may write after all.
int CheckStore(bool readable) {
  if (readable && access(DbPath().c_str(), W_OK) == 0 && access(DbDir().c_str(), W_OK) == 0) {
    return 65;
  }
  ScopedLogCapture capture;
  UpdateDatabaseStorage storage;
  const std::string open = readable ? "3 OpenOrCreateDb: db opened read-only: "
                                    : "1 OpenOrCreateDb: open/create db failed: ";
  int wrong = StoreRecords(capture) == std::vector<std::string>{open + DbPath()} ? 0 : 1;
  std::string value;
  if (storage.GetConfiguration("update.cgi_url", value) != readable ||
      value != (readable ? "http://stored" : "")) {
    wrong |= 2;
  }
  capture.Clear();
  const std::string refused = readable ? "1 Set: db is read-only: key = a.b" : "1 Set: db is null";
  if (storage.Set("a.b", Variant("v")) || StoreRecords(capture) != std::vector{refused}) {
    wrong |= 4;
  }
  return wrong;
}

// The user the child role below runs as: another one when this is root (root passes every
// permission check), else this one.  64: the rights could not be dropped.
constexpr uid_t kOtherUser = 65534;
const bool kStoreRole = base::test::RunChildRoleIfAsked("store", [](const std::string& arg) {
  if (geteuid() == 0 &&
      (setgroups(0, nullptr) != 0 || setgid(kOtherUser) != 0 || setuid(kOtherUser) != 0)) {
    return 64;
  }
  return CheckStore(arg == "readable");
});

// The file and the folder given to the child role's user, with the modes |file| and |folder|.
void GiveAway(mode_t file, mode_t folder) {
  for (const std::string& name : {DbPath(), DbPath() + "-wal", DbPath() + "-shm", DbDir()}) {
    if (fs::exists(name)) {
      ASSERT_EQ(chown(name.c_str(), geteuid() == 0 ? kOtherUser : geteuid(), -1), 0);
    }
  }
  chmod(DbPath().c_str(), file);
  chmod(DbDir().c_str(), folder);
}

TEST_F(UpdateConfigurationTest, UnusableFilesFailOnceAndUnwritableOnesAreStillRead) {
  const struct {
    const char* name;
    std::function<void()> prepare;  // the file holds the remembered URL before
    const char* child;              // the child role's argument; none: checked in this process
    bool writer_open = false;       // another connection has the file open, the URL in its -wal
  } cases[] = {
      {"directory",
       [] {
         fs::remove(DbPath());
         fs::create_directory(DbPath());
       },
       nullptr},
      {"no permission", [] { chmod(DbPath().c_str(), geteuid() == 0 ? 0600 : 0); }, ""},
      // The last connection has taken its -wal and -shm away, and none can be made.
      {"read-only folder", [] { GiveAway(0644, 0555); }, "readable"},
      {"read-only file", [] { GiveAway(0444, 0555); }, "readable", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    auto writer = std::make_unique<RawFile>();
    writer->Insert("update.cgi_url", "http://stored", 2);
    if (!c.writer_open) {
      writer.reset();
    }
    c.prepare();
    const int result = c.child != nullptr
                           ? base::test::WaitForChild(base::test::SpawnChild("store", c.child))
                           : CheckStore(false);
    chmod(DbDir().c_str(), 0755);
    writer.reset();
    if (result == 64 || result == 65) {
      GTEST_SKIP() << "file modes do not bind the user the test can run as";
    }
    EXPECT_EQ(result, 0);
  }
}

}  // namespace
}  // namespace UpdateLib
