// SQLite access: a shared connection handle, compiled statements and cursors over their results.
//
// SQLiteDatabase is one connection to one database file, shared by reference count; it closes
// when the last reference goes, or earlier through Close().  Handles are made by
// SQLiteOpenHelper::OpenOrCreate (sqlite_open_helper.h), which also says how a connection is set
// up (busy timeout, journal, synchronous mode).
//
// Threads.  One handle may be used from several threads at once:
//   - the connection runs in SQLite's serialised threading mode;
//   - on top of that the handle belongs to one thread at a time.  Every call takes it for its
//     own duration, and BeginTransaction takes it until the matching EndTransaction, so another
//     thread's statements wait for the transaction to end instead of running inside it.  Taking
//     is re-entrant, so the owning thread's own calls pass.  Waiting has no limit: a thread inside
//     a transaction must not wait for another thread that uses the same handle.
//   - the mutex behind that ownership is held only for its bookkeeping, never while SQLite runs
//     and never while the delegate is called.
// Statements and cursors are plain objects of the thread that uses them; a statement keeps its
// database alive.
//
// SQL text comes only from the program's own constants; every value is a bound parameter.
//
// Nothing here throws.  Failures are false, null or an empty cursor, together with a record
// (source "base_database", level 3) that carries SQLite's message.

#ifndef BASE_DATABASE_SQLITE_DATABASE_H_
#define BASE_DATABASE_SQLITE_DATABASE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/synchronization/condition_variable.h"
#include "base/synchronization/lock.h"

struct sqlite3;
struct sqlite3_stmt;

namespace base::database {

class SQLiteCursor;
class SQLiteStatement;

// Told about trouble on a database that the caller of a failed call may not be able to judge:
// another connection holding a lock too long, or a damaged file.  It must stay valid as long as
// any reference to the handle it was given for.  Called on the thread whose call failed, after the
// failure, with the handle's mutex not held (the thread may still own its own transaction).
class SqliteDelegate {
 public:
  virtual ~SqliteDelegate() = default;

  // A call waited the whole busy timeout for a lock that another connection held, and failed.
  virtual void OnBusyTimeout(const std::string& /*path*/) {}

  // SQLite found the file damaged or not a database at all.  |error| is SQLite's extended result
  // code (of the SQLITE_CORRUPT or SQLITE_NOTADB family).  The file is left as it is.
  virtual void OnCorruption(const std::string& /*path*/, int /*error*/) {}
};

class SQLiteDatabase : public std::enable_shared_from_this<SQLiteDatabase> {
 public:
  // How long a call waits for a lock held by another connection before it fails.
  static constexpr int kBusyTimeoutMs = 10000;

  ~SQLiteDatabase();
  SQLiteDatabase(const SQLiteDatabase&) = delete;
  SQLiteDatabase& operator=(const SQLiteDatabase&) = delete;

  // Compiles one SQL statement.  Null when the text does not compile, holds no statement or more
  // than one, or the handle is closed.
  std::unique_ptr<SQLiteStatement> CompileStatement(const std::string& sql);

  // Transactions.  Each BeginTransaction must be matched by exactly one EndTransaction on the same
  // thread, whatever the other calls returned; in between, CommitTransaction or RollbackTransaction
  // decides the outcome (EndTransaction without either rolls back).
  //
  // The outermost transaction takes the write lock at once (BEGIN IMMEDIATE), so a writer that
  // meets another connection's lock waits for it (up to kBusyTimeoutMs) at the start rather than
  // failing halfway.  When that fails, BeginTransaction returns false and the statements of the
  // thread refuse to run until EndTransaction.
  //
  // Nested transactions join the outer one: an inner commit only records success, an inner rollback
  // (or an inner end without a decision) makes the outer commit roll back and fail.
  bool BeginTransaction();
  // True when the transaction's changes are stored (for an inner one: when nothing has failed so
  // far).
  bool CommitTransaction();
  bool RollbackTransaction();
  void EndTransaction();

  // Changes how long calls on this handle wait for another connection's lock (at least 0 ms).
  void SetBusyTimeout(int milliseconds);

  // The schema version kept in the file (PRAGMA user_version).
  bool GetVersion(int* version);
  bool SetVersion(int version);

  // Closes the connection now (rolling back an open transaction).  Every later call on this handle,
  // its statements and copies fails with a record.
  void Close();

  const std::string& path() const { return path_; }
  bool read_only() const { return read_only_; }

 private:
  friend class SQLiteOpenHelper;
  friend class SQLiteStatement;

  // Takes the handle for the current thread for the lifetime of the object.
  class Hold {
   public:
    explicit Hold(SQLiteDatabase& database) : database_(database) { database_.Acquire(); }
    ~Hold() { database_.Release(); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

   private:
    SQLiteDatabase& database_;
  };

  // Opens |path| as SQLiteOpenHelper::OpenOrCreate describes and applies the connection settings.
  // Null, with a record, on failure.
  static std::shared_ptr<SQLiteDatabase> Open(const std::string& path, const std::string& vfs,
                                              bool read_only, SqliteDelegate* delegate);

  SQLiteDatabase(sqlite3* connection, std::string path, bool read_only, SqliteDelegate* delegate);

  void Acquire();
  void Release();

  // The rest runs while the current thread holds the handle.
  bool Configure();
  // Runs |sql| to its end; the first column of the first row goes to |first_value| when given.
  // Returns SQLite's result code and, unless told otherwise, writes a record on failure.
  int ExecuteLocked(const char* sql, std::string* first_value, bool log_failure = true);
  // Whether the current thread's transaction could not begin, so its statements must not run (they
  // would run outside any transaction).
  bool StatementsRefusedLocked(const std::string& sql) const;
  void LogFailure(const char* what, int error, const std::string& sql);
  bool ClosedLocked(const std::string& sql);

  // Passes a failure that the delegate cares about on.  Called without |lock_|.
  void Notify(int error);

  sqlite3* connection_;  // null once closed; used only while holding the handle
  const std::string path_;
  const bool read_only_;
  SqliteDelegate* const delegate_;

  Lock lock_;
  ConditionVariable released_;
  std::thread::id owner_ GUARDED_BY(lock_);
  int holds_ GUARDED_BY(lock_) = 0;  // nested takes by |owner_|

  // Transaction state: read and written only by the thread that holds the handle.
  int transaction_depth_ = 0;
  std::vector<bool> decided_;  // per nesting level: Commit or Rollback was called
  bool doomed_ = false;        // an inner level rolled back; the outer commit must fail
  bool begin_failed_ = false;  // BEGIN of the outermost level failed
};

// A compiled statement.  Parameters are numbered from 1.  Execute and Query run the statement from
// the start with the current bindings, which stay for the next run.
class SQLiteStatement {
 public:
  ~SQLiteStatement();
  SQLiteStatement(const SQLiteStatement&) = delete;
  SQLiteStatement& operator=(const SQLiteStatement&) = delete;

  bool BindInt64(int index, int64_t value);
  // Binds the bytes of |value| as text, embedded NUL bytes included.
  bool BindString(int index, const std::string& value);

  // Runs the statement to its end, discarding any rows.  True when it completed.
  bool Execute();

  // Runs the statement and collects all its rows.  Never null: on failure the cursor is empty (and
  // a record says why), so a failed query reads like one without rows.
  std::unique_ptr<SQLiteCursor> Query();

 private:
  friend class SQLiteDatabase;

  SQLiteStatement(std::shared_ptr<SQLiteDatabase> database, sqlite3_stmt* statement,
                  std::string sql);

  const std::shared_ptr<SQLiteDatabase> database_;
  sqlite3_stmt* const statement_;
  const std::string sql_;
};

// The rows of one query, held in memory, so a cursor holds no lock and may outlive its statement
// and database.  Columns are numbered from 0.  Before the first MoveToNext, after the last row and
// for a column that does not exist, the getters return 0 or "".  Values convert as SQLite converts
// them (a text column read as a number gives its leading number).
class SQLiteCursor {
 public:
  ~SQLiteCursor();
  SQLiteCursor(const SQLiteCursor&) = delete;
  SQLiteCursor& operator=(const SQLiteCursor&) = delete;

  // Steps to the next row; false when there is none.
  bool MoveToNext();

  int GetColumnCount() const;
  int GetColumnInt(int column) const;
  int64_t GetColumnInt64(int column) const;
  // The column's bytes, embedded NUL bytes included.
  std::string GetColumnString(int column) const;

 private:
  friend class SQLiteStatement;

  struct Rows;
  explicit SQLiteCursor(std::unique_ptr<Rows> rows);

  std::unique_ptr<Rows> rows_;
  size_t moves_ = 0;  // successful MoveToNext calls: the current row is moves_ - 1
};

}  // namespace base::database

#endif  // BASE_DATABASE_SQLITE_DATABASE_H_
