// Starting a program the way the Windows shell does (ShellExecuteW with the default verb, no
// working directory and SW_SHOW), and splitting a command line the way a Windows program's C
// runtime does.
//
// ShellExecute starts the program and returns without waiting for it; it blocks only until the
// program has really been started (or has failed to start).  Any thread.
//
// The POSIX backend's rules (the README lists the same):
//   - |file| names the program; a name without a '/' is looked up in the current directory, then
//     along $PATH.  Parameters are split with SplitCommandLine and passed as arguments; no shell
//     is involved.
//   - A native program (an ELF image, or a script starting with "#!") is executed directly; it
//     needs its execute permission.
//   - A Windows image ("MZ" with a "PE\0\0" header) is handed to `wine`, the first one found on
//     this process's $PATH, as "wine <absolute path of file> <arguments...>".
//   - Anything else has no program associated with it (a Windows program opens documents with
//     their associated application; there is none here).
//   - The program runs detached: in a session of its own, not a child of the caller (nothing to
//     reap), with stdin, stdout and stderr on /dev/null, the caller's working directory and
//     environment, default signal dispositions and no other descriptor of the caller.

#ifndef OS_SHELL_H_
#define OS_SHELL_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace os {

// ShellExecuteW's results: above 32 means started, 32 and below are these failures.
inline constexpr uintptr_t kShellErrorOutOfResources = 0;  // any other system failure
inline constexpr uintptr_t kShellErrorFileNotFound = 2;    // no such file (or interpreter)
inline constexpr uintptr_t kShellErrorPathNotFound = 3;    // a directory on the path is missing
inline constexpr uintptr_t kShellErrorAccessDenied = 5;    // not readable or not executable
inline constexpr uintptr_t kShellErrorOutOfMemory = 8;     // no memory, processes or descriptors
inline constexpr uintptr_t kShellErrorBadFormat = 11;      // an invalid image ("MZ" without PE)
inline constexpr uintptr_t kShellErrorShare = 26;          // the file is busy being written
inline constexpr uintptr_t kShellErrorNoAssociation = 31;  // no program runs this file
// What a successful start returns (Windows returns this value too; it is not a handle).
inline constexpr uintptr_t kShellStarted = 42;

// ShellExecuteW(nullptr, nullptr, file, parameters, nullptr, SW_SHOW).  Both strings end at their
// first NUL, as the Windows call reads them.  Returns kShellStarted once the program has been
// executed, or one of the errors above.
uintptr_t ShellExecute(const std::wstring& file, const std::wstring& parameters);

// Splits |command_line| into arguments by the rules of the Microsoft C runtime for the arguments
// after the program name: blanks (space, tab) separate arguments outside quotes; a '"' starts or
// ends a quoted part; inside quotes "" stands for one '"' and the quoted part goes on; 2n
// backslashes before a '"' stand for n backslashes and the '"' quotes, 2n+1 backslashes before a
// '"' stand for n backslashes and a literal '"'; other backslashes stand for themselves.  Pure;
// any thread.
std::vector<std::wstring> SplitCommandLine(std::wstring_view command_line);

}  // namespace os

#endif  // OS_SHELL_H_
