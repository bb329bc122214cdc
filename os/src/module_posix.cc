#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>

#include "os/folders.h"
#include "os/module.h"
#include "os/utf.h"

namespace os {

Result<ModuleHandle> GetModuleHandleFromAddress(const void* address) {
  Dl_info info{};
  if (address == nullptr || dladdr(address, &info) == 0 || info.dli_fbase == nullptr) {
    return Result<ModuleHandle>::Failure(kErrorInvalidParameter);
  }
  return static_cast<ModuleHandle>(info.dli_fbase);
}

Result<std::wstring> GetModuleFileName(ModuleHandle module) {
  std::string path;
  if (module == nullptr) {
    char buffer[PATH_MAX + 1];
    const ssize_t size = readlink("/proc/self/exe", buffer, PATH_MAX);
    if (size < 0) {
      return Result<std::wstring>::Failure(ErrorFromErrno(errno));
    }
    path.assign(buffer, static_cast<size_t>(size));
  } else {
    Dl_info info{};
    if (dladdr(module, &info) == 0 || info.dli_fname == nullptr) {
      return Result<std::wstring>::Failure(kErrorInvalidParameter);
    }
    path = info.dli_fname;
    if (!path.empty() && path.front() != '/') {
      // dladdr reports the name the module was loaded by; make it absolute like Windows does.
      char resolved[PATH_MAX];
      if (realpath(path.c_str(), resolved) != nullptr) {
        path = resolved;
      }
    }
  }
  std::wstring wide = Utf8ToWide(path);
  if (wide.size() >= kMaxPath) {
    return Result<std::wstring>::Failure(kErrorInsufficientBuffer);
  }
  return wide;
}

}  // namespace os
