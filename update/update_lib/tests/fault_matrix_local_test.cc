// The fault matrix, local side: what the host sees and what is left on disk when the download's
// target misbehaves (a full disk, a missing or unwritable directory, a directory in the file's
// place) and when the settings database is locked by another process, damaged, truncated or
// read-only.
//
// Each row drives the real library through its exports, in a process of its own, and records
// itself in the README's table (fault_table.h) once its assertions passed.  Rows that need a
// second identity or a size-limited file system need root: they drop to uid 65534 or mount a
// tmpfs in a private mount namespace, before the library starts its threads, and skip when not
// root.

#include "fault_matrix_local.h"

#include <sched.h>
#include <sqlite3.h>
#include <sys/mount.h>

#include <cstring>
#include <fstream>

#include "update_configuration.h"
#include "update_operation.h"

namespace update_test::fault_matrix {
namespace {

// ---------------------------------------------------------------------------------------------
// Disk: where the download is written.

// A tmpfs of |bytes| at |dir|, in a mount namespace of this process's own (so nothing outside
// sees it).  Needs root and a process without threads yet.
void MountSmallFileSystem(const std::string& dir, size_t bytes) {
  ASSERT_EQ(unshare(CLONE_NEWNS), 0) << std::strerror(errno);
  ASSERT_EQ(mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
  fs::create_directories(dir);
  const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
  ASSERT_EQ(mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()), 0) << std::strerror(errno);
}

// Writes into |path| until the file system is full.
void FillUp(const std::string& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  const std::string block(64 << 10, 'f');
  ssize_t written = 0;
  do {
    written = write(fd, block.data(), block.size());
  } while (written > 0);
  EXPECT_EQ(errno, ENOSPC);
  close(fd);
}

enum class Target { kFullDisk, kMissingDirectory, kUnwritableDirectory, kExistingDirectory };

// Every row's download is accepted and then fails with 5 ("local file").
struct DiskRow {
  const char* name;
  Target target;
  const char* record;  // what the log says of the cause
  fault_table::Row table;
};

const DiskRow kDiskRows[] = {
    {"FullDuringTheDownload",
     Target::kFullDisk,
     "write to setup.exe.part failed: 28\n",
     {"disk", "fills up during the download", "\"download_finish\" with error 5",
      "no file at the target; the partial file removed"}},
    {"TargetDirectoryMissing",
     Target::kMissingDirectory,
     "cannot open directory ",
     {"disk", "the target's directory is missing", "\"download_finish\" with error 5",
      "nothing created"}},
    {"TargetDirectoryNotWritable",
     Target::kUnwritableDirectory,
     ".part: 13\n",
     {"disk", "the target's directory is not writable by the user",
      "\"download_finish\" with error 5", "nothing created"}},
    {"TargetIsADirectory",
     Target::kExistingDirectory,
     ".part: Is a directory\n",
     {"disk", "the target is an existing directory", "\"download_finish\" with error 5",
      "the directory and its files unchanged; the partial file removed"}},
};

void PrintTo(const DiskRow& row, std::ostream* out) { *out << row.name; }

class DiskTest : public FaultMatrixTest, public testing::WithParamInterface<DiskRow> {};

TEST_P(DiskTest, DownloadFailsAndLeavesNothingAtTheTarget) {
  const DiskRow& row = GetParam();
  if (geteuid() != 0 &&
      (row.target == Target::kFullDisk || row.target == Target::kUnwritableDirectory)) {
    GTEST_SKIP() << "needs root: mounts a tmpfs or drops to uid 65534";
  }
  const std::string package = RandomBytes(3 << 20);
  const std::string dir = env_->root() + "/target";
  std::string target = dir + "/setup.exe";
  struct Unmount {
    std::string dir;
    ~Unmount() {
      if (!dir.empty()) {
        umount2(dir.c_str(), MNT_DETACH);
      }
    }
  } unmount;
  switch (row.target) {
    case Target::kFullDisk:
      // Room for the package when it starts, so that the check before the transfer passes.
      MountSmallFileSystem(dir, 4 << 20);
      unmount.dir = dir;
      break;
    case Target::kMissingDirectory:
      target = dir + "/missing/setup.exe";
      break;
    case Target::kUnwritableDirectory:
      fs::create_directories(dir);
      BecomeNobody({dir});
      break;
    case Target::kExistingDirectory:
      fs::create_directories(dir + "/setup.exe");
      std::ofstream(dir + "/setup.exe/inside") << "kept";
      break;
  }
  if (HasFatalFailure()) {
    return;
  }
  const std::set<std::string> before = Listing(dir);
  StartServer();
  if (row.target == Target::kFullDisk) {
    PlannedAnswer stalling;  // until the file system is full
    stalling.body = package;
    stalling.stall_after = 1 << 20;
    server_->SetDefault("/p.exe", stalling);
  } else {
    server_->Serve("/p.exe", package);
  }
  server_->Plan("/check", Respond(200, Offer(package, "/p.exe")));
  ASSERT_EQ(host_->Do(ClientCheck(1, CgiUrl())), 0);
  ASSERT_TRUE(delegate_.WaitFor("cgi_response"));
  ASSERT_EQ(host_->Do(Command("download", 1, {{"download_path", target}})), 0);
  if (row.target == Target::kFullDisk) {
    ASSERT_TRUE(server_->WaitForStall(20s));
    FillUp(dir + "/filler");
    server_->ReleaseStalls();
  }
  const auto finish = delegate_.WaitFor("download_finish");
  ASSERT_TRUE(finish);
  EXPECT_EQ((*finish)["parameters"], (Json{{"err_code", 5}, {"path", target}}));
  EXPECT_TRUE(env_->Logged(row.record)) << row.record;
  std::set<std::string> after = Listing(dir);
  after.erase("filler");
  EXPECT_EQ(after, before);
  if (row.target == Target::kExistingDirectory) {
    EXPECT_EQ(ReadFileToString(target + "/inside"), "kept");
  } else {
    EXPECT_FALSE(fs::exists(target));
  }
  Record(row.table);
}

INSTANTIATE_TEST_SUITE_P(LocalFaults, DiskTest, testing::ValuesIn(kDiskRows), RowName);

// ---------------------------------------------------------------------------------------------
// Configuration: the settings database that remembers the service URL for the update process.

// Child role: takes the write lock of the database file named by the argument, then holds it
// until told to go on (SQLite rolls back when the process ends).
const bool kLockRole = base::test::RunChildRoleIfAsked("lock", [](const std::string& arg) {
  const Helper::Args args = Helper::Parse(arg);
  sqlite3* db = nullptr;
  if (sqlite3_open(args.rest.c_str(), &db) != SQLITE_OK ||
      sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) != SQLITE_OK) {
    return 1;
  }
  Helper::SignalAndWait(args);
  sqlite3_close(db);
  return 0;
});

enum class Db { kLocked, kNotADatabase, kDamaged, kTruncated, kReadOnly };

struct ConfigRow {
  const char* name;
  Db db;
  // The URL the update process finds afterwards: the one the client's check stored (true), or
  // the one stored before the fault by an earlier client.
  bool client_url_kept;
  fault_table::Row table;
};

const ConfigRow kConfigRows[] = {
    {"LockedByAnotherProcess",
     Db::kLocked,
     true,
     {"configuration", "locked by another process for less than the 10 s busy timeout",
      "\"cgi_response\"; the update process then checks at the new URL",
      "the client's URL stored once the lock is released"}},
    {"NotADatabase",
     Db::kNotADatabase,
     true,
     {"configuration", "replaced by bytes that are not a database",
      "\"cgi_response\"; the update process then checks at the new URL",
      "the file set aside as \"<file>.damaged\"; a fresh one holds the new URL"}},
    {"DamagedTable",
     Db::kDamaged,
     true,
     {"configuration", "its table's page overwritten",
      "\"cgi_response\"; the update process then checks at the new URL",
      "the file set aside as \"<file>.damaged\"; a fresh one holds the new URL"}},
    {"Truncated",
     Db::kTruncated,
     true,
     {"configuration", "truncated to its first page",
      "\"cgi_response\"; the update process then checks at the new URL",
      "the file set aside as \"<file>.damaged\"; a fresh one holds the new URL"}},
    {"ReadOnly",
     Db::kReadOnly,
     false,
     {"configuration", "read-only to the user",
      "\"cgi_response\"; the update process checks at the URL stored before",
      "the file unchanged; the new URL not stored (a record says so)"}},
};

void PrintTo(const ConfigRow& row, std::ostream* out) { *out << row.name; }

class ConfigTest : public FaultMatrixTest, public testing::WithParamInterface<ConfigRow> {
 protected:
  static std::string Stored() {
    std::string url;
    UpdateLib::UpdateDatabaseStorage().GetConfiguration(UpdateLib::kCgiUrlKey, url);
    return url;
  }
  std::string DbPath() const {
    return env_->config_dir() + "/Halvern/Tavori/Global/Database/" +
           util::crypto::Md5(std::string(UpdateLib::kConfigurationDbName)) + ".db";
  }
};

TEST_P(ConfigTest, ChecksGoOnAndNoWriteIsLost) {
  const ConfigRow& row = GetParam();
  if (row.db == Db::kReadOnly && geteuid() != 0) {
    GTEST_SKIP() << "needs root: the file belongs to uid 65534, who may not write it";
  }
  const std::string db = DbPath();
  // The client of an earlier run stored its URL; the client's check in this run stores another.
  server_ = std::make_unique<ScriptedServer>();
  const std::string old_url = CgiUrl("old");
  UpdateLib::UpdateDatabaseStorage().SetUpdateConfig(UpdateLib::kCgiUrlKey, old_url);
  ASSERT_EQ(Stored(), old_url);
  switch (row.db) {
    case Db::kLocked:
      break;
    case Db::kNotADatabase:
      std::ofstream(db, std::ios::binary | std::ios::trunc) << RandomBytes(8192);
      break;
    case Db::kDamaged: {
      // Page 2 holds the table's rows.
      std::fstream file(db, std::ios::binary | std::ios::in | std::ios::out);
      file.seekp(4096);
      file << RandomBytes(4096);
      break;
    }
    case Db::kTruncated:
      fs::resize_file(db, 4096);
      break;
    case Db::kReadOnly:
      fs::permissions(db, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
      BecomeNobody();
      break;
  }
  if (HasFatalFailure()) {
    return;
  }
  const std::string before = ReadFileToString(db);
  StartServer();  // the library opens the store; then another process takes the lock
  std::unique_ptr<Helper> lock;
  if (row.db == Db::kLocked) {
    lock = std::make_unique<Helper>("lock", db);
    ASSERT_TRUE(lock->WaitUntilReady());
  }
  server_->Plan("/check", Respond(200, R"({"upgrade_policy":0})"));
  ASSERT_EQ(host_->Do(ClientCheck(1, CgiUrl("new"))), 0);
  ASSERT_TRUE(delegate_.WaitFor("cgi_response"));
  if (lock) {
    EXPECT_EQ(Stored(), old_url) << "written through another process's lock";
    lock->Go();
  }
  if (row.client_url_kept) {
    // The library's write (on its file thread) lands.
    ASSERT_TRUE(
        WaitForChanges(fs::path(db).parent_path(), [&] { return Stored() == CgiUrl("new"); }));
  }
  // The update process's run, in the same process as a host may do it.
  server_->Plan("/check", Respond(200, R"({"upgrade_policy":0})"));
  ASSERT_EQ(
      host_->Do(Command("check_upgrade", 2, {{"app_from", "update_process"}, {"enable_patch", 0}})),
      0);
  ASSERT_TRUE(delegate_.WaitFor("update_finished"));
  const std::string asked = server_->Requests().back().target;
  EXPECT_EQ(asked.find(row.client_url_kept ? "/check?client=new&" : "/check?client=old&"), 0u)
      << asked;
  if (row.db == Db::kReadOnly) {
    EXPECT_TRUE(env_->Logged("db is read-only: key = "));
    EXPECT_EQ(ReadFileToString(db), before);
  } else if (row.db != Db::kLocked) {
    EXPECT_EQ(ReadFileToString(db + ".damaged"), before);
    EXPECT_TRUE(env_->Logged("damaged db set aside as " + db + ".damaged\n"));
  }
  Record(row.table);
}

INSTANTIATE_TEST_SUITE_P(LocalFaults, ConfigTest, testing::ValuesIn(kConfigRows), RowName);

}  // namespace
}  // namespace update_test::fault_matrix
