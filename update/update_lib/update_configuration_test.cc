#include "update/update_lib/update_configuration.h"

#include <grp.h>
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
#include <utility>
#include <vector>

#include "base/test/child_process.h"
#include "base/test/log_capture.h"
#include "base/test/temp_dir.h"
#include "update/update_lib/update_operation.h"
#include "update/update_lib/value_parsing.h"
#include "util/crypto/crypto.h"

namespace UpdateLib {
namespace {

using base::database::SQLiteCursor;
using base::database::SQLiteDatabase;
using base::database::SQLiteStatement;
using base::test::ScopedLogCapture;
using base::variant::Variant;

constexpr char kDbFileName[] = "5cb754b0a0cc102b9a45265c7ba70233.db";  // md5 of the name

// The store reads $XDG_CONFIG_HOME once per process, so the whole process shares one folder,
// set before the first store is made (child processes inherit it).
class ConfigHome : public ::testing::Environment {
 public:
  void SetUp() override {
    dir_ = std::make_unique<base::test::ScopedTempDir>();
    // Open to the other user that some tests run as, so that they meet the file's own modes.
    chmod(dir_->path().c_str(), 0755);
    setenv("XDG_CONFIG_HOME", dir_->path().c_str(), 1);
  }
  void TearDown() override { dir_.reset(); }
  static std::string DbDir() {
    return std::string(std::getenv("XDG_CONFIG_HOME")) + "/Halvern/Tavori/Global/Database";
  }
  static std::string DbPath() { return DbDir() + "/" + kDbFileName; }

 private:
  std::unique_ptr<base::test::ScopedTempDir> dir_;
};
::testing::Environment* const kConfigHome = ::testing::AddGlobalTestEnvironment(new ConfigHome);

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

// A second connection to the store's file, for looking at and preparing raw rows.  Opening it
// on a missing file creates the table at |version|.
class RawFile : public base::database::SQLiteOpenHelper {
 public:
  explicit RawFile(int version = kConfigurationDbVersion) {
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(ConfigHome::DbPath()).parent_path(),
                                        ignored);
    opened_ = OpenOrCreate(ConfigHome::DbPath(), version, "", false, nullptr);
  }
  bool opened() const { return opened_; }

  bool Exec(const std::string& sql) {
    std::unique_ptr<SQLiteStatement> statement = GetDatabase()->CompileStatement(sql);
    return statement != nullptr && statement->Execute();
  }
  bool Insert(const std::string& key, const std::string& text, int type) {
    std::unique_ptr<SQLiteStatement> insert =
        GetDatabase()->CompileStatement("INSERT INTO user_configuration VALUES (?, ?, ?)");
    return insert != nullptr && insert->BindString(1, util::crypto::Encode64(key)) &&
           insert->BindString(2, util::crypto::Encode64(text)) && insert->BindInt64(3, type) &&
           insert->Execute();
  }
  // The decoded text and type code stored for |key|.
  std::optional<std::pair<std::string, int>> Row(const std::string& key) {
    std::unique_ptr<SQLiteStatement> select = GetDatabase()->CompileStatement(
        "SELECT value, value_type FROM user_configuration WHERE key = ?");
    if (select == nullptr || !select->BindString(1, util::crypto::Encode64(key))) {
      return std::nullopt;
    }
    std::unique_ptr<SQLiteCursor> cursor = select->Query();
    if (!cursor->MoveToNext()) return std::nullopt;
    return std::make_pair(util::crypto::Decode64(cursor->GetColumnString(0)),
                          cursor->GetColumnInt(1));
  }
  int Rows() {
    std::unique_ptr<SQLiteStatement> count =
        GetDatabase()->CompileStatement("SELECT count(*) FROM user_configuration");
    std::unique_ptr<SQLiteCursor> cursor = count->Query();
    return cursor->MoveToNext() ? cursor->GetColumnInt(0) : -1;
  }

 protected:
  void OnCreate(std::shared_ptr<SQLiteDatabase> db) override {
    UpdateDatabaseStorage::CreateConfigurationTable(std::move(db));
  }
  void OnUpgrade(std::shared_ptr<SQLiteDatabase>, int, int) override {}

 private:
  bool opened_ = false;
};

Variant Map(std::vector<std::pair<std::string, Variant>> entries) {
  Variant map(Variant::Map{});
  for (auto& [key, value] : entries) map.Set(key, std::move(value));
  return map;
}

Variant Request(const std::string& key) { return Map({{"key", Variant(key)}}); }

// Each test starts without a database file.
class UpdateConfigurationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::error_code ignored;
    for (const char* suffix : {"", "-wal", "-shm"}) {
      std::filesystem::remove_all(ConfigHome::DbPath() + suffix, ignored);
    }
  }
};

TEST_F(UpdateConfigurationTest, TypedValuesAreStoredInTheirTextFormsAndReadBack) {
  struct Case {
    Variant value;
    std::string text;
    int type;
    Variant read;
  } cases[] = {
      {Variant(true), "1", 1, Variant(true)},
      {Variant(false), "0", 1, Variant(false)},
      {Variant("https://a.example/cgi?x=1&y=\"2\""), "https://a.example/cgi?x=1&y=\"2\"", 2,
       Variant("https://a.example/cgi?x=1&y=\"2\"")},
      {Variant(""), "", 2, Variant("")},
      {Variant(std::string("ab\0cd", 5)), "ab", 2, Variant("ab")},
      {Variant(int64_t{-42}), "-42", 3, Variant(int64_t{-42})},
      {Variant(int64_t{0}), "0", 3, Variant(int64_t{0})},
      {Variant(INT64_MAX), "9223372036854775807", 3, Variant(INT64_MAX)},
      {Variant(INT64_MIN), "-9223372036854775808", 3, Variant(INT64_MIN)},
      {Variant(2.5, false), "2.500000", 4, Variant(2.5, false)},
      {Variant(0.0000001, false), "0.000000", 4, Variant(0.0, false)},
      {Variant(-1234.5678919, false), "-1234.567892", 4, Variant(-1234.567892, false)},
  };
  UpdateDatabaseStorage storage;
  RawFile raw;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value.ToString());
    ASSERT_TRUE(storage.Set("test.key", c.value));
    EXPECT_EQ(raw.Row("test.key"), std::make_pair(c.text, c.type));
    const Variant request = Request("test.key");
    Variant result;
    ASSERT_TRUE(storage.GetConfiguration(&request, &result));
    EXPECT_EQ(result, c.read);
  }
  EXPECT_EQ(raw.Rows(), 1);
}

TEST_F(UpdateConfigurationTest, WritesReplaceTheRowOfTheirExactKey) {
  UpdateDatabaseStorage storage;
  ASSERT_TRUE(storage.Set("update.cgi_url", Variant("http://one")));
  ASSERT_TRUE(storage.Set("update.cgi_url", Variant(int64_t{7})));
  ASSERT_TRUE(storage.Set("Update.cgi_url", Variant("other")));
  RawFile raw;
  EXPECT_EQ(raw.Rows(), 2);
  EXPECT_EQ(raw.Row("update.cgi_url"), std::make_pair(std::string("7"), 3));

  // The string form sees only strings; the default stays otherwise.
  std::string value = "default";
  EXPECT_FALSE(storage.GetConfiguration("update.cgi_url", value));
  EXPECT_EQ(value, "default");
  storage.SetUpdateConfig("update.cgi_url", "http://two");
  EXPECT_TRUE(storage.GetConfiguration("update.cgi_url", value));
  EXPECT_EQ(value, "http://two");
}

TEST_F(UpdateConfigurationTest, MapWritesStoreLegalEntriesAndReportTheLastOne) {
  struct Case {
    Variant params;
    bool result;
    std::vector<std::string> records;
    std::vector<std::string> stored;
  } cases[] = {
      {Map({}), true, {}, {}},
      {Map({{"nodot", Variant(int64_t{1})}}),
       false,
       {"1 SetUpdateConfig: illegal key: nodot",
        "1 SetUpdateConfig: set failed: params = {\"nodot\":1}"},
       {}},
      // Map order is the keys' order: the illegal entry comes last.
      {Map({{"a.b", Variant("x")}, {"zz", Variant("y")}}),
       false,
       {"1 SetUpdateConfig: illegal key: zz",
        "1 SetUpdateConfig: set failed: params = {\"a.b\":\"x\",\"zz\":\"y\"}"},
       {"a.b"}},
      {Map({{"", Variant("x")}, {"c.d", Variant(1.5, false)}}),
       true,
       {"1 SetUpdateConfig: illegal key: "},
       {"c.d"}},
      {Map({{"e.f", Variant()}, {"g.h", Variant(false)}}),
       true,
       {"1 VariantTypeToLocalType: invalid type: type = 0"},
       {"g.h"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.params.ToString());
    SetUp();
    UpdateDatabaseStorage storage;
    ScopedLogCapture capture;
    EXPECT_EQ(storage.SetUpdateConfig(c.params), c.result);
    EXPECT_EQ(StoreRecords(capture), c.records);
    RawFile raw;
    EXPECT_EQ(raw.Rows(), static_cast<int>(c.stored.size()));
    for (const std::string& key : c.stored) EXPECT_TRUE(raw.Row(key).has_value()) << key;
  }
}

TEST_F(UpdateConfigurationTest, BadRequestsAndValuesAreRefusedWithTheirRecords) {
  UpdateDatabaseStorage storage;
  ASSERT_TRUE(storage.Set("present.key", Variant("v")));
  const Variant present = Request("present.key");
  const Variant absent = Request("absent.key");
  const Variant integer(int64_t{3});
  ASSERT_TRUE(storage.Set("int.key", Variant(int64_t{1})));
  const Variant absent_with_default =
      Map({{"key", Variant("absent.key")}, {"def_value", Variant(true)}});
  Variant occupied("old");
  Variant empty;
  std::string text = "default";
  struct Case {
    const char* name;
    std::function<bool()> call;
    std::vector<std::string> records;
  } cases[] = {
      {"null request",
       [&] { return storage.GetConfiguration(nullptr, &empty); },
       {"1 GetConfiguration: param is null."}},
      {"null result",
       [&] { return storage.GetConfiguration(&present, nullptr); },
       {"1 GetConfiguration: param is null."}},
      {"integer request",
       [&] { return storage.GetConfiguration(&integer, &empty); },
       {"1 GetConfiguration: illegal param type: 3"}},
      {"occupied result, present key",
       [&] { return storage.GetConfiguration(&present, &occupied); },
       {"4 GetConfiguration: null def value: key = present.key",
        "1 ConvertStringToVariantType: result variant type incorrect: key = present.key"}},
      {"occupied result, absent key",
       [&] { return storage.GetConfiguration(&absent, &occupied); },
       {"4 GetConfiguration: null def value: key = absent.key"}},
      {"absent key", [&] { return storage.GetConfiguration(&absent_with_default, &empty); }, {}},
      {"absent key, string form", [&] { return storage.GetConfiguration("absent.key", text); }, {}},
      {"integer stored, string read",
       [&] { return storage.GetConfiguration("int.key", text); },
       {}},
      {"null value",
       [&] { return storage.Set("x.y", Variant()); },
       {"1 VariantTypeToLocalType: invalid type: type = 0"}},
      {"map value",
       [&] { return storage.Set("x.y", Map({})); },
       {"1 VariantTypeToLocalType: invalid type: type = 7"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedLogCapture capture;
    EXPECT_FALSE(c.call());
    EXPECT_EQ(StoreRecords(capture), c.records);
  }
  // Results and defaults stay as they were.
  EXPECT_EQ(occupied, Variant("old"));
  EXPECT_TRUE(empty.IsNull());
  EXPECT_EQ(text, "default");
  // The refused writes stored nothing and left no transaction open.
  RawFile raw;
  EXPECT_EQ(raw.Rows(), 2);
  EXPECT_TRUE(storage.Set("x.y", Variant(true)));
  EXPECT_EQ(raw.Rows(), 3);
}

TEST_F(UpdateConfigurationTest, StoredTextsAreRebuiltByTheirTypeCode) {
  struct Case {
    int type;
    const char* text;
    std::optional<Variant> value;  // none: refused
  } cases[] = {
      {1, "1", Variant(true)},
      {1, "0", Variant(false)},
      {1, "yes", Variant(false)},
      {2, "007", Variant("007")},
      {3, "-12.9", Variant(int64_t{-12})},
      {3, "+1", Variant(int64_t{0})},
      {3, "1e5", Variant(int64_t{0})},
      {4, "-12.5", Variant(-12.5, false)},
      {4, "1.2.3", Variant(0.0, false)},
      {4, " 1", Variant(0.0, false)},
      {0, "1", std::nullopt},
      {9, "1", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.type) + " " + c.text);
    Variant result;
    ScopedLogCapture capture;
    EXPECT_EQ(UpdateDatabaseStorage::ConvertStringToVariantType(c.type, "k.k", c.text, &result),
              c.value.has_value());
    if (c.value.has_value()) {
      EXPECT_EQ(result, *c.value);
    } else {
      EXPECT_EQ(StoreRecords(capture),
                std::vector<std::string>{"1 ConvertStringToVariantType: invalid type: key = k.k, "
                                         "type = " +
                                         std::to_string(c.type)});
    }
  }
  for (const char* text : {"-12.5", "007", "0", ".5", "-", "."}) {
    EXPECT_TRUE(IsNumericText(text, true)) << text;
  }
  for (const char* text : {"", "+1", "1e5", "1.2.3", " 1", "1-", "--1", "1 "}) {
    EXPECT_FALSE(IsNumericText(text, true)) << text;
  }

  // A stored row of an unknown type is refused on reading.
  UpdateDatabaseStorage storage;
  RawFile raw;
  ASSERT_TRUE(raw.Insert("odd.key", "1", 9));
  const Variant request = Request("odd.key");
  Variant result;
  ScopedLogCapture capture;
  EXPECT_FALSE(storage.GetConfiguration(&request, &result));
  EXPECT_EQ(StoreRecords(capture).back(),
            "1 ConvertStringToVariantType: invalid type: key = odd.key, type = 9");
}

TEST_F(UpdateConfigurationTest, AMissingTableFailsWritesAndReads) {
  UpdateDatabaseStorage storage;
  RawFile raw;
  ASSERT_TRUE(raw.Exec("DROP TABLE user_configuration"));
  ScopedLogCapture capture;
  EXPECT_FALSE(storage.Set("a.b", Variant("v")));
  const Variant request = Request("a.b");
  Variant result;
  EXPECT_FALSE(storage.GetConfiguration(&request, &result));
  EXPECT_EQ(
      StoreRecords(capture),
      (std::vector<std::string>{"1 Replace: sqlite execute failed: key = a.b, sql = REPLACE INTO "
                                "\"user_configuration\" (key, value, value_type) VALUES (?, ?, ?)",
                                "4 GetConfiguration: null def value: key = a.b",
                                "1 Select: sqlite execute failed: key = a.b"}));
}

TEST_F(UpdateConfigurationTest, OlderAndNewerFilesKeepTheirRows) {
  for (int version : {1, 3}) {
    SCOPED_TRACE(version);
    SetUp();
    {
      RawFile old(version);
      ASSERT_TRUE(old.opened());
      ASSERT_TRUE(old.Insert("update.cgi_url", "http://kept", 2));
    }
    UpdateDatabaseStorage storage;
    std::string value;
    EXPECT_TRUE(storage.GetConfiguration("update.cgi_url", value));
    EXPECT_EQ(value, "http://kept");
    EXPECT_TRUE(storage.Set("new.key", Variant(int64_t{1})));
    EXPECT_EQ(RawFile().Rows(), 2);
  }
}

TEST_F(UpdateConfigurationTest, TheUpdateOperationOwnsAStoreAtTheUsersPath) {
  ASSERT_FALSE(std::filesystem::exists(ConfigHome::DbPath()));
  UpdateDatabaseStorage* storage = UpdateOperation::GetInstance()->storage();
  ASSERT_NE(storage, nullptr);
  EXPECT_TRUE(std::filesystem::is_regular_file(ConfigHome::DbPath()));
  storage->SetUpdateConfig("update.cgi_url", "http://service");
  std::string value;
  EXPECT_TRUE(storage->GetConfiguration("update.cgi_url", value));
  EXPECT_EQ(value, "http://service");
}

// What a store whose file cannot be used does; the exit code is a bit set of what went wrong.
int CheckUnusableStore() {
  ScopedLogCapture capture;
  UpdateDatabaseStorage storage;
  int wrong = 0;
  if (StoreRecords(capture) !=
      std::vector<std::string>{"1 OpenOrCreateDb: open/create db failed: " +
                               ConfigHome::DbPath()}) {
    wrong |= 1;
  }
  capture.Clear();
  if (storage.Set("a.b", Variant("v")) ||
      StoreRecords(capture) != std::vector<std::string>{"1 Set: db is null"}) {
    wrong |= 2;
  }
  capture.Clear();
  std::string value = "default";
  const Variant request = Map({{"key", Variant("a.b")}, {"def_value", Variant("d")}});
  Variant result;
  if (storage.GetConfiguration("a.b", value) || value != "default" ||
      storage.GetConfiguration(&request, &result) || !StoreRecords(capture).empty()) {
    wrong |= 4;
  }
  return wrong;
}

// What a store whose file it may read but not write does; the exit code is a bit set of what went
// wrong, 65 when this user may write after all.
int CheckReadOnlyStore() {
  if (access(ConfigHome::DbPath().c_str(), W_OK) == 0 &&
      access(ConfigHome::DbDir().c_str(), W_OK) == 0) {
    return 65;
  }
  ScopedLogCapture capture;
  UpdateDatabaseStorage storage;
  int wrong = 0;
  if (StoreRecords(capture) !=
      std::vector<std::string>{"3 OpenOrCreateDb: db opened read-only: " + ConfigHome::DbPath()}) {
    wrong |= 1;
  }
  std::string value;
  if (!storage.GetConfiguration("update.cgi_url", value) || value != "http://stored") {
    wrong |= 2;
  }
  capture.Clear();
  if (storage.Set("update.cgi_url", Variant("http://new")) ||
      StoreRecords(capture) !=
          std::vector<std::string>{"1 Set: db is read-only: key = update.cgi_url"}) {
    wrong |= 4;
  }
  return wrong;
}

// The user the child roles below run as: another one when this is root (root passes every
// permission check), else this one.
constexpr uid_t kOtherUser = 65534;
uid_t ChildUser() { return geteuid() == 0 ? kOtherUser : geteuid(); }

// Child roles: drop root's rights, then open the store.  64: the rights could not be dropped.
bool DropRoot() {
  return geteuid() != 0 ||
         (setgroups(0, nullptr) == 0 && setgid(kOtherUser) == 0 && setuid(kOtherUser) == 0);
}
const bool kUnprivilegedRole = base::test::RunChildRoleIfAsked(
    "unprivileged", [](const std::string&) { return DropRoot() ? CheckUnusableStore() : 64; });
const bool kReadOnlyRole = base::test::RunChildRoleIfAsked(
    "read-only", [](const std::string&) { return DropRoot() ? CheckReadOnlyStore() : 64; });

TEST_F(UpdateConfigurationTest, UnusableFilesFailOnceAndLeaveAWorkingLibrary) {
  struct Case {
    const char* name;
    std::function<void(const std::string& path)> prepare;
    bool in_child;
  } cases[] = {
      {"garbage", [](const std::string& p) { std::ofstream(p) << std::string(3000, '\x5a'); },
       false},
      {"directory", [](const std::string& p) { std::filesystem::create_directory(p); }, false},
      // The child runs as another user when this is root, else as this user.
      {"no permission", [](const std::string& p) { chmod(p.c_str(), geteuid() == 0 ? 0600 : 0); },
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    {
      // Makes the directories, and for the child a valid file owned by this user.
      RawFile raw;
      ASSERT_TRUE(raw.Insert("a.b", "unreachable", 2));
    }
    if (!c.in_child) std::filesystem::remove(ConfigHome::DbPath());
    c.prepare(ConfigHome::DbPath());
    if (c.in_child) {
      EXPECT_EQ(base::test::WaitForChild(base::test::SpawnChild("unprivileged", "")), 0);
    } else {
      EXPECT_EQ(CheckUnusableStore(), 0);
    }
  }
}

TEST_F(UpdateConfigurationTest, AFileThatCannotBeWrittenIsStillRead) {
  const struct {
    const char* name;
    mode_t file_mode;
    mode_t dir_mode;
    bool writer_open;  // another connection has the file open, the value still in its -wal
  } cases[] = {
      {"read-only file", 0444, 0755, false},
      {"read-only directory, no -wal or -shm", 0644, 0555, false},
      {"read-only file and directory, a writer at work", 0444, 0555, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    auto writer = std::make_unique<RawFile>();
    ASSERT_TRUE(writer->Insert("update.cgi_url", "http://stored", 2));
    if (!c.writer_open) writer.reset();
    for (const char* suffix : {"", "-wal", "-shm"}) {
      const std::string file = ConfigHome::DbPath() + suffix;
      ASSERT_EQ(std::filesystem::exists(file), *suffix == '\0' || c.writer_open) << file;
      if (std::filesystem::exists(file)) {
        ASSERT_EQ(chown(file.c_str(), ChildUser(), -1), 0);
      }
    }
    ASSERT_EQ(chown(ConfigHome::DbDir().c_str(), ChildUser(), -1), 0);
    chmod(ConfigHome::DbPath().c_str(), c.file_mode);
    chmod(ConfigHome::DbDir().c_str(), c.dir_mode);
    const int result = base::test::WaitForChild(base::test::SpawnChild("read-only", ""));
    chmod(ConfigHome::DbDir().c_str(), 0755);
    writer.reset();
    if (result == 64 || result == 65) {
      GTEST_SKIP() << "file modes do not bind the user the test can run as";
    }
    EXPECT_EQ(result, 0);
  }
}

}  // namespace
}  // namespace UpdateLib
