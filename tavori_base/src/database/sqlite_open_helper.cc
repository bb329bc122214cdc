#include "base/database/sqlite_open_helper.h"

#include <utility>

#include "base/log/log.h"

namespace base::database {
namespace {

constexpr char kLogSource[] = "base_database";

using log::kLevelRefused;

}  // namespace

SQLiteOpenHelper::SQLiteOpenHelper() = default;

SQLiteOpenHelper::~SQLiteOpenHelper() = default;

bool SQLiteOpenHelper::OpenOrCreate(const std::string& path, int version, const std::string& vfs,
                                    bool read_only, SqliteDelegate* delegate) {
  if (version < 1) {
    BASE_LOG(kLevelRefused) << "bad schema version " << version << " for " << path;
    return false;
  }
  std::shared_ptr<SQLiteDatabase> database = SQLiteDatabase::Open(path, vfs, read_only, delegate);
  if (database == nullptr) {
    return false;
  }
  OnConfigure(database);
  int current = 0;
  // Reading the version is the first access to the file's content: a file that is not a database
  // fails here at the latest.
  if (!database->GetVersion(&current)) {
    BASE_LOG(kLevelRefused) << "cannot read the schema version of " << path;
    return false;
  }
  if (current != version) {
    if (read_only) {
      BASE_LOG(kLevelRefused) << "read-only file has schema version " << current << ", not "
                              << version << ": " << path;
      return false;
    }
    if (!BringToVersion(database, version)) {
      BASE_LOG(kLevelRefused) << "cannot bring " << path << " to schema version " << version;
      return false;
    }
  }
  OnOpen(database);
  AutoLock hold(lock_);
  database_ = std::move(database);
  return true;
}

bool SQLiteOpenHelper::BringToVersion(const std::shared_ptr<SQLiteDatabase>& database,
                                      int version) {
  bool ok = database->BeginTransaction();
  int current = 0;
  // Once the write lock is held: another process may have done the same work meanwhile.
  ok = ok && database->GetVersion(&current);
  if (ok && current != version) {
    if (current == 0) {
      OnCreate(database);
    } else if (current < version) {
      OnUpgrade(database, current, version);
    } else {
      OnDowngrade(database, current, version);
    }
    // A file from a newer schema keeps its version: the newer code that wrote it must not take
    // it for an old file and migrate it again.
    if (current < version) {
      ok = database->SetVersion(version);
    }
  }
  if (ok) {
    ok = database->CommitTransaction();
  } else {
    database->RollbackTransaction();
  }
  database->EndTransaction();
  return ok;
}

std::shared_ptr<SQLiteDatabase> SQLiteOpenHelper::GetDatabase() const {
  AutoLock hold(lock_);
  return database_;
}

void SQLiteOpenHelper::Close() {
  std::shared_ptr<SQLiteDatabase> database;
  {
    AutoLock hold(lock_);
    database = std::move(database_);
  }
  if (database != nullptr) {
    database->Close();
  }
}

// The hooks take the handle by value so that an override may keep it; these defaults do not.
// NOLINTNEXTLINE(performance-unnecessary-value-param): the virtual hook's signature
void SQLiteOpenHelper::OnOpen(std::shared_ptr<SQLiteDatabase> /*database*/) {}

// NOLINTNEXTLINE(performance-unnecessary-value-param): the virtual hook's signature
void SQLiteOpenHelper::OnConfigure(std::shared_ptr<SQLiteDatabase> /*database*/) {}

// NOLINTNEXTLINE(performance-unnecessary-value-param): the virtual hook's signature
void SQLiteOpenHelper::OnDowngrade(std::shared_ptr<SQLiteDatabase> /*database*/,
                                   int /*old_version*/, int /*new_version*/) {}

}  // namespace base::database
