// Starting detached programs on POSIX: the machinery behind os::ShellExecute, offered to the
// project's own programs (such as the privileged installer service, which must start exactly the
// file it has checked).  A POSIX facility: there is no Windows counterpart, and the update
// library itself does not use it.
//
// Every function may be called from any thread, also while other threads run: the child
// processes do only async-signal-safe work between fork and exec.  The functions block until the
// program has been executed (or has failed to be) and never wait for the program itself.
//
// The rules (shared with os::ShellExecute): an ELF image or a "#!" script is executed directly;
// a Windows image ("MZ" with a "PE\0\0" header) is run by the first `wine` on this process's
// $PATH (kShellErrorNoAssociation when there is none); an "MZ" file without that header is
// kShellErrorBadFormat; anything else is kShellErrorNoAssociation.  The program runs in a new
// session as a grandchild that is not ours (no zombie), with stdin, stdout and stderr on
// /dev/null, default signal dispositions, an empty signal mask and no descriptor of ours.
// Results are os::ShellExecute's: kShellStarted, or an error value of 32 or less.  Arguments and
// environment entries end at their first NUL, as C strings do.

#ifndef OS_POSIX_SPAWN_H_
#define OS_POSIX_SPAWN_H_

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace os::posix {

// Who the program runs as.  The caller works the supplementary groups out beforehand (the child
// may not consult the user database).
struct SpawnCredentials {
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;
};

struct SpawnOptions {
  // Run as this user (setgroups, setgid, setuid, in that order); unset: as the caller.
  std::optional<SpawnCredentials> credentials;
  // The program's whole environment, "NAME=value" entries; unset: the caller's.
  std::optional<std::vector<std::string>> environment;
  // The program's working directory; empty: the caller's.
  std::string working_directory;
};

// What a file holds, judged from its first bytes.
enum class ProgramKind {
  kNative,      // an ELF image
  kScript,      // "#!" and an interpreter line
  kWindows,     // "MZ" and a "PE\0\0" header where e_lfanew points
  kBadWindows,  // "MZ" without a valid PE header
  kUnknown,     // anything else, including an empty or unreadable file
};

// Reads the first bytes of the file open on |fd| (with pread; the offset is left alone).
ProgramKind ClassifyProgram(int fd);

// Starts the program open on |fd| (opened for reading) with |arguments|, so that exactly the
// file that was opened runs even if its path is changed meanwhile: an ELF image is executed
// from the descriptor (fexecve); a script is executed from the descriptor too, and its
// interpreter reads it from /dev/fd/N; a Windows image is run as
// "wine /proc/self/fd/N <arguments...>".  In the last two cases the descriptor (and only it)
// stays open in the program.  |name| is the program's name for an ELF image (its argv[0]).
// |fd| stays open and owned by the caller.  When |options| change the user, that user must be
// able to read the file (and, for an ELF image, execute it): the program reopens or executes it
// with that user's rights.
uintptr_t StartProgramFromDescriptor(int fd, const std::string& name,
                                     const std::vector<std::string>& arguments,
                                     const SpawnOptions& options);

// The first executable regular file named |name| in the directories of this process's $PATH (an
// empty entry is the current directory); "" when there is none.
std::string FindOnPath(const std::string& name);

// Maps the errno of a failed open or exec onto the nearest ShellExecute error.
uintptr_t ShellErrorFromErrno(int errno_value);

}  // namespace os::posix

#endif  // OS_POSIX_SPAWN_H_
