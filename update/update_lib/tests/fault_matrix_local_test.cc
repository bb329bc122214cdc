// The fault matrix, local side: what the host sees and what is left on disk when the machine
// rather than the network misbehaves (a full disk, an unusable target, a configuration database
// that is locked, damaged or read-only, an installer service that is missing, stopped, killed or
// slow) and when the host itself calls back from inside events or from eight threads at once.
//
// Each row drives the real library through its exports, in a process of its own, and records
// itself in the README's table (fault_table.h) once its assertions passed.  Rows that need a
// second identity or a size-limited file system need root: they drop to uid 65534 or mount a
// tmpfs in a private mount namespace, before any thread starts, and skip when not root.

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sqlite3.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <thread>

#include "base/test/child_process.h"
#include "base/test/file_contents.h"
#include "fault_table.h"
#include "installer_service/test/installers.h"
#include "library_host.h"
#include "os/com.h"
#include "os/installer_protocol.h"
#include "tavorisdk/test/scripted_server.h"
#include "update_configuration.h"
#include "update_operation.h"
#include "util/crypto/crypto.h"

namespace update_test {
namespace {

namespace fs = std::filesystem;
using base::test::RandomBytes;
using base::test::ReadFileToString;
using tavorisdk::test::PlannedAnswer;
using tavorisdk::test::Respond;
using tavorisdk::test::ScriptedServer;

constexpr uid_t kNobody = 65534;

constexpr int Elevated(os::com::HResult hresult) {
  return static_cast<int>(static_cast<uint32_t>(hresult) | 0x30000u);
}

// The shared fixture: the library loaded in a fresh environment; the server is started by each
// row once its set-up (which may need a single-threaded process) is done.  Runs on the test's
// main thread; events arrive on the library's network thread and are only recorded there.
class FaultMatrixTest : public LibraryTest {
 protected:
  // Turns this process into uid 65534 for the rest of its life.  Everything under the
  // environment's root is handed over first, except |keep_root| (left to root).
  void BecomeNobody(const std::set<std::string>& keep_root = {}) {
    ASSERT_EQ(lchown(env_->root().c_str(), kNobody, kNobody), 0);
    for (const auto& entry : fs::recursive_directory_iterator(env_->root())) {
      if (!keep_root.contains(entry.path().string())) {
        ASSERT_EQ(lchown(entry.path().c_str(), kNobody, kNobody), 0) << entry.path();
      }
    }
    ASSERT_EQ(setgroups(0, nullptr), 0);
    ASSERT_EQ(setresgid(kNobody, kNobody, kNobody), 0);
    ASSERT_EQ(setresuid(kNobody, kNobody, kNobody), 0);
  }

  void StartServer() {
    if (!server_) {
      server_ = std::make_unique<ScriptedServer>();
    }
    host_->SetInitSDK(true);
    host_->SetDelegate(&delegate_);
  }
  std::string CgiUrl(const std::string& client = "host") const {
    return server_->Url("/check") + "?client=" + client;
  }
  std::string Offer(const std::string& package, const std::string& path) const {
    return Json{{"upgrade_policy", 2},
                {"version", "9.9.9.9"},
                {"package_url", server_->Url(path)},
                {"size", package.size()},
                {"md5", util::crypto::Md5(package)}}
        .dump();
  }
  static Json ClientCheck(int64_t token, const std::string& cgi_url) {
    return Command(
        "check_upgrade", token,
        {{"app_from", "tavoriapp"}, {"from_where", 0}, {"cgi_url", cgi_url}, {"enable_patch", 0}});
  }
  // The n-th event named |command| that carries |token|, waited for.
  std::optional<Json> WaitForToken(const std::string& command, int64_t token) const {
    for (size_t n = 1;; ++n) {
      const auto event = delegate_.WaitFor(command, n);
      if (!event || (*event)["token"] == token) {
        return event;
      }
    }
  }
  std::string DefaultTarget(const std::string& path) const {
    return env_->download_dir() + util::crypto::Md5(server_->Url(path)) + ".exe";
  }

  std::unique_ptr<ScriptedServer> server_;
  RecordingDelegate second_;  // a delegate a host switches to; outlives every delivery
};

// Waits, watching |dir| for changes to its files, until |done| holds; false after 20 s.
bool WaitForChanges(const std::string& dir, const std::function<bool()>& done) {
  const int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  inotify_add_watch(fd, dir.c_str(), IN_MODIFY | IN_CREATE | IN_DELETE | IN_CLOSE_WRITE);
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  bool found = done();
  while (!found && std::chrono::steady_clock::now() < deadline) {
    pollfd changed{fd, POLLIN, 0};
    poll(&changed, 1, 1000);
    char events[4096];
    while (read(fd, events, sizeof(events)) > 0) {
    }
    found = done();
  }
  close(fd);
  return found;
}

// The files of a directory, by name.
std::set<std::string> Listing(const std::string& dir) {
  std::set<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(dir, error)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

// A parameterised case is named, and printed, by its row's name.
template <typename Row>
  requires requires(const Row& row) { row.name; }
void PrintTo(const Row& row, std::ostream* out) {
  *out << row.name;
}
const auto RowName = [](const auto& info) { return std::string(info.param.name); };

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
  switch (row.target) {
    case Target::kFullDisk:
      // Room for the package when it starts, so that the check before the transfer passes.
      MountSmallFileSystem(dir, 4 << 20);
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
  if (row.target == Target::kFullDisk) {
    umount2(dir.c_str(), MNT_DETACH);
  }
  if (!HasFailure()) {
    fault_table::Record(row.table);
  }
}

INSTANTIATE_TEST_SUITE_P(LocalFaults, DiskTest, testing::ValuesIn(kDiskRows), RowName);

// ---------------------------------------------------------------------------------------------
// Configuration: the settings database that remembers the service URL for the update process.

// A child process of this binary that plays one side of a row, told what to do through two
// pipes: it writes one byte to the first when it is ready, and waits for the second to end (or
// to carry one byte) before it goes on.  Any thread.
class Helper {
 public:
  Helper(const std::string& role, const std::string& arg) {
    int ready[2];
    int go[2];
    EXPECT_EQ(pipe2(ready, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(go, O_CLOEXEC), 0);
    // Only the child's ends are inherited.
    fcntl(ready[1], F_SETFD, 0);
    fcntl(go[0], F_SETFD, 0);
    pid_ = base::test::SpawnChild(
        role, std::to_string(ready[1]) + " " + std::to_string(go[0]) + " " + arg);
    close(ready[1]);
    close(go[0]);
    ready_ = ready[0];
    go_ = go[1];
  }
  ~Helper() {
    Go();
    kill(pid_, SIGKILL);
    base::test::WaitForChild(pid_);
    close(ready_);
  }
  // Waits until the child says it is ready (false when it ended first).
  bool WaitUntilReady() const {
    char c = 0;
    return read(ready_, &c, 1) == 1;
  }
  // Lets the child go on: its end of the pipe sees the end of input.
  void Go() {
    if (go_ >= 0) {
      close(go_);
      go_ = -1;
    }
  }

  // In the child: the descriptors and the rest of |arg|.
  struct Args {
    int ready = -1;
    int go = -1;
    std::string rest;
  };
  static Args Parse(const std::string& arg) {
    Args args;
    std::istringstream in(arg);
    in >> args.ready >> args.go;
    std::getline(in >> std::ws, args.rest);
    return args;
  }
  static bool SignalAndWait(const Args& args) {
    char c = 0;
    return write(args.ready, "r", 1) == 1 && read(args.go, &c, 1) >= 0;
  }

 private:
  pid_t pid_ = -1;
  int ready_ = -1;
  int go_ = -1;
};

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
  if (!HasFailure()) {
    fault_table::Record(row.table);
  }
}

INSTANTIATE_TEST_SUITE_P(LocalFaults, ConfigTest, testing::ValuesIn(kConfigRows), RowName);

// ---------------------------------------------------------------------------------------------
// Installer service: the privileged service that "install" with "elevate_privilege" 1 reaches.

// Child role: an installer service on the socket named by the argument that answers "create",
// then, for the installation request, dies at once ("killed") or says it is ready and answers
// TRUST_E_NOSIGNATURE once told to go on ("slow").
const bool kServiceRole = base::test::RunChildRoleIfAsked("service", [](const std::string& arg) {
  namespace protocol = os::installer_protocol;
  const Helper::Args args = Helper::Parse(arg);
  const bool killed = args.rest.starts_with("killed ");
  const std::string path = args.rest.substr(args.rest.find(' ') + 1);
  const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  if (bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(listener, 4) != 0 || write(args.ready, "l", 1) != 1) {
    return 1;
  }
  const int connection = accept(listener, nullptr, nullptr);
  std::string frame;
  if (protocol::ReadFrame(connection, 20s, &frame) != protocol::IoStatus::kOk ||
      protocol::WriteFrame(connection, R"({"hresult":0})") != protocol::IoStatus::kOk ||
      protocol::ReadFrame(connection, 20s, &frame) != protocol::IoStatus::kOk) {
    return 2;
  }
  if (killed) {
    std::raise(SIGKILL);
  }
  Helper::SignalAndWait(args);
  protocol::WriteFrame(connection, R"({"hresult":-2146762496})");  // TRUST_E_NOSIGNATURE
  return 0;
});

enum class Service { kAbsent, kStopped, kKilledMidRequest, kSlow };

struct ServiceRow {
  const char* name;
  Service service;
  int result;  // of "install" with "elevate_privilege" 1
  fault_table::Row table;
};

const ServiceRow kServiceRows[] = {
    {"Absent",
     Service::kAbsent,
     Elevated(os::com::kRegdbEClassNotReg),
     {"installer service", "absent (no socket)", "\"install\" returns 0x80070154",
      "the package kept; nothing started"}},
    {"Stopped",
     Service::kStopped,
     Elevated(os::com::kCoEServerExecFailure),
     {"installer service", "stopped", "\"install\" returns 0x80080005",
      "the package kept; nothing started"}},
    {"KilledMidRequest",
     Service::kKilledMidRequest,
     Elevated(os::com::kRpcEDisconnected),
     {"installer service", "killed while it handles the request", "\"install\" returns 0x80010108",
      "the package kept; nothing started"}},
    {"Slow",
     Service::kSlow,
     Elevated(os::com::kTrustENoSignature),
     {"installer service", "slow to answer (up to 10 minutes are waited for)",
      "\"install\" returns the service's answer once it comes", "the package kept"}},
};

class ServiceTest : public FaultMatrixTest, public testing::WithParamInterface<ServiceRow> {};

TEST_P(ServiceTest, InstallReturnsTheDocumentedResult) {
  const ServiceRow& row = GetParam();
  installer_test::WineStandIn wine(env_->root() + "/wine");
  setenv("PATH", (wine.bin_dir() + ":" + getenv("PATH")).c_str(), 1);
  installer_test::InstallerFactory factory(env_->root() + "/installers");
  factory.InstallTrustBundle(env_->system_root());
  const std::string installer = factory.SignedBy("setup.exe", installer_test::kPublisher);
  const std::string bytes = ReadFileToString(installer);
  const std::string socket_path =
      env_->system_root() + "/" + os::installer_protocol::kSocketRelativePath;
  std::unique_ptr<Helper> fake;
  if (row.service == Service::kStopped) {
    // The real service: a shell prints its process id and becomes the service, which says
    // "READY" once it listens; SIGTERM stops it.
    FILE* out = popen("echo $$; exec " INSTALLER_SERVICE_PATH " --notify-fd 1", "r");
    char line[32] = {};
    ASSERT_NE(fgets(line, sizeof(line), out), nullptr);
    const pid_t pid = std::atoi(line);
    ASSERT_NE(fgets(line, sizeof(line), out), nullptr);
    ASSERT_STREQ(line, "READY\n");
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    ASSERT_EQ(pclose(out), 0);
  } else if (row.service != Service::kAbsent) {
    fs::create_directories(fs::path(socket_path).parent_path());
    fake = std::make_unique<Helper>(
        "service", (row.service == Service::kSlow ? "slow " : "killed ") + socket_path);
    ASSERT_TRUE(fake->WaitUntilReady());  // listening
  }
  host_->SetDelegate(&delegate_);
  std::atomic<bool> returned{false};
  std::thread answerer;
  if (row.service == Service::kSlow) {
    answerer = std::thread([&] {
      EXPECT_TRUE(fake->WaitUntilReady());  // the installation request arrived
      EXPECT_FALSE(returned.load()) << "\"install\" did not wait for the answer";
      fake->Go();
    });
  }
  const int result = host_->Do(Command("install", 0,
                                       {{"install_param", "/S"},
                                        {"package_path", installer},
                                        {"package_md5", util::crypto::Md5(bytes)},
                                        {"elevate_privilege", 1}}));
  returned = true;
  if (answerer.joinable()) {
    answerer.join();
  }
  EXPECT_EQ(result, row.result) << std::hex << result;
  EXPECT_EQ(ReadFileToString(installer), bytes);
  EXPECT_TRUE(wine.Starts().empty());
  if (!HasFailure()) {
    fault_table::Record(row.table);
  }
}

INSTANTIATE_TEST_SUITE_P(LocalFaults, ServiceTest, testing::ValuesIn(kServiceRows), RowName);

// ---------------------------------------------------------------------------------------------
// Host: a host that calls back into the library from inside events, or from many threads.

class HostTest : public FaultMatrixTest {
 protected:
  void SetUp() override {
    FaultMatrixTest::SetUp();
    StartServer();
    server_->Serve("/p.exe", package_);
    server_->SetDefault("/check", Respond(200, Offer(package_, "/p.exe")));
  }
  // The only file in the download directory is the verified package.
  void ExpectOnlyThePackage() const {
    EXPECT_EQ(Listing(env_->download_dir()),
              std::set<std::string>{fs::path(target_).filename().string()});
    EXPECT_TRUE(ReadFileToString(target_) == package_) << "not the package at the target";
  }

  const std::string package_ = RandomBytes(1 << 20);
  std::string target_;
};

TEST_F(HostTest, ReplacesItsDelegateFromInsideAnEvent) {
  target_ = DefaultTarget("/p.exe");
  std::atomic<int> replaced{-1};
  std::atomic<int> download{-1};
  delegate_.SetHook([&](const Json& event) {
    if (event["command"] == "cgi_response") {
      replaced = host_->SetDelegate(&second_);
      download = host_->Do(Command("download", 1));
    }
  });
  ASSERT_EQ(host_->Do(ClientCheck(1, CgiUrl())), 0);
  const auto finish = second_.WaitFor("download_finish");
  ASSERT_TRUE(finish);
  EXPECT_EQ(replaced.load(), 0);
  EXPECT_EQ(download.load(), 0);
  EXPECT_EQ((*finish)["parameters"]["err_code"], 0);
  EXPECT_EQ(delegate_.Commands(), std::vector<std::string>{"cgi_response"});
  EXPECT_EQ(second_.Commands().front(), "download_start");
  ExpectOnlyThePackage();
  host_->SetDelegate(nullptr);
  if (!HasFailure()) {
    fault_table::Record({"host", "replaces its delegate from inside an event",
                         "the later events at the new delegate only", "the verified package"});
  }
}

// Inside the check's answer: download; inside the first progress: cancel and download again;
// inside the finish: a new check.
TEST_F(HostTest, SendsCommandsFromInsideEvents) {
  target_ = DefaultTarget("/p.exe");
  std::vector<int> results;  // only touched on the network thread until the last event came
  bool restarted = false;
  delegate_.SetHook([&](const Json& event) {
    if (event["command"] == "cgi_response" && event["token"] == 1) {
      results.push_back(host_->Do(Command("download", 1)));
    } else if (event["command"] == "download_progress" && !restarted) {
      restarted = true;
      results.push_back(host_->Do(Command("cancel_download", 1)));
      results.push_back(host_->Do(Command("download", 1)));
    } else if (event["command"] == "download_finish") {
      results.push_back(host_->Do(ClientCheck(2, CgiUrl())));
    }
  });
  ASSERT_EQ(host_->Do(ClientCheck(1, CgiUrl())), 0);
  ASSERT_TRUE(WaitForToken("cgi_response", 2));
  delegate_.SetHook({});
  EXPECT_EQ(results, std::vector<int>(4, 0));
  const std::vector<std::string> names = delegate_.Commands();
  EXPECT_EQ(std::count(names.begin(), names.end(), "download_finish"), 1);
  EXPECT_EQ(std::count(names.begin(), names.end(), "download_start"), 2);
  EXPECT_EQ(delegate_.WaitFor("download_finish").value_or(Json())["parameters"]["err_code"], 0);
  ExpectOnlyThePackage();
  if (!HasFailure()) {
    fault_table::Record({"host",
                         "sends commands from inside events (download, cancel and restart, "
                         "a new check)",
                         "every command accepted; one \"download_finish\" with error 0",
                         "the verified package"});
  }
}

// Eight threads send every kind of command at once; then one last run must go through.
TEST_F(HostTest, CommandsFromEightThreadsAtOnce) {
  target_ = DefaultTarget("/p.exe");
  const std::string missing = env_->root() + "/missing.exe";
  const std::vector<std::pair<Json, std::set<int>>> mix = {
      {ClientCheck(0, CgiUrl()), {0}},
      {Command("download", 0), {0, 8, 11}},
      {Command("cancel_download", 0), {0, 11}},
      {Command("nonsense", 0), {2}},
      {Command("install", 0,
               {{"install_param", ""},
                {"package_path", missing},
                {"package_md5", ""},
                {"elevate_privilege", 0}}),
       {4}},
  };
  std::atomic<int> unexpected{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (size_t i = 0; i < 40; ++i) {
        auto [command, allowed] = mix[(static_cast<size_t>(t) + i) % mix.size()];
        command["token"] = 100 + t;
        const int result = host_->Do(command);
        unexpected += allowed.contains(result) ? 0 : 1;
        unexpected += host_->Do(std::string("{\"version\":")) == 1 ? 0 : 1;
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(unexpected.load(), 0);
  // The last check replaces every earlier run; its download completes.
  delegate_.SetHook([&](const Json& event) {
    if (event["command"] == "cgi_response" && event["token"] == 1000) {
      host_->Do(Command("download", 1000));
    }
  });
  ASSERT_EQ(host_->Do(ClientCheck(1000, CgiUrl())), 0);
  const auto finish = WaitForToken("download_finish", 1000);
  delegate_.SetHook({});
  ASSERT_TRUE(finish);
  EXPECT_EQ((*finish)["parameters"]["err_code"], 0);
  ExpectOnlyThePackage();
  if (!HasFailure()) {
    fault_table::Record({"host", "sends commands from eight threads at once",
                         "each command's documented result; a later run completes",
                         "the verified package only"});
  }
}

}  // namespace
}  // namespace update_test
