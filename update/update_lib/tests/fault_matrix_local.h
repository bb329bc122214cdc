// Support of the fault matrix's local rows (the disk, the settings database, the installer
// service and the host's own calls): the fixture, and a helper process for the rows that need
// another process to hold a lock or to stand in for a service.

#ifndef UPDATE_UPDATE_LIB_TESTS_FAULT_MATRIX_LOCAL_H_
#define UPDATE_UPDATE_LIB_TESTS_FAULT_MATRIX_LOCAL_H_

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include "base/test/child_process.h"
#include "base/test/file_contents.h"
#include "fault_table.h"
#include "library_host.h"
#include "os/com.h"
#include "tavorisdk/test/scripted_server.h"
#include "util/crypto/crypto.h"

namespace update_test::fault_matrix {

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
  // Turns this process (every thread) into uid 65534 for the rest of the case; only Record
  // takes root back, to write the table.  Everything under the environment's root is handed
  // over first, except |keep_root| (left to root).
  void BecomeNobody(const std::set<std::string>& keep_root = {}) {
    ASSERT_EQ(lchown(env_->root().c_str(), kNobody, kNobody), 0);
    for (const auto& entry : fs::recursive_directory_iterator(env_->root())) {
      if (!keep_root.contains(entry.path().string())) {
        ASSERT_EQ(lchown(entry.path().c_str(), kNobody, kNobody), 0) << entry.path();
      }
    }
    ASSERT_EQ(setgroups(0, nullptr), 0);
    ASSERT_EQ(setresgid(kNobody, kNobody, 0), 0);
    ASSERT_EQ(setresuid(kNobody, kNobody, 0), 0);
  }
  // The row's line in the fault table, once the case has passed.
  static void Record(const fault_table::Row& row) {
    if (geteuid() == kNobody) {
      ASSERT_EQ(setresuid(0, 0, 0), 0);
    }
    fault_table::Record(row);
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
      auto event = delegate_.WaitFor(command, n);
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
inline bool WaitForChanges(const std::string& dir, const std::function<bool()>& done) {
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
inline std::set<std::string> Listing(const std::string& dir) {
  std::set<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(dir, error)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

// A parameterised case is named by its row's name (and printed so, by PrintTo beside each row).
inline constexpr auto RowName = [](const auto& info) { return std::string(info.param.name); };

// A child process of this binary that plays one side of a row (a role registered with
// base::test::RunChildRoleIfAsked), paced through two pipes: it writes one byte to the first
// when it is ready, and waits for the second to end before it goes on.  Its argument starts
// with the two descriptors (Parse takes them apart in the child).  Used by one thread at a time;
// the destructor kills the child if it is still there.
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
    Kill();
    base::test::WaitForChild(pid_);
    close(ready_);
  }
  // Waits until the child says it is ready (false when it ended first).
  bool WaitUntilReady() const {
    char c = 0;
    return read(ready_, &c, 1) == 1;
  }
  // Ends the child at once; a wait for it to be ready then returns false.
  void Kill() const { kill(pid_, SIGKILL); }
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

}  // namespace update_test::fault_matrix

#endif  // UPDATE_UPDATE_LIB_TESTS_FAULT_MATRIX_LOCAL_H_
