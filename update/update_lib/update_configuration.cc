#include "update_configuration.h"

#include <atomic>
#include <charconv>
#include <cstdint>
#include <filesystem>
#include <locale>
#include <sstream>
#include <utility>

#include "base/database/sqlite_sql_builder.h"
#include "base/log/log.h"
#include "base/synchronization/lock.h"
#include "os/folders.h"
#include "os/path.h"
#include "util/crypto/crypto.h"
#include "util/file/file_util.h"
#include "util/stringhelp/stringhelp.h"
#include "value_parsing.h"

namespace UpdateLib {
namespace {

constexpr char kLogSource[] = "update_configuration";

using base::database::SQLiteCursor;
using base::database::SQLiteDatabase;
using base::database::SQLiteSqlBuilder;
using base::database::SQLiteStatement;
using base::log::kLevelFailure;
using base::log::kLevelNote;
using base::log::kLevelRefused;
using base::variant::Variant;

constexpr char kDbExtension[] = ".db";
constexpr char kTable[] = "user_configuration";
constexpr char kColumnKey[] = "key";
constexpr char kColumnValue[] = "value";
constexpr char kColumnValueType[] = "value_type";
constexpr char kRequestKey[] = "key";
constexpr char kRequestDefault[] = "def_value";

// The user's roaming application-data folder followed by "Halvern/Tavori/", as UTF-8; "" when the
// folder is unknown.  Computed once per process (a failed lookup is tried again next time).
std::string GetRootDirectory() {
  static base::Lock mu;
  // A zero first character: not computed yet.
  static wchar_t root[os::kMaxPath] = {};
  base::AutoLock lock(mu);
  if (root[0] == L'\0') {
    os::Result<std::wstring> folder = os::GetRoamingAppDataDirectory();
    if (!folder.ok()) {
      BASE_LOG(kLevelRefused) << "app data folder unknown, error: " << folder.error();
      return {};
    }
    std::wstring path = folder.value();
    if (!os::PathAppend(&path, L"\\Halvern\\Tavori\\")) {
      BASE_LOG(kLevelRefused) << "app data folder too long: " << path;
      return {};
    }
    // PathAppend keeps the result below kMaxPath characters, so the terminator fits.
    path.copy(root, path.size());
    root[path.size()] = L'\0';
  }
  return util::stringhelp::UnicodeToUtf8(root);
}

// "%f" of |value|, independent of the process's locale.
std::string FormatDouble(double value) {
  // The largest double has 309 digits before the point.
  char buffer[400];
  const std::to_chars_result end =
      std::to_chars(buffer, buffer + sizeof(buffer), value, std::chars_format::fixed, 6);
  return std::string(buffer, end.ptr);
}

// Reads a T from the start of |text| by stream extraction in the classic locale; |fallback| when
// the text is not numeric.
template <typename T>
T ReadNumber(const std::string& text, T fallback) {
  if (!IsNumericText(text, true)) {
    return fallback;
  }
  std::istringstream in(text);
  in.imbue(std::locale::classic());
  T value = fallback;
  in >> value;
  return value;
}

// Moves the damaged file at |path| out of the way, with the -wal and -shm files beside it (an old
// write-ahead log must not be replayed into the fresh file).  False when the file stays.
bool SetAside(const std::string& path) {
  namespace fs = std::filesystem;
  const auto native = [](const std::string& text) {
    return fs::path(std::u8string(text.begin(), text.end()));
  };
  std::error_code error;
  fs::rename(native(path), native(path + ".damaged"), error);
  if (error) {
    BASE_LOG(kLevelFailure) << "cannot set the damaged db aside: " << path << ": "
                            << error.message();
    return false;
  }
  fs::remove(native(path + "-wal"), error);
  fs::remove(native(path + "-shm"), error);
  return true;
}

}  // namespace

// Records that SQLite found the file damaged.  Called on whichever thread ran the statement.
class DamageWatch final : public base::database::SqliteDelegate {
 public:
  void OnCorruption(const std::string& /*path*/, int /*error*/) override { damaged_ = true; }
  void Reset() { damaged_ = false; }
  // Whether SQLite reported damage since the last Reset, or finds it now in the pages of
  // |database| (when given).  A check that cannot run (a lock held too long) finds nothing.
  bool Damaged(SQLiteDatabase* database) {
    if (database != nullptr && !damaged_) {
      std::unique_ptr<SQLiteStatement> check = database->CompileStatement("PRAGMA quick_check");
      if (check != nullptr) {
        std::unique_ptr<SQLiteCursor> cursor = check->Query();
        if (cursor != nullptr && cursor->MoveToNext() && cursor->GetColumnString(0) != "ok") {
          damaged_ = true;
        }
      }
    }
    return damaged_;
  }

 private:
  std::atomic<bool> damaged_{false};
};

// ---------------------------------------------------------------------------------------------
// UpdateSQLiteOpenHelper

UpdateSQLiteOpenHelper::UpdateSQLiteOpenHelper(UpdateDatabaseStorage* owner)
    : owner_(owner), damage_(std::make_unique<DamageWatch>()) {}

UpdateSQLiteOpenHelper::~UpdateSQLiteOpenHelper() = default;

void UpdateSQLiteOpenHelper::OpenOrCreateDb(const std::string& name) {
  const std::string root = GetRootDirectory();
  const std::string file_name = util::crypto::Md5(name.data(), name.size()) + kDbExtension;
  if (root.empty()) {
    // Without the folder the path would be relative to whatever the working directory is.
    BASE_LOG(kLevelFailure) << "open/create db failed: " << file_name;
    return;
  }
  const std::string directory =
      util::file::MakeChildDirPath(util::file::MakeChildDirPath(root, "Global"), "Database");
  const std::string path = directory + file_name;
  bool opened = OpenOrCreate(path, kConfigurationDbVersion, "", false, damage_.get());
  if (damage_->Damaged(opened ? GetDatabase().get() : nullptr)) {
    // Another process of the user may have replaced the file meanwhile: only a file still found
    // damaged is set aside.
    Close();
    damage_->Reset();
    opened = OpenOrCreate(path, kConfigurationDbVersion, "", false, damage_.get());
    if (damage_->Damaged(opened ? GetDatabase().get() : nullptr)) {
      Close();
      damage_->Reset();
      opened =
          SetAside(path) && OpenOrCreate(path, kConfigurationDbVersion, "", false, damage_.get());
      if (opened) {
        BASE_LOG(kLevelFailure) << "damaged db set aside as " << path << ".damaged";
      }
    }
  }
  if (opened) {
    return;
  }
  // A file this user may read but not write (its mode, or its directory's) still holds the
  // remembered service URL: keep reading it.
  std::error_code ignored;
  if (std::filesystem::is_regular_file(
          std::filesystem::path(std::u8string(path.begin(), path.end())), ignored) &&
      OpenOrCreate(path, kConfigurationDbVersion, "", true, nullptr)) {
    BASE_LOG(kLevelRefused) << "db opened read-only: " << path;
    return;
  }
  BASE_LOG(kLevelFailure) << "open/create db failed: " << path;
}

void UpdateSQLiteOpenHelper::OnCreate(std::shared_ptr<SQLiteDatabase> database) {
  if (owner_ != nullptr) {
    UpdateDatabaseStorage::OnCreate(database);
  }
}

void UpdateSQLiteOpenHelper::OnOpen(std::shared_ptr<SQLiteDatabase> database) {
  if (owner_ != nullptr) {
    owner_->OnOpen(database);
  }
}

void UpdateSQLiteOpenHelper::OnConfigure(std::shared_ptr<SQLiteDatabase> /*database*/) {}

void UpdateSQLiteOpenHelper::OnDowngrade(std::shared_ptr<SQLiteDatabase> database, int old_version,
                                         int new_version) {
  if (owner_ != nullptr) {
    owner_->OnDowngrade(database, old_version, new_version);
  }
}

void UpdateSQLiteOpenHelper::OnUpgrade(std::shared_ptr<SQLiteDatabase> database, int old_version,
                                       int new_version) {
  if (owner_ != nullptr) {
    UpdateDatabaseStorage::OnUpgrade(database, old_version, new_version);
  }
}

bool UpdateSQLiteOpenHelper::Replace(const std::string& key, const std::string& value, int type) {
  const std::shared_ptr<SQLiteDatabase> database = GetDatabase();
  if (database == nullptr) {
    BASE_LOG(kLevelFailure) << "invalid db: key = " << key;
    return false;
  }
  const std::string columns =
      std::string(kColumnKey) + ", " + kColumnValue + ", " + kColumnValueType;
  const std::string sql = SQLiteSqlBuilder::BuildReplaceSql(kTable, columns, "?, ?, ?");
  bool done = false;
  if (std::unique_ptr<SQLiteStatement> statement = database->CompileStatement(sql)) {
    statement->BindString(1, util::crypto::Encode64(key));
    statement->BindString(2, util::crypto::Encode64(value));
    statement->BindInt64(3, type);
    done = statement->Execute();
  }
  if (!done) {
    BASE_LOG(kLevelFailure) << "sqlite execute failed: key = " << key << ", sql = " << sql;
  }
  return done;
}

bool UpdateSQLiteOpenHelper::Select(const std::string& key, Variant* result) {
  const std::shared_ptr<SQLiteDatabase> database = GetDatabase();
  if (database == nullptr) {
    return false;
  }
  const std::string sql =
      SQLiteSqlBuilder::BuildQuerySql(kTable, std::string(kColumnKey) + " = ?", "*");
  std::unique_ptr<SQLiteStatement> statement = database->CompileStatement(sql);
  if (statement == nullptr) {
    BASE_LOG(kLevelFailure) << "sqlite execute failed: key = " << key;
    return false;
  }
  statement->BindString(1, util::crypto::Encode64(key));
  std::unique_ptr<SQLiteCursor> cursor = statement->Query();
  if (!cursor->MoveToNext()) {
    return false;
  }
  const std::string text = util::crypto::Decode64(cursor->GetColumnString(1));
  const int type = cursor->GetColumnInt(2);
  return UpdateDatabaseStorage::ConvertStringToVariantType(type, key, text, result);
}

// ---------------------------------------------------------------------------------------------
// UpdateDatabaseStorage

UpdateDatabaseStorage::UpdateDatabaseStorage()
    : open_helper_(std::make_unique<UpdateSQLiteOpenHelper>(this)) {
  open_helper_->OpenOrCreateDb(kConfigurationDbName);
}

UpdateDatabaseStorage::~UpdateDatabaseStorage() = default;

bool UpdateDatabaseStorage::SetUpdateConfig(const Variant& params) {
  bool result = true;
  for (const auto& [key, value] : params.AsMap()) {
    if (IsLegalKey(key)) {
      result = Set(key, value);
    } else {
      BASE_LOG(kLevelFailure) << "illegal key: " << key;
      result = false;
    }
  }
  if (!result) {
    BASE_LOG(kLevelFailure) << "set failed: params = " << params.ToString();
  }
  return result;
}

void UpdateDatabaseStorage::SetUpdateConfig(const std::string& key, const std::string& value) {
  Variant params(Variant::Map{});
  params.Set(key, Variant(value));
  SetUpdateConfig(params);
}

bool UpdateDatabaseStorage::Set(const std::string& key, const Variant& value) {
  const std::shared_ptr<SQLiteDatabase> database = open_helper_->database();
  if (database == nullptr) {
    BASE_LOG(kLevelFailure) << "db is null";
    return false;
  }
  if (database->read_only()) {
    BASE_LOG(kLevelFailure) << "db is read-only: key = " << key;
    return false;
  }
  const int type = VariantTypeToLocalType(value.type());
  database->BeginTransaction();
  bool written = false;
  std::string text;
  bool supported = true;
  switch (value.type()) {
    case base::variant::kTypeBoolean:
      text = value.AsBoolean() ? "1" : "0";
      break;
    case base::variant::kTypeString:
      // Up to the first NUL byte.
      text = value.AsCStr();
      break;
    case base::variant::kTypeInteger:
      text = std::to_string(value.AsInteger());
      break;
    case base::variant::kTypeDouble:
      text = FormatDouble(value.AsDouble());
      break;
    default:
      supported = false;
      break;
  }
  if (supported) {
    written = open_helper_->Replace(key, text, type);
  }
  if (written) {
    // A write counts only once it is committed: true must mean stored.
    written = database->CommitTransaction();
  } else {
    database->RollbackTransaction();
  }
  database->EndTransaction();
  return written;
}

bool UpdateDatabaseStorage::GetConfiguration(const Variant* request, Variant* result) {
  if (request == nullptr || result == nullptr) {
    BASE_LOG(kLevelFailure) << "param is null.";
    return false;
  }
  std::string key;
  bool default_is_null;
  switch (request->type()) {
    case base::variant::kTypeMap:
      key = request->GetString(kRequestKey);
      default_is_null = request->Get(kRequestDefault).IsNull();
      break;
    case base::variant::kTypeString:
      // The result itself holds the default.
      key = request->AsStr();
      default_is_null = result->IsNull();
      break;
    default:
      BASE_LOG(kLevelFailure) << "illegal param type: " << request->ToString();
      return false;
  }
  if (default_is_null) {
    BASE_LOG(kLevelNote) << "null def value: key = " << key;
  }
  return open_helper_->Select(key, result);
}

bool UpdateDatabaseStorage::GetConfiguration(const std::string& key, std::string& value) {
  Variant request(Variant::Map{});
  request.Set(kRequestKey, Variant(key));
  request.Set(kRequestDefault, Variant(value));
  Variant result;
  if (GetConfiguration(&request, &result) && result.type() == base::variant::kTypeString) {
    value = result.AsStr();
    return true;
  }
  return false;
}

bool UpdateDatabaseStorage::IsLegalKey(const std::string& key) {
  return !key.empty() && key.find('.') != std::string::npos;
}

void UpdateDatabaseStorage::OnCreate(const std::shared_ptr<SQLiteDatabase>& database) {
  CreateConfigurationTable(database);
}

void UpdateDatabaseStorage::OnOpen(const std::shared_ptr<SQLiteDatabase>& /*database*/) {}

void UpdateDatabaseStorage::OnDowngrade(const std::shared_ptr<SQLiteDatabase>& /*database*/,
                                        int /*old_version*/, int /*new_version*/) {}

void UpdateDatabaseStorage::OnUpgrade(const std::shared_ptr<SQLiteDatabase>& database,
                                      int /*old_version*/, int /*new_version*/) {
  // The table of every earlier version is the same; only a missing one is created.
  OnCreate(database);
}

int UpdateDatabaseStorage::VariantTypeToLocalType(int type) {
  switch (type) {
    case base::variant::kTypeBoolean:
    case base::variant::kTypeString:
    case base::variant::kTypeInteger:
    case base::variant::kTypeDouble:
      return type;
    default:
      BASE_LOG(kLevelFailure) << "invalid type: type = " << type;
      return 0;
  }
}

bool UpdateDatabaseStorage::ConvertStringToVariantType(int type, const std::string& key,
                                                       const std::string& text, Variant* result) {
  if (result == nullptr) {
    return false;
  }
  if (!result->IsNull()) {
    BASE_LOG(kLevelFailure) << "result variant type incorrect: key = " << key;
    return false;
  }
  Variant value;
  switch (type) {
    case base::variant::kTypeBoolean:
      value = Variant(ReadNumber<bool>(text, false));
      break;
    case base::variant::kTypeString:
      value = Variant(text);
      break;
    case base::variant::kTypeInteger:
      value = Variant(ReadNumber<int64_t>(text, 0));
      break;
    case base::variant::kTypeDouble:
      value = Variant(ReadNumber<double>(text, 0.0), false);
      break;
    default:
      BASE_LOG(kLevelFailure) << "invalid type: key = " << key << ", type = " << type;
      return false;
  }
  *result = std::move(value);
  return true;
}

void UpdateDatabaseStorage::CreateConfigurationTable(
    const std::shared_ptr<SQLiteDatabase>& database) {
  if (database == nullptr) {
    return;
  }
  const std::string column_definitions = std::string(kColumnKey) + " TEXT NOT NULL, " +
                                         kColumnValue + " TEXT, " + kColumnValueType +
                                         " INTEGER NOT NULL";
  const std::string sql =
      SQLiteSqlBuilder::BuildCreateTableSqlIfNotExists(kTable, column_definitions, kColumnKey);
  if (std::unique_ptr<SQLiteStatement> statement = database->CompileStatement(sql)) {
    statement->Execute();
  }
}

}  // namespace UpdateLib
