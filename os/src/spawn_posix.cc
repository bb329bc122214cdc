#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <string_view>

#include "os/posix/scoped_fd.h"
#include "os/posix/spawn.h"
#include "os/shell.h"
#include "src/internal/environment_posix.h"

namespace os::posix {

using internal::GetEnv;

namespace {

// How much of a file ClassifyProgram reads: the DOS header ends at 0x40 with e_lfanew at 0x3C.
constexpr size_t kDosHeaderSize = 0x40;
constexpr size_t kLfanewOffset = 0x3C;
constexpr unsigned char kElfMagic[] = {0x7F, 'E', 'L', 'F'};
constexpr unsigned char kPeSignature[] = {'P', 'E', 0, 0};
constexpr std::string_view kDefaultSearchPath = "/bin:/usr/bin";
// The child's exit status when it cannot become the program (as a shell reports it).
constexpr int kExecFailedStatus = 127;
// Descriptors the child marks close-on-exec one by one when close_range is missing: the limit,
// capped, or this many when there is none.
constexpr rlim_t kMaxDescriptorScan = rlim_t{1} << 20;
constexpr unsigned int kDefaultDescriptorScan = 1U << 16;

// Moves |fd| to a number above the standard descriptors, close-on-exec, so that setting up
// stdin, stdout and stderr in the child cannot overwrite it.  Returns the descriptor to use.
int AboveStandardDescriptors(int fd) {
  if (fd < 0 || fd > STDERR_FILENO) {
    return fd;
  }
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  const int saved_errno = errno;
  close(fd);
  errno = saved_errno;
  return moved;
}

// What the child processes execute, prepared before fork: after it they may not allocate.
struct ExecPlan {
  std::string path;       // execute this file by path, when not empty
  int fd = -1;            // otherwise execute the file open on this descriptor
  int inherited_fd = -1;  // this descriptor stays open in the program; -1: none
  std::vector<std::string> argv;
};

// Everything the children touch, as plain data.
struct ChildSetup {
  const char* path = nullptr;
  int exec_fd = -1;
  int inherited_fd = -1;
  char* const* argv = nullptr;
  char* const* envp = nullptr;
  int null_fd = -1;
  int report_fd = -1;
  const SpawnCredentials* credentials = nullptr;
  const char* working_directory = nullptr;
  unsigned int max_fd = 0;
};

[[noreturn]] void ReportAndExit(int report_fd, int error) {
  // Nothing more can be done when the report cannot be written: the parent then sees the
  // intermediate process's exit status or an early end of the pipe.
  ssize_t ignored = write(report_fd, &error, sizeof(error));
  (void)ignored;
  _exit(kExecFailedStatus);
}

// The grandchild: becomes the program.  Only async-signal-safe calls from here on.
[[noreturn]] void RunProgram(const ChildSetup& setup) {
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) {
    sigaction(sig, &default_action, nullptr);  // fails harmlessly for SIGKILL, SIGSTOP, ...
  }
  for (int target = STDIN_FILENO; target <= STDERR_FILENO; ++target) {
    if (dup2(setup.null_fd, target) < 0) {
      ReportAndExit(setup.report_fd, errno);
    }
  }
  if (setup.credentials != nullptr) {
    // Raw system calls: the C library's wrappers would try to change every thread of the
    // process they were forked from.
    const SpawnCredentials& c = *setup.credentials;
    if (syscall(SYS_setgroups, c.groups.size(), c.groups.data()) != 0 ||
        syscall(SYS_setresgid, c.gid, c.gid, c.gid) != 0 ||
        syscall(SYS_setresuid, c.uid, c.uid, c.uid) != 0) {
      ReportAndExit(setup.report_fd, errno);
    }
  }
  if (setup.working_directory != nullptr && chdir(setup.working_directory) != 0) {
    ReportAndExit(setup.report_fd, errno);
  }
  // No descriptor of ours survives the exec, whatever flags it was opened with.
  if (close_range(STDERR_FILENO + 1, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
    for (unsigned int fd = STDERR_FILENO + 1; fd < setup.max_fd; ++fd) {
      fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
    }
  }
  if (setup.inherited_fd >= 0 && fcntl(setup.inherited_fd, F_SETFD, 0) != 0) {
    ReportAndExit(setup.report_fd, errno);
  }
  sigset_t empty;
  sigemptyset(&empty);
  sigprocmask(SIG_SETMASK, &empty, nullptr);
  if (setup.path != nullptr) {
    execve(setup.path, setup.argv, setup.envp);
  } else {
    fexecve(setup.exec_fd, setup.argv, setup.envp);
  }
  ReportAndExit(setup.report_fd, errno);
}

// The child: leaves our session and forks the program's process, so that the program is not
// our child and nobody has to reap it.
[[noreturn]] void RunIntermediate(const ChildSetup& setup) {
  if (setsid() < 0) {
    ReportAndExit(setup.report_fd, errno);
  }
  // _Fork runs no fork handlers: this process has only the one thread, and must stay lean.
  const pid_t grandchild = _Fork();
  if (grandchild < 0) {
    ReportAndExit(setup.report_fd, errno);
  }
  if (grandchild > 0) {
    _exit(0);
  }
  RunProgram(setup);
}

std::vector<char*> CStringArray(const std::vector<std::string>& strings) {
  std::vector<char*> array;
  array.reserve(strings.size() + 1);
  for (const std::string& s : strings) {
    array.push_back(const_cast<char*>(s.c_str()));
  }
  array.push_back(nullptr);
  return array;
}

uintptr_t Spawn(const ExecPlan& plan, const SpawnOptions& options) {
  const std::vector<char*> argv = CStringArray(plan.argv);
  std::vector<char*> envp;
  if (options.environment.has_value()) {
    envp = CStringArray(*options.environment);
  }
  ScopedFd null_fd(AboveStandardDescriptors(open("/dev/null", O_RDWR | O_CLOEXEC)));
  if (!null_fd.valid()) {
    return ShellErrorFromErrno(errno);
  }
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
    return ShellErrorFromErrno(errno);
  }
  ScopedFd report_read(AboveStandardDescriptors(pipe_fds[0]));
  ScopedFd report_write(AboveStandardDescriptors(pipe_fds[1]));
  if (!report_read.valid() || !report_write.valid()) {
    return ShellErrorFromErrno(errno);
  }
  rlimit limit{};
  const unsigned int max_fd =
      getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
          ? static_cast<unsigned int>(std::min(limit.rlim_cur, kMaxDescriptorScan))
          : kDefaultDescriptorScan;

  ChildSetup setup;
  setup.path = plan.path.empty() ? nullptr : plan.path.c_str();
  setup.exec_fd = plan.fd;
  setup.inherited_fd = plan.inherited_fd;
  setup.argv = argv.data();
  setup.envp = options.environment.has_value() ? envp.data() : environ;
  setup.null_fd = null_fd.get();
  setup.report_fd = report_write.get();
  setup.credentials = options.credentials.has_value() ? &*options.credentials : nullptr;
  setup.working_directory =
      options.working_directory.empty() ? nullptr : options.working_directory.c_str();
  setup.max_fd = max_fd;

  // Signals stay blocked across fork, so that no handler of ours runs in the children before
  // they have restored the default dispositions.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  const pid_t child = fork();
  const int fork_errno = errno;
  if (child == 0) {
    RunIntermediate(setup);
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (child < 0) {
    return ShellErrorFromErrno(fork_errno);
  }
  report_write.reset();

  // The pipe reaches its end when the program has been executed (close-on-exec) or a child has
  // exited; before that, a failing child writes its errno.
  int child_errno = 0;
  size_t received = 0;
  while (received < sizeof(child_errno)) {
    const ssize_t got = read(report_read.get(), reinterpret_cast<char*>(&child_errno) + received,
                             sizeof(child_errno) - received);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      break;
    }
    received += static_cast<size_t>(got);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (received == sizeof(child_errno)) {
    return ShellErrorFromErrno(child_errno);
  }
  if (received != 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return kShellErrorOutOfResources;
  }
  return kShellStarted;
}

bool IsExecutableFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
         faccessat(AT_FDCWD, path.c_str(), X_OK, AT_EACCESS) == 0;
}

}  // namespace

uintptr_t ShellErrorFromErrno(int errno_value) {
  switch (errno_value) {
    case ENOENT:
      return kShellErrorFileNotFound;
    case ENOTDIR:
    case ELOOP:
    case ENAMETOOLONG:
      return kShellErrorPathNotFound;
    case EACCES:
    case EPERM:
      return kShellErrorAccessDenied;
    case ENOMEM:
    case EAGAIN:
    case EMFILE:
    case ENFILE:
    case E2BIG:
      return kShellErrorOutOfMemory;
    case ENOEXEC:
    case ELIBBAD:
    case EISDIR:
      return kShellErrorBadFormat;
    case ETXTBSY:
      return kShellErrorShare;
    default:
      return kShellErrorOutOfResources;
  }
}

ProgramKind ClassifyProgram(int fd) {
  unsigned char head[kDosHeaderSize] = {};
  ssize_t got;
  do {
    got = pread(fd, head, sizeof(head), 0);
  } while (got < 0 && errno == EINTR);
  const size_t size = got > 0 ? static_cast<size_t>(got) : 0;
  if (size >= sizeof(kElfMagic) && std::memcmp(head, kElfMagic, sizeof(kElfMagic)) == 0) {
    return ProgramKind::kNative;
  }
  if (size >= 2 && head[0] == '#' && head[1] == '!') {
    return ProgramKind::kScript;
  }
  if (size < 2 || head[0] != 'M' || head[1] != 'Z') {
    return ProgramKind::kUnknown;
  }
  if (size < kDosHeaderSize) {
    return ProgramKind::kBadWindows;
  }
  const uint32_t pe_offset = static_cast<uint32_t>(head[kLfanewOffset]) |
                             static_cast<uint32_t>(head[kLfanewOffset + 1]) << 8 |
                             static_cast<uint32_t>(head[kLfanewOffset + 2]) << 16 |
                             static_cast<uint32_t>(head[kLfanewOffset + 3]) << 24;
  unsigned char signature[sizeof(kPeSignature)] = {};
  do {
    got = pread(fd, signature, sizeof(signature), static_cast<off_t>(pe_offset));
  } while (got < 0 && errno == EINTR);
  if (got == static_cast<ssize_t>(sizeof(signature)) &&
      std::memcmp(signature, kPeSignature, sizeof(signature)) == 0) {
    return ProgramKind::kWindows;
  }
  return ProgramKind::kBadWindows;
}

std::string FindOnPath(const std::string& name) {
  const std::string path_variable = GetEnv("PATH");
  // What execvp searches without a PATH.
  const std::string_view search = path_variable.empty() ? kDefaultSearchPath : path_variable;
  size_t start = 0;
  while (start <= search.size()) {
    size_t end = search.find(':', start);
    if (end == std::string_view::npos) {
      end = search.size();
    }
    std::string_view dir = search.substr(start, end - start);
    if (dir.empty()) {
      dir = ".";  // an empty entry is the current directory
    }
    std::string candidate;
    candidate.reserve(dir.size() + 1 + name.size());
    candidate.append(dir).append(1, '/').append(name);
    if (IsExecutableFile(candidate)) {
      return candidate;
    }
    start = end + 1;
  }
  return "";
}

namespace {

// 0 when |fd| is open on a regular file; otherwise the shell's error for it.
uintptr_t RegularFileError(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    return ShellErrorFromErrno(errno);
  }
  return S_ISREG(st.st_mode) ? 0 : kShellErrorNoAssociation;
}

// Completes |plan| for a program of |kind| and starts it with |arguments|.  |native| fills in
// how a native program or script is executed; |wine_image| is how wine is to find a Windows
// image.
template <typename Native>
uintptr_t PlanAndSpawn(ProgramKind kind, ExecPlan plan, Native native,
                       const std::string& wine_image, const std::vector<std::string>& arguments,
                       const SpawnOptions& options) {
  switch (kind) {
    case ProgramKind::kNative:
    case ProgramKind::kScript:
      native(kind, &plan);
      break;
    case ProgramKind::kWindows:
      plan.path = FindOnPath("wine");
      if (plan.path.empty()) {
        return kShellErrorNoAssociation;
      }
      plan.argv = {plan.path, wine_image};
      break;
    case ProgramKind::kBadWindows:
      return kShellErrorBadFormat;
    case ProgramKind::kUnknown:
      return kShellErrorNoAssociation;
  }
  plan.argv.insert(plan.argv.end(), arguments.begin(), arguments.end());
  return Spawn(plan, options);
}

}  // namespace

uintptr_t StartProgramFromDescriptor(int fd, const std::string& name,
                                     const std::vector<std::string>& arguments,
                                     const SpawnOptions& options) {
  if (const uintptr_t error = RegularFileError(fd); error != 0) {
    return error;
  }
  // A copy of our own, above the standard descriptors: its number is the one the program sees.
  ScopedFd own(fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
  if (!own.valid()) {
    return ShellErrorFromErrno(errno);
  }
  ExecPlan plan;
  const ProgramKind kind = ClassifyProgram(own.get());
  if (kind == ProgramKind::kWindows) {
    // wine opens the image through the descriptor, which must survive the exec.
    plan.inherited_fd = own.get();
  }
  return PlanAndSpawn(
      kind, plan,
      [&name, &own](ProgramKind native_kind, ExecPlan* native_plan) {
        native_plan->fd = own.get();
        if (native_kind == ProgramKind::kScript) {
          // The interpreter opens the script as /dev/fd/N: the descriptor must survive the exec.
          native_plan->inherited_fd = own.get();
        }
        native_plan->argv.push_back(name);
      },
      "/proc/self/fd/" + std::to_string(own.get()), arguments, options);
}

}  // namespace os::posix
