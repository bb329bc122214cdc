#include <sys/stat.h>

#include <string>
#include <vector>

#include "os/shell.h"
#include "os/utf.h"
#include "src/internal/environment_posix.h"
#include "src/internal/spawn_posix.h"

namespace os {
namespace {

// The part of |text| before its first NUL: what a Windows call reads of a C string.
std::wstring_view UpToNul(const std::wstring& text) {
  return std::wstring_view(text).substr(0, text.find(L'\0'));
}

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// A name without a directory is looked for in the current directory, then along $PATH, as the
// shell looks for it; the name itself is returned when it is found nowhere.
std::string ResolveProgram(const std::string& file) {
  if (file.find('/') != std::string::npos || IsRegularFile(file)) {
    return file;
  }
  const std::string search = internal::GetEnv("PATH");
  size_t start = 0;
  while (start < search.size()) {
    size_t end = search.find(':', start);
    if (end == std::string::npos) {
      end = search.size();
    }
    if (end > start) {
      const std::string candidate = search.substr(start, end - start) + "/" + file;
      if (IsRegularFile(candidate)) {
        return candidate;
      }
    }
    start = end + 1;
  }
  return file;
}

}  // namespace

uintptr_t ShellExecute(const std::wstring& file, const std::wstring& parameters) {
  const std::wstring_view file_name = UpToNul(file);
  if (file_name.empty()) {
    return kShellErrorFileNotFound;
  }
  std::vector<std::string> arguments;
  for (const std::wstring& argument : SplitCommandLine(UpToNul(parameters))) {
    arguments.push_back(WideToUtf8(argument));
  }
  return internal::StartProgram(ResolveProgram(WideToUtf8(file_name)), arguments, {});
}

}  // namespace os
