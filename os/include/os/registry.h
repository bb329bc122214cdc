// Reading string values of the machine's registry (RegGetValueW with RRF_RT_REG_SZ).
//
// Every call reads the registry afresh (nothing is cached) and may be made from any thread.
//
// The POSIX backend keeps the machine's registry in a text file in the Registry Editor's export
// format, <system root>/registry/HKEY_LOCAL_MACHINE.reg (the system root is $TAVORI_SYSTEM_ROOT or
// /var/lib/tavori), read on every call:
//   - a first line "Windows Registry Editor Version 5.00" or "REGEDIT4";
//   - UTF-8 (with or without a byte-order mark) or UTF-16LE with its byte-order mark;
//   - [HKEY_LOCAL_MACHINE\Path\To\Key] sections, [-HKEY_LOCAL_MACHINE\Key] deletions of a key
//     with all its sub-keys, "Name"="text" (REG_SZ, with \" and \\ escapes), @= for the default
//     value, dword:, hex:, hex(N): (type N, e.g. hex(2): REG_EXPAND_SZ) data with
//     trailing-backslash line continuations, "Name"=- removals and ';' comments.
// The file is applied from top to bottom as the Registry Editor imports it: later lines win.
// Lines that do not parse are skipped one by one; a malformed section line ends the current
// section, so the values after it go nowhere until the next good section line.  Key paths and
// value names compare case-insensitively (simple Unicode upper-casing).

#ifndef OS_REGISTRY_H_
#define OS_REGISTRY_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "os/result.h"

namespace os {

enum class RegistryRoot {
  kLocalMachine,  // HKEY_LOCAL_MACHINE
};

// The REG_SZ value |value_name| ("" for the key's default value) of key |subkey| (backslash
// separated; empty components are ignored) under |root|, read as into a buffer of |buffer_chars|
// UTF-16 units.  The value stops at its first NUL.  Failures, with the codes Windows gives:
//
//   kErrorFileNotFound     the registry file, the key or the value does not exist
//   kErrorUnsupportedType  the value is not a string (REG_DWORD, REG_BINARY, REG_MULTI_SZ, ...)
//   kErrorMoreData         the value with its terminating NUL needs more than |buffer_chars|
//                          UTF-16 units
//   kErrorAccessDenied     the registry file may not be read
//   kErrorBadDb            the registry file does not start with a Registry Editor header, or is
//                          larger than 64 MiB
//   kErrorCantOpen         the registry file cannot be opened for another reason (not a regular
//                          file, a path too long)
//   kErrorCantRead         reading the opened file failed
//
// A REG_EXPAND_SZ value is returned with its %NAME% references expanded from this process's
// environment (unknown names stay as written), as RegGetValueW does without RRF_NOEXPAND; both the
// stored and the expanded text must fit the buffer.
Result<std::wstring> RegGetString(RegistryRoot root, std::wstring_view subkey,
                                  std::wstring_view value_name, size_t buffer_chars);

}  // namespace os

#endif  // OS_REGISTRY_H_
