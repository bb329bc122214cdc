#include <string>
#include <vector>

#include "os/installer_file.h"
#include "os/posix/spawn.h"
#include "os/shell.h"
#include "os/utf.h"

namespace os {

uintptr_t ShellExecute(const InstallerFile& file, const std::wstring& parameters) {
  if (!file.is_open()) {
    return file.open_error();
  }
  std::vector<std::string> arguments;
  const std::wstring_view whole = parameters;
  const std::wstring_view line = whole.substr(0, whole.find(L'\0'));
  for (const std::wstring& argument : SplitCommandLine(line)) {
    arguments.push_back(WideToUtf8(argument));
  }
  // The name is what an ELF image sees as its argv[0]: the path it was opened under.
  return posix::StartProgramFromDescriptor(static_cast<int>(file.native_handle()),
                                           WideToUtf8(file.path()), arguments, {});
}

}  // namespace os
