// The path helpers on the shell light-weight utilities themselves.  Each call works on a
// zero-filled MAX_PATH buffer (kMaxPath wide characters, NUL included), as the utilities require.
// Any thread: nothing here keeps state.

#include <algorithm>

#include "os/folders.h"
#include "os/path.h"
#include "src/internal/win32.h"

namespace os {

const wchar_t kPathSeparator = L'\\';

namespace {

// Copies |text| into a zero-filled MAX_PATH buffer; false when it does not fit with its NUL.
bool ToBuffer(std::wstring_view text, wchar_t (&buffer)[kMaxPath]) {
  std::fill(std::begin(buffer), std::end(buffer), L'\0');
  if (text.size() >= kMaxPath || text.find(L'\0') != std::wstring_view::npos) {
    return false;
  }
  std::copy(text.begin(), text.end(), buffer);
  return true;
}

}  // namespace

bool PathAppend(std::wstring* path, std::wstring_view more) {
  wchar_t buffer[kMaxPath];
  if (!ToBuffer(*path, buffer)) {
    return false;
  }
  // PathAppendW reads a NUL-terminated string and fails when the result does not fit the buffer.
  const std::wstring more_text(more);
  if (more_text.find(L'\0') != std::wstring::npos || !::PathAppendW(buffer, more_text.c_str())) {
    return false;
  }
  *path = buffer;
  return true;
}

bool PathRemoveFileSpec(std::wstring* path) {
  wchar_t buffer[kMaxPath];
  if (!ToBuffer(*path, buffer) || !::PathRemoveFileSpecW(buffer)) {
    return false;
  }
  *path = buffer;
  return true;
}

std::wstring_view PathFindFileName(std::wstring_view path) {
  const std::wstring text(path);
  const wchar_t* name = ::PathFindFileNameW(text.c_str());
  return path.substr(static_cast<size_t>(name - text.c_str()));
}

bool PathFileExists(const std::wstring& path) {
  return !path.empty() && path.find(L'\0') == std::wstring::npos &&
         ::PathFileExistsW(path.c_str()) != FALSE;
}

}  // namespace os
