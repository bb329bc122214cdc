// Opens or creates a database file and brings its schema to the version the program expects.
//
// A subclass supplies the schema through the hooks; OpenOrCreate calls them in this order:
//   1. OnConfigure, right after the connection is set up: the place for the subclass's own
//      pragmas.  No transaction is open.
//   2. When the file's schema version (PRAGMA user_version) differs from the version asked for,
//      in one write transaction: OnCreate for a file without a schema (version 0), OnUpgrade for
//      an older version, OnDowngrade for a newer one; then, unless the file was newer, the file's
//      version is set to the one asked for, and the transaction is committed.  A newer file keeps
//      its version so that the newer code that wrote it does not migrate it again.  The version is
//      read again once the write lock is held, so when another process has just done the same work,
//      no hook runs.
//   3. OnOpen, outside any transaction.
// The hooks run on the thread that called OpenOrCreate.  During step 2 that thread owns the
// handle's transaction: statements of the hook run inside it, while other threads that got hold
// of the handle wait.  A hook must therefore not wait for another thread that uses the handle.
// The hooks have no result: a hook that fails leaves its schema incomplete, and the statements
// that need it fail later.
//
// Connection settings, applied before OnConfigure:
//   - busy timeout of SQLiteDatabase::kBusyTimeoutMs: several processes open the same file (the
//     client and its update process), and a call that meets another's lock waits for it;
//   - journal_mode=WAL: a reader and a writer work at the same time;
//   - synchronous=FULL: a commit that returned is on disk, so it survives the process (or the
//     machine) going down right after;
//   - SQLite's serialised threading mode (see sqlite_database.h for the handle's own lock).
//
// Threads: OpenOrCreate and Close are called by the helper's owner, one call at a time;
// GetDatabase may be called from any thread.  |database_| is guarded by |lock_|, which is never
// held while a hook runs.  The helper holds the only long-lived reference it hands out: a
// subclass reads the handle through GetDatabase (or the hook's argument while the hook runs)
// instead of keeping a copy of its own, so that Close leaves no reference behind.

#ifndef BASE_DATABASE_SQLITE_OPEN_HELPER_H_
#define BASE_DATABASE_SQLITE_OPEN_HELPER_H_

#include <memory>
#include <string>

#include "base/database/sqlite_database.h"

namespace base::database {

class SQLiteOpenHelper {
 public:
  SQLiteOpenHelper();
  // Drops the helper's reference to the handle; the connection closes when no copy is left.
  virtual ~SQLiteOpenHelper();
  SQLiteOpenHelper(const SQLiteOpenHelper&) = delete;
  SQLiteOpenHelper& operator=(const SQLiteOpenHelper&) = delete;

  // Opens the database file at |path| (UTF-8; its directory must exist), creating it when it is
  // missing, and brings it to schema |version| (1 or more) as described above.
  //   |vfs|: the name of the SQLite VFS to open the file with, "" for SQLite's default.
  //   |read_only|: open an existing file for reading only.  Nothing is created, no connection
  //     setting that writes is applied, and a file whose version differs from |version| is
  //     refused (its schema cannot be changed).  A file in WAL mode needs a -shm index beside it;
  //     when none is there and none can be made (a directory this user may not write), the file
  //     is read as it is on disk, without locks (SQLite's "immutable"): no writer was at work
  //     when it was opened (a writer keeps its -wal and -shm files beside the file while it has
  //     it open), and changes that a later writer makes are not seen.
  //   |delegate|: told about lock timeouts and damaged files on the handle, or null.
  // True when the file is open and OnOpen has run; the handle then replaces any earlier one.
  // False, with a record, when the file cannot be opened or written (no permission, a directory
  // in its place), is not a database, or cannot be brought to |version|; the earlier handle, if
  // any, stays.
  virtual bool OpenOrCreate(const std::string& path, int version, const std::string& vfs,
                            bool read_only, SqliteDelegate* delegate);
  // The handle of the last successful OpenOrCreate, null before one or after Close.
  virtual std::shared_ptr<SQLiteDatabase> GetDatabase() const;
  // Closes the connection at once (every copy of the handle then fails) and forgets it.
  virtual void Close();

 protected:
  // A file without a schema: create it.
  virtual void OnCreate(std::shared_ptr<SQLiteDatabase> database) = 0;
  // The database is ready; the handle is not yet returned by GetDatabase.
  virtual void OnOpen(std::shared_ptr<SQLiteDatabase> database);
  // The connection is set up; apply the subclass's own settings.
  virtual void OnConfigure(std::shared_ptr<SQLiteDatabase> database);
  // The file's schema is newer than this program's.  Does nothing by default.
  virtual void OnDowngrade(std::shared_ptr<SQLiteDatabase> database, int old_version,
                           int new_version);
  // The file's schema is older than this program's: migrate it.
  virtual void OnUpgrade(std::shared_ptr<SQLiteDatabase> database, int old_version,
                         int new_version) = 0;

 private:
  // Step 2 of the order above.  True when the file is at |version| afterwards.
  bool BringToVersion(const std::shared_ptr<SQLiteDatabase>& database, int version);

  mutable Lock lock_;
  std::shared_ptr<SQLiteDatabase> database_ GUARDED_BY(lock_);
};

}  // namespace base::database

#endif  // BASE_DATABASE_SQLITE_OPEN_HELPER_H_
