#include "base/database/sqlite_database.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "base/database/sqlite_open_helper.h"
#include "base/test/log_capture.h"
#include "base/test/temp_dir.h"

namespace base::database {
namespace {

using Database = std::shared_ptr<SQLiteDatabase>;

bool Exec(SQLiteDatabase& db, const std::string& sql) {
  std::unique_ptr<SQLiteStatement> statement = db.CompileStatement(sql);
  return statement != nullptr && statement->Execute();
}

// The first column of the first row as text, or "<none>".
std::string QueryText(SQLiteDatabase& db, const std::string& sql) {
  std::unique_ptr<SQLiteStatement> statement = db.CompileStatement(sql);
  std::unique_ptr<SQLiteCursor> cursor = statement ? statement->Query() : nullptr;
  return cursor && cursor->MoveToNext() ? cursor->GetColumnString(0) : "<none>";
}

// Records its hooks and counts what it is told as the delegate; OnCreate makes table t.
class RecordingHelper : public SQLiteOpenHelper, public SqliteDelegate {
 public:
  std::vector<std::string> calls;
  int busy_timeouts = 0;
  int corruptions = 0;
  void OnBusyTimeout(const std::string& /*path*/) override { ++busy_timeouts; }
  void OnCorruption(const std::string& /*path*/, int /*error*/) override { ++corruptions; }

 protected:
  void OnConfigure(Database /*db*/) override { calls.emplace_back("configure"); }
  void OnCreate(Database db) override {
    calls.emplace_back("create");
    Exec(*db, "CREATE TABLE t (k TEXT NOT NULL, v INTEGER, UNIQUE (k))");
  }
  void OnUpgrade(Database /*db*/, int from, int to) override {
    calls.push_back("upgrade " + std::to_string(from) + "->" + std::to_string(to));
  }
  void OnDowngrade(Database /*db*/, int from, int to) override {
    calls.push_back("downgrade " + std::to_string(from) + "->" + std::to_string(to));
  }
  void OnOpen(Database /*db*/) override { calls.emplace_back("open"); }
};

class SQLiteDatabaseTest : public ::testing::Test {
 protected:
  base::test::ScopedTempDir dir_;
  const std::string path_ = dir_.Child("test.db");
};

TEST_F(SQLiteDatabaseTest, HooksFollowTheFilesSchemaVersion) {
  const struct {
    int existing;  // -1: no file; 0: an empty file; else a file of that version with one row
    std::vector<std::string> calls;
  } cases[] = {
      {-1, {"configure", "create", "open"}},        {0, {"configure", "create", "open"}},
      {1, {"configure", "upgrade 1->2", "open"}},   {2, {"configure", "open"}},
      {3, {"configure", "downgrade 3->2", "open"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.existing);
    base::test::ScopedTempDir dir;
    const std::string path = dir.Child("db");
    if (c.existing == 0) {
      std::ofstream(path).flush();
    }
    if (c.existing > 0) {
      RecordingHelper first;
      ASSERT_TRUE(first.OpenOrCreate(path, c.existing, "", false, nullptr));
      ASSERT_TRUE(Exec(*first.GetDatabase(), "INSERT INTO t VALUES ('a', 7)"));
    }
    RecordingHelper helper;
    ASSERT_TRUE(helper.OpenOrCreate(path, 2, "", false, nullptr));
    EXPECT_EQ(helper.calls, c.calls);
    Database db = helper.GetDatabase();
    // A newer file keeps its version; older ones are brought to 2.
    EXPECT_EQ(QueryText(*db, "PRAGMA user_version"), std::to_string(std::max(c.existing, 2)));
    EXPECT_EQ(QueryText(*db, "SELECT count(*) FROM t"), c.existing > 0 ? "1" : "0");
    EXPECT_EQ(QueryText(*db, "PRAGMA journal_mode"), "wal");
    EXPECT_EQ(QueryText(*db, "PRAGMA synchronous"), "2");
    EXPECT_EQ(QueryText(*db, "PRAGMA busy_timeout"),
              std::to_string(SQLiteDatabase::kBusyTimeoutMs));
    // A reader beside the writer reads the rows and cannot write; a newer file is refused.
    RecordingHelper reader;
    ASSERT_EQ(reader.OpenOrCreate(path, 2, "", true, nullptr), c.existing <= 2);
    if (c.existing <= 2) {
      EXPECT_EQ(reader.calls, (std::vector<std::string>{"configure", "open"}));
      EXPECT_EQ(QueryText(*reader.GetDatabase(), "SELECT count(*) FROM t"),
                c.existing > 0 ? "1" : "0");
      EXPECT_FALSE(Exec(*reader.GetDatabase(), "INSERT INTO t VALUES ('b', 8)"));
    }
  }
}

TEST_F(SQLiteDatabaseTest, UnusableFilesFailWithARecord) {
  const struct {
    char file;  // g: garbage, d: a directory, 1: a database of version 1, else none
    int version;
    const char* vfs;
    bool read_only;
    const char* record;  // part of the expected base_database record
    int corruptions;
  } cases[] = {
      {'g', 2, "", false, "file is not a database", 1},
      {'d', 2, "", false, "open failed", 0},
      {' ', 0, "", false, "bad schema version 0", 0},
      {' ', 2, "no-such-vfs", false, "no such vfs", 0},
      {' ', 2, "", true, "open failed", 0},
      {'1', 2, "", true, "read-only file has schema version 1, not 2", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.record);
    base::test::ScopedTempDir dir;
    const std::string path = dir.Child("db");
    if (c.file == 'g') {
      std::ofstream(path) << std::string(8192, 'x');
    }
    if (c.file == 'd') {
      std::filesystem::create_directory(path);
    }
    if (c.file == '1') {
      RecordingHelper().OpenOrCreate(path, 1, "", false, nullptr);
    }
    RecordingHelper helper;
    base::test::ScopedLogCapture capture;
    EXPECT_FALSE(helper.OpenOrCreate(path, c.version, c.vfs, c.read_only, &helper));
    EXPECT_EQ(helper.GetDatabase(), nullptr);
    EXPECT_EQ(std::count(helper.calls.begin(), helper.calls.end(), "open"), 0);
    EXPECT_EQ(helper.corruptions, c.corruptions);
    const auto records = capture.records();
    EXPECT_TRUE(std::any_of(records.begin(), records.end(), [&](const auto& r) {
      return r.source == "base_database" && r.text.find(c.record) != std::string::npos;
    }));
  }
}

TEST_F(SQLiteDatabaseTest, StatementsCompileOneStatementBindValuesExactlyAndEndWithClose) {
  RecordingHelper helper;
  ASSERT_TRUE(helper.OpenOrCreate(path_, 2, "", false, nullptr));
  Database db = helper.GetDatabase();
  for (const std::string& bad :
       {std::string("SELEC 1"), std::string(""), std::string(" ; "),
        std::string("SELECT 1; DROP TABLE t"), std::string("SELECT 1\0; DROP TABLE t", 23),
        std::string("SELECT * FROM missing")}) {
    EXPECT_EQ(db->CompileStatement(bad), nullptr) << bad;
  }
  EXPECT_NE(db->CompileStatement("SELECT 1;  \n"), nullptr);

  std::unique_ptr<SQLiteStatement> insert = db->CompileStatement("REPLACE INTO t VALUES (?, ?)");
  ASSERT_NE(insert, nullptr);
  EXPECT_FALSE(insert->BindString(0, "x"));
  EXPECT_FALSE(insert->BindInt64(3, 1));
  const std::string with_nul("a\0b'; --", 8);
  ASSERT_TRUE(insert->BindString(1, with_nul));
  ASSERT_TRUE(insert->BindInt64(2, -9000000000LL));
  EXPECT_TRUE(insert->Execute());
  EXPECT_TRUE(insert->Execute());  // same bindings again: the row is replaced, not added

  std::unique_ptr<SQLiteStatement> select = db->CompileStatement("SELECT k, v, 'x12' FROM t");
  std::unique_ptr<SQLiteCursor> cursor = select->Query();
  select.reset();  // the cursor holds its rows
  insert.reset();
  EXPECT_EQ(cursor->GetColumnString(0), "");  // before the first row
  ASSERT_TRUE(cursor->MoveToNext());
  EXPECT_EQ(cursor->GetColumnCount(), 3);
  EXPECT_EQ(cursor->GetColumnString(0), with_nul);
  EXPECT_EQ(cursor->GetColumnInt64(1), -9000000000LL);
  EXPECT_EQ(cursor->GetColumnString(1), "-9000000000");
  EXPECT_EQ(cursor->GetColumnInt(2), 0);  // text that does not start with a number
  EXPECT_EQ(cursor->GetColumnString(-1), "");
  EXPECT_FALSE(cursor->MoveToNext());
  EXPECT_EQ(cursor->GetColumnString(0), "");  // after the last row

  // A statement that fails while running gives an empty cursor, never null.
  base::test::ScopedLogCapture capture;
  std::unique_ptr<SQLiteStatement> overflow =
      db->CompileStatement("SELECT 1 UNION ALL SELECT abs(-9223372036854775808)");
  ASSERT_NE(overflow, nullptr);
  std::unique_ptr<SQLiteCursor> failed = overflow->Query();
  ASSERT_NE(failed, nullptr);
  EXPECT_FALSE(failed->MoveToNext());
  EXPECT_TRUE(capture.Contains("query failed: integer overflow"));

  // Close ends every use of the handle, its statements' included.
  helper.Close();
  EXPECT_EQ(helper.GetDatabase(), nullptr);
  EXPECT_FALSE(overflow->Execute());
  EXPECT_FALSE(overflow->BindInt64(1, 1));
  EXPECT_EQ(overflow->Query()->GetColumnCount(), 0);
  EXPECT_EQ(db->CompileStatement("SELECT 1"), nullptr);
  EXPECT_FALSE(db->BeginTransaction());
  db->EndTransaction();
  EXPECT_TRUE(capture.Contains("database is closed"));
}

TEST_F(SQLiteDatabaseTest, TransactionsCommitOnlyWhatEveryLevelAgreedOn) {
  // B begin, I insert a row, C commit, R roll back, E end; |result|: the last C or R.
  const struct {
    const char* script;
    bool result;
    int rows;
  } cases[] = {
      {"BICE", true, 1},    {"BIRE", true, 0},      {"BIE", true, 0},
      {"BBICECE", true, 1}, {"BIBIRECE", false, 0}, {"BBIECE", false, 0},
      {"EC", false, 0},     {"ER", false, 0},       {"BICCE", false, 1},
  };
  RecordingHelper helper;
  ASSERT_TRUE(helper.OpenOrCreate(path_, 2, "", false, nullptr));
  Database db = helper.GetDatabase();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    ASSERT_TRUE(Exec(*db, "DELETE FROM t"));
    bool result = true;
    for (const char* op = c.script; *op != '\0'; ++op) {
      if (*op == 'B') {
        db->BeginTransaction();
      }
      if (*op == 'I') {
        Exec(*db, "INSERT INTO t VALUES (hex(randomblob(8)), 1)");
      }
      if (*op == 'C') {
        result = db->CommitTransaction();
      }
      if (*op == 'R') {
        result = db->RollbackTransaction();
      }
      if (*op == 'E') {
        db->EndTransaction();
      }
    }
    EXPECT_EQ(result, c.result);
    // The handle is free again: another thread gets it.
    std::packaged_task<std::string()> count(
        [&] { return QueryText(*db, "SELECT count(*) FROM t"); });
    std::future<std::string> rows = count.get_future();
    std::thread other(std::move(count));
    if (rows.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      other.detach();
      FAIL() << "the handle stayed taken";
    }
    other.join();
    EXPECT_EQ(rows.get(), std::to_string(c.rows));
  }
}

TEST_F(SQLiteDatabaseTest, AWriterThatMeetsAnotherConnectionsLockWaitsThenGivesUp) {
  RecordingHelper holder;
  ASSERT_TRUE(holder.OpenOrCreate(path_, 2, "", false, nullptr));
  Database held = holder.GetDatabase();
  RecordingHelper waiter;
  ASSERT_TRUE(waiter.OpenOrCreate(path_, 2, "", false, &waiter));
  Database db = waiter.GetDatabase();
  db->SetBusyTimeout(50);

  ASSERT_TRUE(held->BeginTransaction());
  base::test::ScopedLogCapture capture;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(db->BeginTransaction());
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
  EXPECT_EQ(waiter.busy_timeouts, 1);
  // Inside the transaction that did not begin nothing runs, not even outside a transaction.
  EXPECT_FALSE(Exec(*db, "INSERT INTO t VALUES ('lost', 1)"));
  EXPECT_TRUE(capture.Contains("statement refused, its transaction did not begin"));
  EXPECT_FALSE(db->CommitTransaction());
  db->EndTransaction();
  held->RollbackTransaction();
  held->EndTransaction();

  // Once the lock is gone, writing works.
  ASSERT_TRUE(db->BeginTransaction());
  EXPECT_TRUE(Exec(*db, "INSERT INTO t VALUES ('k', 1)"));
  EXPECT_TRUE(db->CommitTransaction());
  db->EndTransaction();
}

}  // namespace
}  // namespace base::database
