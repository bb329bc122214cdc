// Path manipulation with the shell light-weight utilities' semantics (PathAppendW,
// PathRemoveFileSpecW, PathFindFileNameW, PathFileExistsW), on the platform's own separator.
//
// Callers write relative pieces with backslashes, as on Windows; a POSIX backend turns them into
// its own separator.  Only PathFileExists touches the file system.  Any thread.

#ifndef OS_PATH_H_
#define OS_PATH_H_

#include <string>
#include <string_view>

// <windows.h> maps these names onto their A/W functions with macros; here they name the OS layer's
// own.  Include <windows.h> before this header, never after it.
#undef PathAppend
#undef PathRemoveFileSpec
#undef PathFindFileName
#undef PathFileExists

namespace os {

// The platform's preferred separator.
extern const wchar_t kPathSeparator;

// PathAppendW: appends |more| to |path| with exactly one separator between them.  Leading
// separators of |more| are dropped; a trailing one is kept.  Fails, leaving |path| unchanged, when
// the result would not fit kMaxPath - 1 characters.
[[nodiscard]] bool PathAppend(std::wstring* path, std::wstring_view more);

// PathRemoveFileSpecW: removes the last component and its separator; a root keeps its separator.
// Returns false when nothing was removed.
bool PathRemoveFileSpec(std::wstring* path);

// PathFindFileNameW: the last component of |path| (the whole path when it has no separator).
std::wstring_view PathFindFileName(std::wstring_view path);

// PathFileExistsW: whether a file or directory exists at |path|.
bool PathFileExists(const std::wstring& path);

}  // namespace os

#endif  // OS_PATH_H_
