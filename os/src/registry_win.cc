// Registry strings through RegGetValueW with RRF_RT_REG_SZ, in the registry view native to the
// process (no view flag).  Any thread; nothing is cached.

#include <vector>

#include "os/registry.h"
#include "src/internal/win32.h"

namespace os {

Result<std::wstring> RegGetString(RegistryRoot root, std::wstring_view subkey,
                                  std::wstring_view value_name, size_t buffer_chars) {
  HKEY key = nullptr;
  switch (root) {
    case RegistryRoot::kLocalMachine:
      key = HKEY_LOCAL_MACHINE;
      break;
  }
  // The names end at their first NUL, as the Windows call reads them.
  const std::wstring subkey_text(subkey.substr(0, subkey.find(L'\0')));
  const std::wstring name_text(value_name.substr(0, value_name.find(L'\0')));
  // A zero-filled buffer of |buffer_chars| wide characters, its size in bytes passed in and out;
  // the value and its terminating NUL must fit (ERROR_MORE_DATA otherwise).
  std::vector<wchar_t> buffer(buffer_chars + 1, L'\0');
  auto size = static_cast<DWORD>(buffer_chars * sizeof(wchar_t));
  const LSTATUS status = ::RegGetValueW(key, subkey_text.c_str(), name_text.c_str(), RRF_RT_REG_SZ,
                                        nullptr, buffer.data(), &size);
  if (status != ERROR_SUCCESS) {
    return Result<std::wstring>::Failure(static_cast<ErrorCode>(status));
  }
  return std::wstring(buffer.data());
}

}  // namespace os
