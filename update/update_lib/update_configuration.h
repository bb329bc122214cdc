// The update configuration store: typed key/value settings in one SQLite file per user.
//
// The file lies at <roaming app data>/Halvern/Tavori/Global/Database/<md5>.db, where <md5> is the
// MD5 text of the database's name "0_update_process_configuration"; every process of the user opens
// the same file.  Table "user_configuration" holds one row per key: "key" (Base64 of the key,
// unique), "value" (Base64 of the value's text form) and "value_type" (1 boolean "1"/"0", 2 string,
// 3 64-bit integer in decimal, 4 double as "%f").
//
// Ownership: UpdateDatabaseStorage owns its UpdateSQLiteOpenHelper; the helper keeps the shared
// database handle and a non-owning pointer back to the store. The handle is set once, while the
// store is being constructed (by the helper's OnOpen), and only read afterwards.
//
// Threads: the store is constructed on one thread and then used from several: reads on the
// host's thread, writes on the file looper.  It has no lock of its own: every operation takes a
// counted reference to the handle for its duration, and the handle keeps one thread's transaction
// apart from another's statements (base/database/sqlite_database.h).  Each Set is one
// transaction, so a reader may see some entries of a multi-entry SetUpdateConfig and not others.
//
// Failures never throw: they are false results and level-1 records of source
// "update_configuration".

#ifndef UPDATE_UPDATE_LIB_UPDATE_CONFIGURATION_H_
#define UPDATE_UPDATE_LIB_UPDATE_CONFIGURATION_H_

#include <memory>
#include <string>

#include "base/database/sqlite_database.h"
#include "base/database/sqlite_open_helper.h"
#include "base/variant/variant.h"

namespace UpdateLib {

// The logical name of the database; the file is named by its MD5 text.
inline constexpr char kConfigurationDbName[] = "0_update_process_configuration";
// The schema version of the table below.
inline constexpr int kConfigurationDbVersion = 2;

class UpdateDatabaseStorage;
class DamageWatch;

// Opens the store's file and carries its reads and writes.  The hooks run inside OpenOrCreate on
// the constructing thread; Replace and Select run on any thread.
class UpdateSQLiteOpenHelper : public base::database::SQLiteOpenHelper {
 public:
  // |owner| receives the schema hooks; it may be null, and then the hooks do nothing.
  explicit UpdateSQLiteOpenHelper(UpdateDatabaseStorage* owner);
  ~UpdateSQLiteOpenHelper() override;

  // Builds the file's path for the database called |name| and opens it (one record on failure).
  // A file that SQLite finds damaged or not a database at all is set aside as "<file>.damaged"
  // (its -wal and -shm removed) and a fresh file takes its place, with a level-1 record: what it
  // held is lost either way, and so later writes are not.  A file that exists but cannot be
  // opened for writing (its mode or its directory's) is opened for reading only, with a level-3
  // record: reads then work and writes fail.
  void OpenOrCreateDb(const std::string& name);

  // Writes the row of |key| with the text form |value| and stored type |type|.
  bool Replace(const std::string& key, const std::string& value, int type);
  // Reads the row of |key| into |result|, which must be null on entry.  False when the key is
  // absent (no record) or the row cannot be read.
  bool Select(const std::string& key, base::variant::Variant* result);

  // A counted reference to the handle; null until the file is open.
  std::shared_ptr<base::database::SQLiteDatabase> database() const { return GetDatabase(); }

 protected:
  void OnCreate(std::shared_ptr<base::database::SQLiteDatabase> database) override;
  void OnOpen(std::shared_ptr<base::database::SQLiteDatabase> database) override;
  void OnConfigure(std::shared_ptr<base::database::SQLiteDatabase> database) override;
  void OnDowngrade(std::shared_ptr<base::database::SQLiteDatabase> database, int old_version,
                   int new_version) override;
  void OnUpgrade(std::shared_ptr<base::database::SQLiteDatabase> database, int old_version,
                 int new_version) override;

 private:
  UpdateDatabaseStorage* const owner_;
  // Told by the handle when SQLite reports damage; outlives every use of the handle that may
  // report (the store's operations end before the store goes).
  const std::unique_ptr<DamageWatch> damage_;
};

class UpdateDatabaseStorage {
 public:
  // Opens (or creates) the user's file.  A failed open leaves a store whose writes fail and whose
  // reads find nothing.
  UpdateDatabaseStorage();
  virtual ~UpdateDatabaseStorage();
  UpdateDatabaseStorage(const UpdateDatabaseStorage&) = delete;
  UpdateDatabaseStorage& operator=(const UpdateDatabaseStorage&) = delete;

  // Stores every entry of the map |params| (key to value), each in its own transaction.  Returns
  // the outcome of the last entry in the map's order (true for an empty map).
  bool SetUpdateConfig(const base::variant::Variant& params);
  // Stores the string |value| under |key|.
  void SetUpdateConfig(const std::string& key, const std::string& value);
  // One typed write (boolean, string, integer or double) in its own transaction.  False, with a
  // level-1 record, when the file is open for reading only.
  bool Set(const std::string& key, const base::variant::Variant& value);

  // |request| is the key as a string, or a map with "key" and "def_value". Places the stored value
  // in |result|, which must be null on entry; false when nothing was placed there (the caller keeps
  // its own default).
  bool GetConfiguration(const base::variant::Variant* request, base::variant::Variant* result);
  // Reads a string: true and |value| replaced when a string is stored under |key|; otherwise
  // false and |value| (the default) unchanged.
  bool GetConfiguration(const std::string& key, std::string& value);

  // A key that SetUpdateConfig writes: not empty and holding a ".".
  static bool IsLegalKey(const std::string& key);

  // Schema hooks, called by the open helper with the handle.
  static void OnCreate(const std::shared_ptr<base::database::SQLiteDatabase>& database);
  void OnOpen(const std::shared_ptr<base::database::SQLiteDatabase>& database);
  void OnDowngrade(const std::shared_ptr<base::database::SQLiteDatabase>& database, int old_version,
                   int new_version);
  static void OnUpgrade(const std::shared_ptr<base::database::SQLiteDatabase>& database,
                        int old_version, int new_version);

  // The stored type code of a Variant type code: 1 to 4 stay, anything else is 0 (with a record).
  static int VariantTypeToLocalType(int type);
  // Rebuilds a value of stored type |type| from its text form into the null |result|.
  static bool ConvertStringToVariantType(int type, const std::string& key, const std::string& text,
                                         base::variant::Variant* result);
  // Creates the table when it is missing; silent on failure.
  static void CreateConfigurationTable(
      const std::shared_ptr<base::database::SQLiteDatabase>& database);

 private:
  std::unique_ptr<UpdateSQLiteOpenHelper> open_helper_;
};

}  // namespace UpdateLib

#endif  // UPDATE_UPDATE_LIB_UPDATE_CONFIGURATION_H_
