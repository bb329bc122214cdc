// One handle shared by threads, and one file shared by processes.

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "base/database/sqlite_database.h"
#include "base/database/sqlite_open_helper.h"
#include "base/test/child_process.h"
#include "base/test/temp_dir.h"

namespace base::database {
namespace {

using Database = std::shared_ptr<SQLiteDatabase>;

constexpr int kIncrements = 150;

class CounterHelper : public SQLiteOpenHelper {
 protected:
  void OnCreate(Database db) override {
    for (const char* sql : {"CREATE TABLE counter (name TEXT PRIMARY KEY, n INTEGER NOT NULL)",
                            "INSERT INTO counter VALUES ('c', 0)"}) {
      db->CompileStatement(sql)->Execute();
    }
  }
  void OnUpgrade(Database /*database*/, int /*old_version*/, int /*new_version*/) override {}
};

// The counter's value, or -1.
int64_t ReadCounter(SQLiteDatabase& db) {
  std::unique_ptr<SQLiteStatement> select =
      db.CompileStatement("SELECT n FROM counter WHERE name = 'c'");
  std::unique_ptr<SQLiteCursor> cursor = select ? select->Query() : nullptr;
  return cursor && cursor->MoveToNext() ? cursor->GetColumnInt64(0) : -1;
}

// Read, then write the value plus one, in one transaction: only correct when nobody else's
// statements or transaction can come between the two.  A thread whose statements ran inside
// another thread's transaction on the shared handle would fail to begin its own.
bool Increment(SQLiteDatabase& db) {
  bool ok = db.BeginTransaction();
  const int64_t value = ok ? ReadCounter(db) : -1;
  std::unique_ptr<SQLiteStatement> update =
      db.CompileStatement("UPDATE counter SET n = ? WHERE name = 'c'");
  ok = ok && value >= 0 && update && update->BindInt64(1, value + 1) && update->Execute();
  ok = ok ? db.CommitTransaction() : (db.RollbackTransaction(), false);
  db.EndTransaction();
  return ok;
}

// The number of failed increments out of kIncrements.
int IncrementMany(SQLiteDatabase& db) {
  int failures = 0;
  for (int i = 0; i < kIncrements; ++i) {
    failures += Increment(db) ? 0 : 1;
  }
  return failures;
}

// Child role: increments the counter of the file in |arg| over its own connection; the exit code
// is the number of failed increments.
const bool kIncrementerRole =
    base::test::RunChildRoleIfAsked("increment", [](const std::string& arg) {
      CounterHelper helper;
      return helper.OpenOrCreate(arg, 1, "", false, nullptr) ? IncrementMany(*helper.GetDatabase())
                                                             : 100;
    });

TEST(SQLiteConcurrencyTest, ThreadsSharingAHandleAndProcessesSharingTheFileLoseNoIncrement) {
  base::test::ScopedTempDir dir;
  const std::string path = dir.Child("db");
  CounterHelper helper;
  ASSERT_TRUE(helper.OpenOrCreate(path, 1, "", false, nullptr));
  Database db = helper.GetDatabase();
  std::vector<pid_t> children;
  for (int i = 0; i < 2; ++i) {
    children.push_back(base::test::SpawnChild("increment", path));
    ASSERT_GT(children.back(), 0);
  }
  std::atomic<int> failures{0};
  std::vector<std::thread> writers;
  writers.reserve(2);
  for (int t = 0; t < 2; ++t) {
    writers.emplace_back([&] { failures += IncrementMany(*db); });
  }
  for (std::thread& writer : writers) {
    writer.join();
  }
  for (pid_t child : children) {
    EXPECT_EQ(base::test::WaitForChild(child), 0);
  }
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(ReadCounter(*db), 4 * kIncrements);
}

}  // namespace
}  // namespace base::database
