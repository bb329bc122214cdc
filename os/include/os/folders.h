// Where the machine and the user keep things: the Windows directory, the temporary directory and
// the per-user data folders.
//
// Every call reads the current state afresh (nothing is cached here); any thread.  The lookups do
// no other I/O, except that the default temporary directory is created when missing.  Paths are
// wide strings in the platform's form and never longer than kMaxPath - 1 characters: a location
// that would not fit the MAX_PATH buffers of the Windows calls fails with kErrorInsufficientBuffer,
// as those calls do.
//
// The POSIX backend stands in for Windows as follows (the README lists the same table):
//   Windows directory      <system root>/windows, where the system root is $TAVORI_SYSTEM_ROOT or
//                          /var/lib/tavori
//   temporary directory    $TMPDIR; when unset or empty, the per-user $XDG_CACHE_HOME/tmp (or
//                          ~/.cache/tmp), created with mode 0700 when missing, since the
//                          Windows temporary directory belongs to one user and /tmp does not.
//                          A $TMPDIR that is not valid UTF-8 fails with kErrorNoUnicodeTranslation
//                          rather than being replaced by another directory.
//   roaming app data       $XDG_CONFIG_HOME, or ~/.config
//   user state (logs)      $XDG_STATE_HOME, or ~/.local/state

#ifndef OS_FOLDERS_H_
#define OS_FOLDERS_H_

#include <cstddef>
#include <string>

#include "os/result.h"

// <windows.h> maps this name onto its A/W functions with macros; here it names the OS layer's own.
// Include <windows.h> before this header, never after it.
#undef GetWindowsDirectory

namespace os {

// MAX_PATH: the buffers of the Windows path calls hold this many characters, NUL included.
inline constexpr size_t kMaxPath = 260;

// GetWindowsDirectoryW: the system's Windows directory, without a trailing separator.
Result<std::wstring> GetWindowsDirectory();

// GetTempPathW: the user's temporary directory, ending in a separator.
Result<std::wstring> GetTempDirectory();

// Makes |path| (its parent must exist) a directory that only the current user can change: creates
// it when missing, accessible to the user alone (mode 0700; an owner-only DACL on Windows), then
// checks what stands there on every call: a real directory, not a link, owned by the user, that
// nobody else may write to.  Returns kErrorSuccess, kErrorAccessDenied when the directory exists
// but is not private (or is not a directory), or the creation's error.  Meant for a directory in
// a place that other users share, such as the temporary directory, whose contents the caller
// then trusts.
[[nodiscard]] ErrorCode EnsurePrivateDirectory(const std::wstring& path);

// SHGetFolderPathW(CSIDL_APPDATA): the user's roaming application-data folder, without a trailing
// separator.
Result<std::wstring> GetRoamingAppDataDirectory();

// The user's folder for state that is not configuration, such as logs (local application data on
// Windows), without a trailing separator.
Result<std::wstring> GetUserStateDirectory();

}  // namespace os

#endif  // OS_FOLDERS_H_
