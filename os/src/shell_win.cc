// Starting an opened installer through ShellExecuteW.  The caller's InstallerFile keeps its
// read-sharing handle open across the call, so the file that starts is the file that was opened
// (and checked).  Any thread; ShellExecuteW returns once the program has been created.

#include "os/installer_file.h"
#include "os/shell.h"
#include "src/internal/win32.h"

namespace os {

uintptr_t ShellExecute(const InstallerFile& file, const std::wstring& parameters) {
  if (!file.is_open()) {
    return file.open_error();
  }
  const std::wstring parameter_text = parameters.substr(0, parameters.find(L'\0'));
  // No window, the default verb, no working directory, SW_SHOW.
  const HINSTANCE result = ::ShellExecuteW(nullptr, nullptr, file.path().c_str(),
                                           parameter_text.c_str(), nullptr, SW_SHOW);
  return reinterpret_cast<uintptr_t>(result);
}

}  // namespace os
