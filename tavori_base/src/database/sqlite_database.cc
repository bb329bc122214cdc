#include "base/database/sqlite_database.h"

#include <sqlite3.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <utility>

#include "base/log/log.h"

namespace base::database {
namespace {

constexpr char kLogSource[] = "base_database";

using log::kLevelRefused;

// The unused rest of a compiled text: blanks and semicolons only.
bool IsEmptyTail(const char* tail) {
  for (; tail != nullptr && *tail != '\0'; ++tail) {
    if (*tail != ';' && *tail != ' ' && *tail != '\t' && *tail != '\n' && *tail != '\r') {
      return false;
    }
  }
  return true;
}

// A "file:" URI for |path| that opens it immutable: SQLite then reads the file as it is, without
// locks and without the WAL files.  Every byte outside the unreserved set is percent-encoded, so
// "?", "#" and "%" in the path keep their meaning as part of it; an absolute path gets an empty
// authority so that a leading "//" stays part of the path.
std::string ImmutableUri(const std::string& path) {
  std::string uri = !path.empty() && path[0] == '/' ? "file://" : "file:";
  for (const char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) || std::strchr("/-._~", c) != nullptr) {
      uri.push_back(c);
    } else {
      char escape[4];
      std::snprintf(escape, sizeof(escape), "%%%02X", byte);
      uri += escape;
    }
  }
  return uri + "?immutable=1";
}

// Opens |name| with |flags|; null, with a record naming |path|, on failure.
sqlite3* OpenConnection(const std::string& name, const std::string& path, const std::string& vfs,
                        int flags) {
  sqlite3* connection = nullptr;
  const int error =
      sqlite3_open_v2(name.c_str(), &connection, flags, vfs.empty() ? nullptr : vfs.c_str());
  if (error != SQLITE_OK) {
    BASE_LOG(kLevelRefused) << "open failed: " << path << ", error: "
                            << (connection != nullptr ? sqlite3_errmsg(connection)
                                                      : sqlite3_errstr(error))
                            << " (" << error << ")";
    // A failed open still hands out a connection object to release.
    sqlite3_close_v2(connection);
    return nullptr;
  }
  return connection;
}

// Whether the read-only |connection|, not yet shared, can read its file in place; false when the
// file is in WAL mode and no -shm index can be opened or made beside it.  Any other failure (a
// damaged file, a lock) is left for the caller's first statement to report.
bool WalReadable(sqlite3* connection) {
  const int error = sqlite3_exec(connection, "PRAGMA user_version", nullptr, nullptr, nullptr);
  return error != SQLITE_READONLY_DIRECTORY && (error & 0xFF) != SQLITE_CANTOPEN;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// SQLiteDatabase

std::shared_ptr<SQLiteDatabase> SQLiteDatabase::Open(const std::string& path,
                                                     const std::string& vfs, bool read_only,
                                                     SqliteDelegate* delegate) {
  if (sqlite3_threadsafe() == 0) {
    BASE_LOG(kLevelRefused) << "sqlite is built without thread safety: " << path;
    return nullptr;
  }
  const int flags =
      (read_only ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) |
      SQLITE_OPEN_FULLMUTEX | SQLITE_OPEN_EXRESCODE;
  sqlite3* connection = OpenConnection(path, path, vfs, flags);
  if (connection == nullptr) {
    return nullptr;
  }
  if (read_only && !WalReadable(connection)) {
    // A WAL file can be read only through its -shm index, which a reader creates when it is
    // missing; in a directory this user may not write, with no -wal and -shm left by a writer
    // (the last connection removes them), it cannot.  Then nobody is writing, and the file as it
    // is on disk is the whole database.
    BASE_LOG(kLevelRefused) << "no WAL index can be made beside the read-only file, reading it as "
                               "it is: "
                            << path;
    sqlite3_close_v2(connection);
    connection = OpenConnection(ImmutableUri(path), path, vfs, flags | SQLITE_OPEN_URI);
    if (connection == nullptr) {
      return nullptr;
    }
  }
  std::shared_ptr<SQLiteDatabase> database(
      new SQLiteDatabase(connection, path, read_only, delegate));
  bool configured;
  {
    Hold hold(*database);
    configured = database->Configure();
  }
  return configured ? database : nullptr;
}

SQLiteDatabase::SQLiteDatabase(sqlite3* connection, std::string path, bool read_only,
                               SqliteDelegate* delegate)
    : connection_(connection), path_(std::move(path)), read_only_(read_only), delegate_(delegate) {}

SQLiteDatabase::~SQLiteDatabase() {
  // Statements keep their database alive, so none is left; close_v2 copes either way.
  sqlite3_close_v2(connection_);
}

bool SQLiteDatabase::Configure() {
  sqlite3_busy_timeout(connection_, kBusyTimeoutMs);
  if (read_only_) {
    return true;
  }
  // SQLite falls back to reading only when the file cannot be written; a caller that asked for
  // writing must learn that now rather than at its first write.
  if (sqlite3_db_readonly(connection_, "main") == 1) {
    BASE_LOG(kLevelRefused) << "file is not writable: " << path_;
    return false;
  }
  // Switching a new file to WAL needs the file to itself.  When another process is setting up the
  // same file, SQLite reports the lock at once rather than calling the busy handler (waiting could
  // deadlock inside SQLite), so the switch is retried here for as long as a busy wait lasts.
  std::string mode;
  int error;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
  while ((error = ExecuteLocked("PRAGMA journal_mode=WAL", &mode, false)) != SQLITE_OK &&
         (error & 0xFF) == SQLITE_BUSY && std::chrono::steady_clock::now() < deadline) {
    sqlite3_sleep(5);
  }
  if (error != SQLITE_OK) {
    LogFailure("statement failed", error, "PRAGMA journal_mode=WAL");
  } else if (mode != "wal") {
    // A VFS without shared memory keeps its own journal; the database still works.
    BASE_LOG(kLevelRefused) << "journal mode stays " << mode << ": " << path_;
  }
  if (error == SQLITE_OK) {
    error = ExecuteLocked("PRAGMA synchronous=FULL", nullptr);
  }
  if (error != SQLITE_OK) {
    Notify(error);
    return false;
  }
  return true;
}

void SQLiteDatabase::Acquire() {
  AutoLock hold(lock_);
  const std::thread::id self = std::this_thread::get_id();
  if (holds_ > 0 && owner_ == self) {
    ++holds_;
    return;
  }
  while (holds_ != 0) {
    released_.Wait(lock_);
  }
  owner_ = self;
  holds_ = 1;
}

void SQLiteDatabase::Release() {
  {
    AutoLock hold(lock_);
    if (--holds_ > 0) {
      return;
    }
    owner_ = std::thread::id();
  }
  released_.Signal();
}

int SQLiteDatabase::ExecuteLocked(const char* sql, std::string* first_value, bool log_failure) {
  if (ClosedLocked(sql)) {
    return SQLITE_MISUSE;
  }
  sqlite3_stmt* statement = nullptr;
  int error = sqlite3_prepare_v2(connection_, sql, -1, &statement, nullptr);
  if (error == SQLITE_OK) {
    bool first_row = true;
    while ((error = sqlite3_step(statement)) == SQLITE_ROW) {
      if (first_row && first_value != nullptr) {
        const unsigned char* text = sqlite3_column_text(statement, 0);
        *first_value = text != nullptr ? reinterpret_cast<const char*>(text) : "";
      }
      first_row = false;
    }
    if (error == SQLITE_DONE) {
      error = SQLITE_OK;
    }
  }
  if (error != SQLITE_OK && log_failure) {
    LogFailure("statement failed", error, sql);
  }
  sqlite3_finalize(statement);
  return error;
}

bool SQLiteDatabase::StatementsRefusedLocked(const std::string& sql) const {
  if (transaction_depth_ > 0 && begin_failed_) {
    BASE_LOG(kLevelRefused) << "statement refused, its transaction did not begin: " << sql;
    return true;
  }
  return false;
}

bool SQLiteDatabase::ClosedLocked(const std::string& sql) {
  if (connection_ == nullptr) {
    BASE_LOG(kLevelRefused) << "database is closed: " << path_ << ", sql = " << sql;
    return true;
  }
  return false;
}

void SQLiteDatabase::LogFailure(const char* what, int error, const std::string& sql) {
  BASE_LOG(kLevelRefused) << what << ": " << sqlite3_errmsg(connection_) << " (" << error
                          << "), sql = " << sql << ", file = " << path_;
}

void SQLiteDatabase::Notify(int error) {
  if (delegate_ == nullptr) {
    return;
  }
  switch (error & 0xFF) {
    case SQLITE_BUSY:
      delegate_->OnBusyTimeout(path_);
      break;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      delegate_->OnCorruption(path_, error);
      break;
    default:
      break;
  }
}

std::unique_ptr<SQLiteStatement> SQLiteDatabase::CompileStatement(const std::string& sql) {
  std::unique_ptr<SQLiteStatement> compiled;
  int error = SQLITE_OK;
  {
    Hold hold(*this);
    if (ClosedLocked(sql)) {
      return nullptr;
    }
    sqlite3_stmt* statement = nullptr;
    const char* tail = nullptr;
    // The text with its terminator, so that SQLite need not copy it.
    error = sqlite3_prepare_v3(connection_, sql.c_str(), static_cast<int>(sql.size() + 1), 0,
                               &statement, &tail);
    if (error != SQLITE_OK) {
      LogFailure("compile failed", error, sql);
    } else if (statement == nullptr) {
      BASE_LOG(kLevelRefused) << "no statement in: " << sql;
    } else if (!IsEmptyTail(tail) || std::strlen(sql.c_str()) != sql.size()) {
      BASE_LOG(kLevelRefused) << "more than one statement in: " << sql;
      sqlite3_finalize(statement);
    } else {
      compiled.reset(new SQLiteStatement(shared_from_this(), statement, sql));
    }
  }
  Notify(error);
  return compiled;
}

bool SQLiteDatabase::BeginTransaction() {
  // Released by the matching EndTransaction.
  Acquire();
  ++transaction_depth_;
  decided_.push_back(false);
  if (transaction_depth_ > 1) {
    return !doomed_ && !begin_failed_;
  }
  doomed_ = false;
  begin_failed_ = false;
  const int error = ExecuteLocked("BEGIN IMMEDIATE", nullptr);
  if (error != SQLITE_OK) {
    begin_failed_ = true;
    Notify(error);
    return false;
  }
  return true;
}

bool SQLiteDatabase::CommitTransaction() {
  int error = SQLITE_OK;
  bool committed = false;
  {
    Hold hold(*this);
    if (transaction_depth_ == 0 || decided_.back()) {
      BASE_LOG(kLevelRefused) << "commit without an open transaction: " << path_;
      return false;
    }
    decided_.back() = true;
    if (transaction_depth_ > 1) {
      return !doomed_ && !begin_failed_;
    }
    if (begin_failed_ || ClosedLocked("COMMIT")) {
      return false;
    }
    if (doomed_) {
      if (sqlite3_get_autocommit(connection_) == 0) {
        ExecuteLocked("ROLLBACK", nullptr);
      }
      return false;
    }
    error = ExecuteLocked("COMMIT", nullptr);
    committed = error == SQLITE_OK;
    // A failed COMMIT leaves the transaction open; some errors have already rolled it back.
    if (!committed && sqlite3_get_autocommit(connection_) == 0) {
      ExecuteLocked("ROLLBACK", nullptr);
    }
  }
  Notify(error);
  return committed;
}

bool SQLiteDatabase::RollbackTransaction() {
  Hold hold(*this);
  if (transaction_depth_ == 0 || decided_.back()) {
    BASE_LOG(kLevelRefused) << "rollback without an open transaction: " << path_;
    return false;
  }
  decided_.back() = true;
  if (transaction_depth_ > 1) {
    doomed_ = true;
    return true;
  }
  if (begin_failed_ || connection_ == nullptr) {
    return true;
  }
  // Some failures (a full disk, a lost lock) roll back on their own.
  if (sqlite3_get_autocommit(connection_) != 0) {
    return true;
  }
  return ExecuteLocked("ROLLBACK", nullptr) == SQLITE_OK;
}

void SQLiteDatabase::EndTransaction() {
  {
    Hold hold(*this);
    if (transaction_depth_ == 0) {
      BASE_LOG(kLevelRefused) << "end without an open transaction: " << path_;
      return;
    }
    if (!decided_.back()) {
      RollbackTransaction();
    }
    decided_.pop_back();
    if (--transaction_depth_ == 0) {
      doomed_ = false;
      begin_failed_ = false;
    }
  }
  // The take of BeginTransaction.
  Release();
}

void SQLiteDatabase::SetBusyTimeout(int milliseconds) {
  Hold hold(*this);
  if (connection_ != nullptr) {
    sqlite3_busy_timeout(connection_, milliseconds > 0 ? milliseconds : 0);
  }
}

bool SQLiteDatabase::GetVersion(int* version) {
  std::unique_ptr<SQLiteStatement> statement = CompileStatement("PRAGMA user_version");
  if (statement == nullptr) {
    return false;
  }
  std::unique_ptr<SQLiteCursor> cursor = statement->Query();
  if (!cursor->MoveToNext()) {
    return false;
  }
  *version = cursor->GetColumnInt(0);
  return true;
}

bool SQLiteDatabase::SetVersion(int version) {
  // A pragma takes no bound parameter; the text holds nothing but a formatted integer.
  std::unique_ptr<SQLiteStatement> statement =
      CompileStatement("PRAGMA user_version = " + std::to_string(version));
  return statement != nullptr && statement->Execute();
}

void SQLiteDatabase::Close() {
  Hold hold(*this);
  if (connection_ == nullptr) {
    return;
  }
  // Statements that are still alive keep the connection as a zombie until they are finalised; they
  // refuse to run because |connection_| is null.
  sqlite3_close_v2(connection_);
  connection_ = nullptr;
}

// ---------------------------------------------------------------------------------------------
// SQLiteStatement

SQLiteStatement::SQLiteStatement(std::shared_ptr<SQLiteDatabase> database, sqlite3_stmt* statement,
                                 std::string sql)
    : database_(std::move(database)), statement_(statement), sql_(std::move(sql)) {}

SQLiteStatement::~SQLiteStatement() {
  SQLiteDatabase::Hold hold(*database_);
  sqlite3_finalize(statement_);
}

bool SQLiteStatement::BindInt64(int index, int64_t value) {
  SQLiteDatabase::Hold hold(*database_);
  if (database_->ClosedLocked(sql_)) {
    return false;
  }
  const int error = sqlite3_bind_int64(statement_, index, value);
  if (error != SQLITE_OK) {
    database_->LogFailure("bind failed", error, sql_);
    return false;
  }
  return true;
}

bool SQLiteStatement::BindString(int index, const std::string& value) {
  SQLiteDatabase::Hold hold(*database_);
  if (database_->ClosedLocked(sql_)) {
    return false;
  }
  const int error = sqlite3_bind_text64(statement_, index, value.data(), value.size(),
                                        SQLITE_TRANSIENT, SQLITE_UTF8);
  if (error != SQLITE_OK) {
    database_->LogFailure("bind failed", error, sql_);
    return false;
  }
  return true;
}

bool SQLiteStatement::Execute() {
  int error;
  {
    SQLiteDatabase::Hold hold(*database_);
    if (database_->ClosedLocked(sql_) || database_->StatementsRefusedLocked(sql_)) {
      return false;
    }
    sqlite3_reset(statement_);
    while ((error = sqlite3_step(statement_)) == SQLITE_ROW) {
    }
    if (error != SQLITE_DONE) {
      database_->LogFailure("execute failed", error, sql_);
    }
    sqlite3_reset(statement_);
  }
  database_->Notify(error);
  return error == SQLITE_DONE;
}

// ---------------------------------------------------------------------------------------------
// SQLiteCursor

struct SQLiteCursor::Rows {
  Rows() = default;
  Rows(const Rows&) = delete;
  Rows& operator=(const Rows&) = delete;
  ~Rows() {
    for (std::vector<sqlite3_value*>& row : rows) {
      for (sqlite3_value* value : row) {
        sqlite3_value_free(value);
      }
    }
  }

  // Copies of the column values, independent of the statement and the connection.
  std::vector<std::vector<sqlite3_value*>> rows;
};

std::unique_ptr<SQLiteCursor> SQLiteStatement::Query() {
  auto rows = std::make_unique<SQLiteCursor::Rows>();
  int error;
  {
    SQLiteDatabase::Hold hold(*database_);
    if (database_->ClosedLocked(sql_) || database_->StatementsRefusedLocked(sql_)) {
      return std::unique_ptr<SQLiteCursor>(new SQLiteCursor(std::move(rows)));
    }
    sqlite3_reset(statement_);
    while ((error = sqlite3_step(statement_)) == SQLITE_ROW) {
      const int columns = sqlite3_column_count(statement_);
      std::vector<sqlite3_value*>& row = rows->rows.emplace_back();
      for (int i = 0; i < columns && error == SQLITE_ROW; ++i) {
        sqlite3_value* copy = sqlite3_value_dup(sqlite3_column_value(statement_, i));
        if (copy == nullptr) {
          error = SQLITE_NOMEM;
        } else {
          row.push_back(copy);
        }
      }
      if (error != SQLITE_ROW) {
        break;
      }
    }
    if (error != SQLITE_DONE) {
      database_->LogFailure("query failed", error, sql_);
      // All rows or none: a partial result would read like a complete one.
      rows = std::make_unique<SQLiteCursor::Rows>();
    }
    sqlite3_reset(statement_);
  }
  database_->Notify(error);
  return std::unique_ptr<SQLiteCursor>(new SQLiteCursor(std::move(rows)));
}

SQLiteCursor::SQLiteCursor(std::unique_ptr<Rows> rows) : rows_(std::move(rows)) {}

SQLiteCursor::~SQLiteCursor() = default;

bool SQLiteCursor::MoveToNext() {
  if (moves_ >= rows_->rows.size()) {
    moves_ = rows_->rows.size() + 1;
    return false;
  }
  ++moves_;
  return true;
}

namespace {

// The value at |column| of the current row, or null.
sqlite3_value* ValueAt(const std::vector<std::vector<sqlite3_value*>>& rows, size_t moves,
                       int column) {
  if (moves == 0 || moves > rows.size()) {
    return nullptr;
  }
  const std::vector<sqlite3_value*>& row = rows[moves - 1];
  if (column < 0 || static_cast<size_t>(column) >= row.size()) {
    return nullptr;
  }
  return row[static_cast<size_t>(column)];
}

}  // namespace

int SQLiteCursor::GetColumnCount() const {
  return rows_->rows.empty() ? 0 : static_cast<int>(rows_->rows.front().size());
}

int SQLiteCursor::GetColumnInt(int column) const {
  sqlite3_value* value = ValueAt(rows_->rows, moves_, column);
  return value != nullptr ? sqlite3_value_int(value) : 0;
}

int64_t SQLiteCursor::GetColumnInt64(int column) const {
  sqlite3_value* value = ValueAt(rows_->rows, moves_, column);
  return value != nullptr ? sqlite3_value_int64(value) : 0;
}

std::string SQLiteCursor::GetColumnString(int column) const {
  sqlite3_value* value = ValueAt(rows_->rows, moves_, column);
  if (value == nullptr) {
    return {};
  }
  // Text first, then its length in bytes, as SQLite asks.
  const unsigned char* text = sqlite3_value_text(value);
  const int size = sqlite3_value_bytes(value);
  return text != nullptr ? std::string(reinterpret_cast<const char*>(text), size) : std::string();
}

}  // namespace base::database
