#include <sys/stat.h>

#include "os/folders.h"
#include "os/path.h"
#include "os/utf.h"

namespace os {

const wchar_t kPathSeparator = L'/';

namespace {

bool IsSeparator(wchar_t c) { return c == L'/' || c == L'\\'; }

}  // namespace

bool PathAppend(std::wstring* path, std::wstring_view more) {
  size_t skip = 0;
  while (skip < more.size() && IsSeparator(more[skip])) {
    ++skip;
  }
  std::wstring result = *path;
  if (!result.empty() && !IsSeparator(result.back()) && skip < more.size()) {
    result.push_back(kPathSeparator);
  }
  for (wchar_t c : more.substr(skip)) {
    result.push_back(IsSeparator(c) ? kPathSeparator : c);
  }
  if (result.size() >= kMaxPath) {
    return false;
  }
  *path = std::move(result);
  return true;
}

bool PathRemoveFileSpec(std::wstring* path) {
  const size_t last = path->find_last_of(L"/");
  if (last == std::wstring::npos) {
    if (path->empty()) {
      return false;
    }
    path->clear();
    return true;
  }
  if (last == 0) {
    // The root keeps its separator.
    if (path->size() == 1) {
      return false;
    }
    path->resize(1);
    return true;
  }
  path->resize(last);
  return true;
}

std::wstring_view PathFindFileName(std::wstring_view path) {
  const size_t last = path.find_last_of(L'/');
  if (last == std::wstring_view::npos || last + 1 == path.size()) {
    // A trailing separator names the directory before it, as on Windows.
    if (last != std::wstring_view::npos && last > 0) {
      const size_t previous = path.find_last_of(L'/', last - 1);
      return previous == std::wstring_view::npos ? path : path.substr(previous + 1);
    }
    return path;
  }
  return path.substr(last + 1);
}

bool PathFileExists(const std::wstring& path) {
  struct stat st {};
  return !path.empty() && stat(WideToUtf8(path).c_str(), &st) == 0;
}

}  // namespace os
