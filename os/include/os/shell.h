// Starting a program the way the Windows shell does (ShellExecuteW with the default verb, no
// working directory and SW_SHOW), and splitting a command line the way a Windows program's C
// runtime does.
//
// ShellExecute starts an installer that the caller has opened (os/installer_file.h) and usually
// checked, and returns without waiting for it; it blocks only until the program has really been
// started (or has failed to start).  Any thread.
//
// The POSIX backend's rules (the README lists the same):
//   - The program is started from the sealed copy that InstallerFile::Open made, so that exactly
//     what was opened (and checked) runs, whatever has happened to the file or its name since.
//     Parameters are split with SplitCommandLine and passed as arguments; no shell is involved.
//   - A native program (an ELF image, or a script starting with "#!") is executed directly; it
//     needs its execute permission.  A script's interpreter reads it from /dev/fd/N.
//   - A Windows image ("MZ" with a "PE\0\0" header) is handed to `wine`, the first one found on
//     this process's $PATH, as "wine /proc/self/fd/N <arguments...>", N being the copy, which
//     stays open in wine.
//   - Anything else has no program associated with it (a Windows program opens documents with
//     their associated application; there is none here).
//   - The program runs detached: in a session of its own, not a child of the caller (nothing to
//     reap), with stdin, stdout and stderr on /dev/null, the caller's working directory and
//     environment, default signal dispositions and no other descriptor of the caller.
// The Windows backend calls ShellExecuteW with the file's path while the file is held open with
// FILE_SHARE_READ only, so that nobody can change, rename or delete it before it has started.

#ifndef OS_SHELL_H_
#define OS_SHELL_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "os/installer_file.h"

// <windows.h> maps this name onto its A/W functions with macros; here it names the OS layer's own.
// Include <windows.h> before this header, never after it.
#undef ShellExecute

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
// The highest failure value: any larger result means the program was started.
inline constexpr uintptr_t kShellLastError = 32;
inline constexpr bool ShellStartSucceeded(uintptr_t result) { return result > kShellLastError; }

// ShellExecuteW(nullptr, nullptr, <the file's path>, parameters, nullptr, SW_SHOW) for the opened
// |file|.  |parameters| ends at its first NUL, as the Windows call reads it.  Returns kShellStarted
// once the program has been executed, or one of the errors above; for a file that could not be
// opened, its open_error().
uintptr_t ShellExecute(const InstallerFile& file, const std::wstring& parameters);

// Splits |command_line| into arguments by the rules of the Microsoft C runtime for the arguments
// after the program name: blanks (space, tab) separate arguments outside quotes; a '"' starts or
// ends a quoted part; inside quotes "" stands for one '"' and the quoted part goes on; 2n
// backslashes before a '"' stand for n backslashes and the '"' quotes, 2n+1 backslashes before a
// '"' stand for n backslashes and a literal '"'; other backslashes stand for themselves.  Pure;
// any thread.
std::vector<std::wstring> SplitCommandLine(std::wstring_view command_line);

}  // namespace os

#endif  // OS_SHELL_H_
